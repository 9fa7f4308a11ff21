// Waits, in a prefix whose wineserver stays up between programs, until no
// program is left but Wine's own: what `wineserver -w` does for a server
// that ends with its last program. The scenarios keep one server up, since
// a program started while a server ends loses its connection and is never
// run. With "list": prints every process's name instead.
#include <cstdio>
#include <cstring>

#include "processes.h"

namespace {

// Wine's own processes, which run as long as the server does.
bool IsWines(const char* name) {
  const char* const own[] = {"services.exe", "winedevice.exe",       "plugplay.exe",
                             "explorer.exe", "svchost.exe",          "rpcss.exe",
                             "conhost.exe",  "wait_for_programs.exe"};
  for (const char* program : own) {
    if (_stricmp(name, program) == 0) return true;
  }
  return false;
}

// True while a process other than Wine's own runs; prints it when `list`.
bool OthersRun(bool list) {
  bool others = false;
  const bool listed = ForEachProcess([&](const char* name) {
    if (list) std::printf("%s\n", name);
    others = others || !IsWines(name);
  });
  return others || !listed;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "list") == 0) return OthersRun(true) ? 1 : 0;
  // Bounded: 90 s, the scenarios' own bound on a run.
  for (int round = 0; round < 1800; ++round) {
    if (!OthersRun(false)) return 0;
    Sleep(50);
  }
  std::printf("programs still running after 90 s\n");
  return 1;
}
