#include "tests/recording_operations.h"

#include "launcher/install_layout.h"
#include "launcher/process_calls.h"
#include "tests/test_support.h"

RecordingOperations recorded;

namespace {

std::string RootName(HKEY root) {
  if (root == HKEY_LOCAL_MACHINE) return "HKLM";
  if (root == HKEY_CLASSES_ROOT) return "HKCR";
  return "other root";
}

std::string FolderName(REFKNOWNFOLDERID folder) {
  if (IsEqualGUID(folder, FOLDERID_Desktop)) return "Desktop";
  if (IsEqualGUID(folder, FOLDERID_ProgramFilesX86)) return "ProgramFilesX86";
  return "other folder";
}

}  // namespace

LaunchLock TakeLaunchLock() {
  if (recorded.lock_takes++ == 0) recorded.calls_before_lock = recorded.calls.size();
  return recorded.launch_lock;
}

NarrowString ReadInstallPath() {
  recorded.calls.push_back("ReadInstallPath");
  return recorded.install_path;
}

bool InitializeCom() {
  recorded.calls.push_back("InitializeCom");
  return recorded.com_initializes;
}

void UninitializeCom() { recorded.calls.push_back("UninitializeCom"); }

NarrowString GetKnownFolderPath(REFKNOWNFOLDERID folder) {
  std::string name = FolderName(folder);
  recorded.calls.push_back("GetKnownFolderPath " + name);
  if (name == "Desktop") return recorded.desktop_folder;
  if (name == "ProgramFilesX86") return recorded.program_files_folder;
  return NarrowString();
}

void CreateDirectoryChain(NarrowString path) {
  recorded.calls.push_back("CreateDirectoryChain " + Text(path));
}

// "a.b.c.d"
std::string VersionText(FileVersion version) {
  std::string text;
  for (int shift = 48; shift >= 0; shift -= 16) {
    text += std::to_string((version >> shift) & 0xFFFF) + (shift > 0 ? "." : "");
  }
  return text;
}

// The conditions' lines, each ending in "|" rather than CRLF.
std::string ConditionsText(const DownloadConditions& conditions) {
  std::string text = Text(conditions);
  for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at)) {
    text.replace(at, 2, "|");
  }
  return text;
}

// Records a download as "<operation> <url> -> <path>[ if <conditions>][
// signed by <pins>] within ... bytes[ at least <floor>]" and returns the
// scripted result and report.
DownloadResult RecordDownload(const std::string& operation, const NarrowString& url,
                              const NarrowString& file_path, const DownloadConditions& conditions,
                              const std::string& signed_by, const DownloadLimits& limits,
                              const std::string& floor, DownloadReport* report) {
  recorded.calls.push_back(operation + " " + Text(url) + " -> " + Text(file_path) +
                           (conditions.empty() ? "" : " if " + ConditionsText(conditions)) +
                           signed_by + " within " + std::to_string(limits.stall_seconds) +
                           " s at " + std::to_string(limits.min_rate) + " B/s up to " +
                           std::to_string(limits.max_bytes) + " bytes" + floor);
  *report = recorded.download_report;
  const auto scripted = recorded.by_url.find(Text(url));
  if (scripted != recorded.by_url.end()) return scripted->second;
  bool updater = Text(url).find("/client/tmp_updater.bin") != std::string::npos;
  return updater ? recorded.updater_download : recorded.client_download;
}

DownloadResult DownloadToFile(const NarrowString& url, const NarrowString& file_path,
                              const DownloadConditions& conditions, const DownloadLimits& limits,
                              DownloadReport* report) {
  return RecordDownload("DownloadToFile", url, file_path, conditions, "", limits, "", report);
}

DownloadResult DownloadReleaseToFile(const NarrowString& url, const NarrowString& file_path,
                                     const DownloadConditions& conditions,
                                     const NarrowString& signer_pins, FileVersion min_version,
                                     const DownloadLimits& limits, DownloadReport* report) {
  return RecordDownload(
      "DownloadReleaseToFile", url, file_path, conditions, " signed by " + Text(signer_pins),
      limits, min_version == kAnyVersion ? "" : " at least " + VersionText(min_version), report);
}

DownloadConditions ReadKeptConditions(const NarrowString& file_path) {
  recorded.calls.push_back("ReadKeptConditions " + Text(file_path));
  return recorded.kept_conditions;
}

void KeepConditions(const NarrowString& file_path, const DownloadConditions& conditions,
                    const BodyDigest&) {
  recorded.calls.push_back("KeepConditions " + Text(file_path) + " " + ConditionsText(conditions));
}

bool DropPartialDownload(const NarrowString& file_path) {
  recorded.calls.push_back("DropPartialDownload " + Text(file_path));
  return recorded.partial_left;
}

void CreateDesktopShortcut(const NarrowString& target_path, const NarrowString& shortcut_path) {
  recorded.calls.push_back("CreateDesktopShortcut " + Text(target_path) + " at " +
                           Text(shortcut_path));
}

void CreateRegistryKey(HKEY root, const NarrowString& subkey) {
  recorded.calls.push_back("CreateRegistryKey " + RootName(root) + "\\" + Text(subkey));
}

bool WriteRegistryString(HKEY root, const NarrowString& subkey, const NarrowString& value_name,
                         const NarrowString& data) {
  recorded.calls.push_back("WriteRegistryString " + RootName(root) + "\\" + Text(subkey) + " [" +
                           Text(value_name) + "] = " + Text(data));
  return !(recorded.last_run_write_fails && Text(value_name) == "LastRun");
}

// 2026-12-09 07:05:03 UTC: year, month, day of week, day, hour, minute, second.
SYSTEMTIME CurrentUtcTime() { return {2026, 12, 3, 9, 7, 5, 3, 0}; }

NarrowString ProgramPath() { return "C:\\Users\\ana\\Downloads\\OrvintaLauncher.exe"; }

void PauseRun(DWORD milliseconds) {
  recorded.calls.push_back("PauseRun " + std::to_string(milliseconds));
}

std::intptr_t ExecProgram(const NarrowString& program, const NarrowString& first_argument,
                          const NarrowString& option, const NarrowString& directory) {
  recorded.calls.push_back("ExecProgram " + Text(program) + " | " + Text(first_argument) + " | " +
                           Text(option) + " in " + Text(directory));
  return -1;  // As _execl does when the start fails.
}
