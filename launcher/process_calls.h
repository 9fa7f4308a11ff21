#pragma once

#include <windows.h>

#include <cstdint>

#include "launcher/strings.h"

// The calls the run makes on its own process and clock. Kept apart from the
// run so its tests can observe them without waiting or losing their process.

// The time now, in UTC (GetSystemTime).
SYSTEMTIME CurrentUtcTime();

// The path of the running program (GetModuleFileNameA); empty when it
// cannot be had.
NarrowString ProgramPath();

// Suspends the thread for `milliseconds` (Sleep).
void PauseRun(DWORD milliseconds);

// Replaces this process with `program` through _execl, passing `first_argument`
// and `option` as its argument list. Returns only when the start failed; the
// result is then _execl's (-1).
std::intptr_t ExecProgram(const NarrowString& program, const NarrowString& first_argument,
                          const NarrowString& option);
