#include "services/disk_calls.h"

bool FlushToDisk(HANDLE file) { return FlushFileBuffers(file) != FALSE; }

bool MoveOnDisk(const char* from, const char* to, DWORD flags) {
  return MoveFileExA(from, to, flags) != FALSE;
}
