#include "launcher/process_calls.h"

SYSTEMTIME CurrentUtcTime() {
  SYSTEMTIME now;
  GetSystemTime(&now);
  return now;
}

NarrowString ProgramPath() {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  return length < MAX_PATH ? NarrowString(path, length) : NarrowString();
}

void PauseRun(DWORD milliseconds) { Sleep(milliseconds); }

std::intptr_t ExecProgram(const NarrowString& program, const NarrowString& first_argument,
                          const NarrowString& option, const NarrowString& directory) {
  // The command line the C runtime's _execl would build: the arguments
  // joined by a space, as they are.
  NarrowString command_line = first_argument + " " + option;
  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION started;
  // Nothing inherited: _execl would hand the updater every inheritable
  // handle, the sockets of downloads given up on among them, and it would
  // hold them for as long as it runs. The same environment, but its own
  // folder: the launcher's (a browser's downloads, say) is on the search
  // path of the DLLs an elevated updater loads.
  if (!CreateProcessA(program.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      directory.c_str(), &startup, &started)) {
    return -1;
  }
  // The updater runs in the launcher's place, which ends as _execl ended it
  // (which closes the two handles of `started` too).
  ExitProcess(0);
}
