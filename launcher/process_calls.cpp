#include "launcher/process_calls.h"

#include <process.h>

void PauseRun(DWORD milliseconds) { Sleep(milliseconds); }

std::intptr_t ExecProgram(const NarrowString& program, const NarrowString& first_argument,
                          const NarrowString& option) {
  return _execl(program.c_str(), first_argument.c_str(), option.c_str(), nullptr);
}
