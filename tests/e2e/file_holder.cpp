// Holds files open without delete sharing, as a scanner does, and writes
// C:\file_holder.ready once it watches. Modes:
//   FILE until-download        holds FILE, lets go half a second after a
//                              download's partial file (*.partial) appears
//                              beside it;
//   FILE until-launcher-ends   holds FILE until OrvintaLauncher.exe has run
//                              and ended;
//   FOLDER new-files           holds each *.partial that appears in FOLDER from
//                              the moment it is seen (a scanner reading what
//                              was just written) until 1.5 s after it last
//                              grew, and writes each name it held to
//                              C:\file_holder.log; ends with the launcher;
//   FOLDER new-files-kept      the same, but lets go only as the launcher ends.
// Every mode ends within 60 s.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

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
  HANDLE search = FindFirstFileA((folder + "\\*.partial").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  return true;
}

struct Held {
  std::string name;
  HANDLE file;
  LONGLONG size;
  DWORD grew_at;
};

// One round of "new-files": takes hold of the new partial files, lets go
// of those that stopped growing.
void HoldNewFiles(const std::string& folder, bool let_go, std::vector<Held>* held,
                  std::vector<std::string>* seen, FILE* log) {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((folder + "\\*.partial").c_str(), &found);
  for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileA(search, &found)) {
    const std::string name = found.cFileName;
    bool known = false;
    for (const std::string& one : *seen) known = known || one == name;
    if (known) continue;
    // Read sharing and write sharing, as the writer needs; no delete sharing.
    HANDLE file =
        CreateFileA((folder + "\\" + name).c_str(), GENERIC_READ,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) continue;
    seen->push_back(name);
    held->push_back({name, file, -1, GetTickCount()});
    std::fprintf(log, "%s\n", name.c_str());
    std::fflush(log);
  }
  if (search != INVALID_HANDLE_VALUE) FindClose(search);
  for (size_t i = 0; i < held->size();) {
    Held& one = (*held)[i];
    LARGE_INTEGER size = {};
    GetFileSizeEx(one.file, &size);
    if (size.QuadPart != one.size) {
      one.size = size.QuadPart;
      one.grew_at = GetTickCount();
    }
    if (let_go && GetTickCount() - one.grew_at >= 1500) {
      CloseHandle(one.file);
      held->erase(held->begin() + static_cast<std::ptrdiff_t>(i));
    } else {
      ++i;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  const std::string path = argv[1];
  const bool until_download = std::strcmp(argv[2], "until-download") == 0;
  const bool kept = std::strcmp(argv[2], "new-files-kept") == 0;
  const bool new_files = kept || std::strcmp(argv[2], "new-files") == 0;
  HANDLE held = INVALID_HANDLE_VALUE;
  if (!new_files) {
    held = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE) return 3;
  }
  FILE* log = new_files ? std::fopen("C:\\file_holder.log", "wb") : nullptr;
  if (new_files && log == nullptr) return 3;
  FILE* ready = std::fopen("C:\\file_holder.ready", "wb");
  if (ready != nullptr) std::fclose(ready);
  const std::string folder = new_files ? path : path.substr(0, path.find_last_of('\\'));
  std::vector<Held> new_held;
  std::vector<std::string> seen;
  bool launcher_seen = false;
  for (int round = 0; round < 6000; ++round) {
    if (until_download && DownloadArrives(folder)) {
      Sleep(500);
      break;
    }
    if (new_files) HoldNewFiles(folder, !kept, &new_held, &seen, log);
    if (!until_download && round % 5 == 0) {
      const bool runs = LauncherRuns();
      if (launcher_seen && !runs) break;
      launcher_seen = launcher_seen || runs;
    }
    Sleep(10);
  }
  for (const Held& one : new_held) CloseHandle(one.file);
  if (log != nullptr) std::fclose(log);
  if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
  return 0;
}
