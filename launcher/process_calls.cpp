#include "launcher/process_calls.h"

#include <process.h>

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
                          const NarrowString& option) {
  return _execl(program.c_str(), first_argument.c_str(), option.c_str(), nullptr);
}
