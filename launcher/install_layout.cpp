#include "launcher/install_layout.h"

NarrowString ComposeInstallDir(const NarrowString& program_files_folder) {
  return program_files_folder + ToNarrow(kProductSubPath);
}

NarrowString ComposeShortcutPath(const NarrowString& desktop_folder) {
  return desktop_folder + ToNarrow(kShortcutFileName);
}

NarrowString ComposeClientExePath(const NarrowString& install_dir) {
  return install_dir + ToNarrow(kClientFileName);
}

NarrowString ComposeUpdaterPath(const NarrowString& install_dir) {
  return install_dir + kUpdaterFileName;
}

NarrowString ComposeOpenCommand(const NarrowString& updater_path) {
  return NarrowString("\"") + updater_path + kOpenCommandTail;
}

const char* FileNameIn(const char* path) {
  const char* name = path;
  for (const char* at = path; *at != '\0'; ++at) {
    if (*at == '\\' || *at == '/') name = at + 1;
  }
  return name;
}
