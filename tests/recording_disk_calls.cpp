#include "tests/recording_disk_calls.h"

#include <windows.h>

#include <cstring>

#include "launcher/install_layout.h"
#include "services/disk_calls.h"
#include "services/partial_download.h"

DiskCalls disk_calls;

namespace {

std::string NameIn(const char* path) { return path == nullptr ? "" : FileNameIn(path); }

// The checkpoint recorded for updater.exe right now; 0 when none is.
std::uint32_t RecordedCheckpoint() {
  PartialRecord head = {};
  char record[4096];  // Read whole: a buffer too small for it gets nothing.
  DWORD size = sizeof(record);
  if (RegGetValueA(HKEY_LOCAL_MACHINE, kPartialsKey, "updater.exe", RRF_RT_REG_BINARY, nullptr,
                   record, &size) != ERROR_SUCCESS ||
      size < sizeof(head)) {
    return 0;
  }
  std::memcpy(&head, record, sizeof(head));
  return head.checkpoint;
}

}  // namespace

bool FlushToDisk(HANDLE file) {
  LARGE_INTEGER size = {};
  GetFileSizeEx(file, &size);
  disk_calls.log.push_back("flush " + std::to_string(size.QuadPart) + " (record at " +
                           std::to_string(RecordedCheckpoint()) + ")");
  return FlushFileBuffers(file) != FALSE;
}

bool MoveOnDisk(const char* from, const char* to, DWORD flags) {
  disk_calls.log.push_back("move " + NameIn(from) + " -> " + NameIn(to));
  if (disk_calls.refuse_move && disk_calls.refuse_move(NameIn(from), NameIn(to))) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  return MoveFileExA(from, to, flags) != FALSE;
}
