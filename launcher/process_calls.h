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

// Starts `program` in this process's place and ends this process with exit
// code 0, as _execl did: its command line is `first_argument`, a space and
// `option`, as they are; it runs in `directory` with this process's
// environment, and inherits no handle. Returns only when the start failed,
// with -1.
std::intptr_t ExecProgram(const NarrowString& program, const NarrowString& first_argument,
                          const NarrowString& option, const NarrowString& directory);
