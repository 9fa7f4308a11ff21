#pragma once

#include <windows.h>

// The two calls that decide what a power cut or a failed move leaves of a
// download: kept apart so that the tests can see their order and make a
// move fail.

// Writes what the system still caches of `file` (open for writing) to the
// disk; false when it could not.
bool FlushToDisk(HANDLE file);

// MoveFileExA(from, to, flags), its error left in GetLastError.
bool MoveOnDisk(const char* from, const char* to, DWORD flags);
