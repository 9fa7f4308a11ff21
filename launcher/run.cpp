#include "launcher/run.h"

#include <algorithm>
#include <cstdint>

#include "launcher/download_urls.h"
#include "launcher/install_layout.h"
#include "launcher/process_calls.h"
#include "launcher/run_record.h"
#include "launcher/service_operations.h"

namespace {

// An updater smaller than this is an error page or a broken transfer.
constexpr DownloadResult kSmallestUpdater = 1000;

// Whether a download that ended in `result` may succeed on another host:
// this host failed it (no connection, no answer, a stall, a body cut short,
// a 4xx or 5xx, a body that is no program, a signed build's refusal of what
// it served), not this PC (no session, a file not written or moved), and no
// rule held the file back (an older signed program is no failure).
bool AnotherHostMayServe(DownloadResult result) {
  return result == kRequestFailed || result == kReadFailed || result == kSignatureRefused ||
         result == kWrongProgram || result == kNotAProgram;
}

// Downloads `urls[order[0]]` to `file_path`, asking the server to answer
// 304 when the file there is still the one it sent last, and then the same
// file from each next host in `order` while another host may serve it. A
// build with signer pins keeps only the publisher's current program of that
// name, at `min_version` or above; chosen at compile time, so that a build
// without pins carries no signature check at all. The hosts that failed go
// last in `order`, for the run's other download. Adds what it did to
// `*record`.
DownloadResult Download(const char* const* urls, const NarrowString& file_path,
                        [[maybe_unused]] FileVersion min_version, std::int8_t* order,
                        NarrowString* record) {
  const DownloadConditions conditions = ReadKeptConditions(file_path);
  DownloadReport report;
  DownloadResult result;
  int asked = 0;
  for (;; ++asked) {
    const char* url = urls[order[asked]];
    if constexpr (kSignerPins[0] == '\0') {
      result = DownloadToFile(url, file_path, conditions, kDownloadLimits, &report);
    } else {
      result = DownloadReleaseToFile(url, file_path, conditions, kSignerPins, min_version,
                                     kDownloadLimits, &report);
    }
    const bool next_host = asked + 1 < kHostCount && AnotherHostMayServe(result);
    *record =
        *record + ComposeDownloadLine(file_path, url, result, report, kDownloadLimits, next_host);
    if (!next_host) break;
  }
  const int failed = asked + (AnotherHostMayServe(result) ? 1 : 0);
  std::rotate(order, order + failed, order + kHostCount);
  // Conditions belong to the bytes they came with: a new body's replace what
  // was kept, while a revalidated file, a refused or failed download and an
  // older one not kept leave it as it was. Every host serves the same bytes.
  if (result >= 0 && !report.revalidated) {
    KeepConditions(file_path, report.conditions, report.digest);
  }
  return result;
}

// Stores the record of this run, `lines` and then `last_line` (each ending
// in CRLF), as LastRun under the product key: besides a body kept for the
// next run, the one thing a run that does not hand off leaves in the
// registry. Its results are ignored: a record that cannot be written changes
// nothing.
void RecordRun(const NarrowString& lines, const NarrowString& last_line) {
  CreateRegistryKey(HKEY_LOCAL_MACHINE, kProductKey);
  WriteRegistryString(HKEY_LOCAL_MACHINE, kProductKey, kLastRunValueName,
                      BoundRunRecord(lines, last_line));
}

// Installs the client into a directory chosen from the shell folders and
// returns that directory. Without COM, returns the default directory and
// installs nothing. Downloads from the hosts in `order` (see Download).
// Adds what it did to `*record`.
NarrowString InstallClient(std::int8_t* order, NarrowString* record) {
  if (!InitializeCom()) return kDefaultInstallDir;
  NarrowString desktop_folder = GetKnownFolderPath(FOLDERID_Desktop);
  NarrowString program_files_folder = GetKnownFolderPath(FOLDERID_ProgramFilesX86);
  NarrowString install_dir = ComposeInstallDir(program_files_folder);
  NarrowString shortcut_path = ComposeShortcutPath(desktop_folder);
  NarrowString client_exe_path = ComposeClientExePath(install_dir);
  CreateDirectoryChain(install_dir);
  // The client's result changes nothing: even a failed download gets its
  // shortcut, and the run goes on to the updater.
  Download(kClientUrls, client_exe_path, kAnyVersion, order, record);
  CreateDesktopShortcut(client_exe_path, shortcut_path);
  PauseRun(1000);
  UninitializeCom();
  return install_dir;
}

}  // namespace

int RunLauncher() {
  // A second click while the first run is still at work: that run goes on,
  // and this one changes nothing, not even the record.
  if (TakeLaunchLock() == LaunchLock::kHeld) return 1;
  NarrowString record = ComposeRunHeading(CurrentUtcTime(), ProgramPath(), kLauncherVersion);
  // Every run starts at the primary host.
  std::int8_t order[kHostCount];
  for (int host = 0; host < kHostCount; ++host) order[host] = static_cast<std::int8_t>(host);
  NarrowString install_dir = ReadInstallPath();
  if (install_dir.empty()) {
    install_dir = InstallClient(order, &record);
  } else if (const NarrowString client = ComposeClientExePath(install_dir);
             DropPartialDownload(client)) {
    // Only a first install downloads the client: what one left of it would
    // never be continued.
    record = record + ComposePartialDroppedLine(client, PartialDrop::kNotDownloaded, 0);
  }

  NarrowString updater_path = ComposeUpdaterPath(install_dir);
  CreateDirectoryChain(install_dir);
  DownloadResult updater = Download(kUpdaterUrls, updater_path, kUpdaterMinVersion, order, &record);
  // A signed updater older than the verified one on disk is not kept, and
  // that is no failure: the one on disk is newer (it may have updated
  // itself), and it is what the URL protocol starts anyway.
  bool installed_is_newer = updater == kInstalledIsNewer;
  if (updater < kSmallestUpdater && !installed_is_newer) {
    RecordRun(record, kExitLine);
    return 1;
  }

  // Write results are ignored: a failed write must not stop the hand-off.
  CreateRegistryKey(HKEY_LOCAL_MACHINE, kProductKey);
  WriteRegistryString(HKEY_LOCAL_MACHINE, kProductKey, kInstallValueName, install_dir);
  CreateRegistryKey(HKEY_CLASSES_ROOT, kOpenCommandKey);
  WriteRegistryString(HKEY_CLASSES_ROOT, kSchemeKey, kUrlProtocolValueName, kUrlProtocolData);
  WriteRegistryString(HKEY_CLASSES_ROOT, kOpenCommandKey, kOpenCommandValueName,
                      ComposeOpenCommand(updater_path));

  // The command line joins the arguments with a space and adds no quotes, so the path
  // (which usually holds spaces) is quoted to reach the updater as one argument.
  const NarrowString quoted_path = NarrowString("\"") + updater_path + "\"";
  RecordRun(record, ComposeHandOffLine(quoted_path, kActiveStartOption));
  ExecProgram(updater_path, quoted_path, kActiveStartOption, install_dir);
  RecordRun(record, kExitLine);  // The start failed.
  return 1;
}
