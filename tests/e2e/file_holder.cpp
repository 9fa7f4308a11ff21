// Holds a file open without delete or write sharing, as a scanner does, and
// writes C:\file_holder.ready once it does. "until-download" lets go half a
// second after a download's temporary file (dl*.tmp) appears beside it;
// "until-launcher-ends" once OrvintaLauncher.exe has run and ended. Either
// way within 60 s.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "processes.h"

namespace {

bool LauncherRuns() {
  bool runs = false;
  const bool listed = ForEachProcess(
      [&](const char* name) { runs = runs || _stricmp(name, "OrvintaLauncher.exe") == 0; });
  return runs || !listed;
}

bool DownloadArrives(const std::string& folder) {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((folder + "\\dl*.tmp").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  const std::string path = argv[1];
  const bool until_download = std::strcmp(argv[2], "until-download") == 0;
  HANDLE held = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (held == INVALID_HANDLE_VALUE) return 3;
  FILE* ready = std::fopen("C:\\file_holder.ready", "wb");
  if (ready != nullptr) std::fclose(ready);
  const std::string folder = path.substr(0, path.find_last_of('\\'));
  bool launcher_seen = false;
  for (int round = 0; round < 1200; ++round) {
    if (until_download && DownloadArrives(folder)) {
      Sleep(500);
      break;
    }
    if (!until_download) {
      const bool runs = LauncherRuns();
      if (launcher_seen && !runs) break;
      launcher_seen = launcher_seen || runs;
    }
    Sleep(50);
  }
  CloseHandle(held);
  return 0;
}
