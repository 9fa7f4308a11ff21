#include "launcher/run.h"

#include "launcher/download_urls.h"
#include "launcher/install_layout.h"
#include "launcher/process_calls.h"
#include "launcher/service_operations.h"

namespace {

// An updater smaller than this is an error page or a broken transfer.
constexpr DownloadResult kSmallestUpdater = 1000;

// Downloads `url` to `file_path`. A build with signer pins keeps only the
// publisher's current program of that name, at `min_version` or above;
// chosen at compile time, so that a build without pins carries no signature
// check at all.
DownloadResult Download(const char* url, const NarrowString& file_path,
                        [[maybe_unused]] FileVersion min_version) {
  if constexpr (kSignerPins[0] == '\0') {
    return DownloadToFile(url, file_path, kDownloadLimits);
  } else {
    return DownloadReleaseToFile(url, file_path, kSignerPins, min_version, kDownloadLimits);
  }
}

// Installs the client into a directory chosen from the shell folders and
// returns that directory. Without COM, returns the default directory and
// installs nothing.
NarrowString InstallClient() {
  if (!InitializeCom()) return kDefaultInstallDir;
  NarrowString desktop_folder = GetKnownFolderPath(FOLDERID_Desktop);
  NarrowString program_files_folder = GetKnownFolderPath(FOLDERID_ProgramFilesX86);
  NarrowString install_dir = ComposeInstallDir(program_files_folder);
  NarrowString shortcut_path = ComposeShortcutPath(desktop_folder);
  NarrowString client_exe_path = ComposeClientExePath(install_dir);
  CreateDirectoryChain(install_dir);
  // The client's result changes nothing: even a failed download gets its
  // shortcut, and the run goes on to the updater.
  Download(kClientUrl, client_exe_path, kAnyVersion);
  CreateDesktopShortcut(client_exe_path, shortcut_path);
  PauseRun(1000);
  UninitializeCom();
  return install_dir;
}

}  // namespace

int RunLauncher() {
  NarrowString install_dir = ReadInstallPath();
  if (install_dir.empty()) install_dir = InstallClient();

  NarrowString updater_path = ComposeUpdaterPath(install_dir);
  CreateDirectoryChain(install_dir);
  DownloadResult updater = Download(kUpdaterUrl, updater_path, kUpdaterMinVersion);
  // A signed updater older than the verified one on disk is not kept, and
  // that is no failure: the one on disk is newer (it may have updated
  // itself), and it is what the URL protocol starts anyway.
  bool installed_is_newer = updater == kInstalledIsNewer;
  if (updater < kSmallestUpdater && !installed_is_newer) return 1;

  // Write results are ignored: a failed write must not stop the hand-off.
  CreateRegistryKey(HKEY_LOCAL_MACHINE, kProductKey);
  WriteRegistryString(HKEY_LOCAL_MACHINE, kProductKey, kInstallValueName, install_dir);
  CreateRegistryKey(HKEY_CLASSES_ROOT, kOpenCommandKey);
  WriteRegistryString(HKEY_CLASSES_ROOT, kSchemeKey, kUrlProtocolValueName, kUrlProtocolData);
  WriteRegistryString(HKEY_CLASSES_ROOT, kOpenCommandKey, kOpenCommandValueName,
                      ComposeOpenCommand(updater_path));

  // The C runtime joins arguments with spaces and adds no quotes, so the path
  // (which usually holds spaces) is quoted to reach the updater as one argument.
  ExecProgram(updater_path, NarrowString("\"") + updater_path + "\"", kActiveStartOption);
  return 1;
}
