#pragma once

#include <windows.h>

// The one failure of the program that is not a result: a string operation
// (joining, conversion, allocation) that cannot complete. Nothing could go on
// without the path it was building, so the process ends at once, silently,
// with `code` as its exit code: E_OUTOFMEMORY (0x8007000E) for an exhausted
// heap, E_INVALIDARG (0x80070057) for an impossible length, E_FAIL
// (0x80004005) for a missing heap. No exit path runs: no atexit handler, no
// DLL detach, no exit code 1. Never returns.
[[noreturn]] void RaiseStringError(HRESULT code);
