#include "services/file_in_place.h"

#include <cstring>

namespace {

// How many files may stand moved aside from one at once: each one that still
// runs or is held keeps its name taken.
constexpr char kAsideNames = 10;
constexpr char kAsideEnd[] = ".0.old";

// A buffer for "<file_path>.<0 to 9>.old": the names PutInPlace moves a
// file in use to, and the only ones RemoveMovedAside removes.
struct AsideName {
  char path[MAX_PATH];
  char* digit = nullptr;  // Null when the name would not fit.

  explicit AsideName(const NarrowString& file_path) {
    const auto length = static_cast<std::size_t>(file_path.length());
    if (length + sizeof(kAsideEnd) > sizeof(path)) return;
    std::memcpy(path, file_path.c_str(), length);
    std::memcpy(path + length, kAsideEnd, sizeof(kAsideEnd));
    digit = path + length + 1;
  }
};

// Renames the file at `file_path` to the first aside name no file has;
// false when it could not be renamed (GetLastError says why).
bool MoveAside(const char* file_path, AsideName* aside) {
  if (aside->digit == nullptr) return false;
  for (char index = 0; index < kAsideNames; ++index) {
    *aside->digit = static_cast<char>('0' + index);
    if (MoveFileExA(file_path, aside->path, 0)) return true;
    if (GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  return false;
}

}  // namespace

Placement PutInPlace(const NarrowString& temp_path, const NarrowString& file_path) {
  const ULONGLONG deadline = GetTickCount64() + kHeldFileWaitMs;
  const char* temp = temp_path.c_str();
  const char* target = file_path.c_str();
  AsideName aside(file_path);
  for (;;) {
    if (MoveFileExA(temp, target, MOVEFILE_REPLACE_EXISTING)) {
      return Placement::kPlaced;
    }
    const DWORD error = GetLastError();
    const DWORD attributes = GetFileAttributesA(target);
    // Only a file in use is worked around; a folder in the way, a missing
    // folder or a refusal for good is a failure at once (no file there:
    // INVALID_FILE_ATTRIBUTES has the directory bit too).
    if ((error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) ||
        (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      return Placement::kFailed;
    }
    if (MoveAside(target, &aside)) {
      if (MoveFileExA(temp, target, 0)) {
        MoveFileExA(aside.path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
        return Placement::kMovedAside;
      }
      MoveFileExA(aside.path, target, 0);
      return Placement::kFailed;
    }
    // Held without delete sharing: only its holder can end that.
    if (GetLastError() != ERROR_SHARING_VIOLATION || GetTickCount64() >= deadline) {
      return Placement::kFailed;
    }
    Sleep(kHeldFileRetryMs);
  }
}

void RemoveMovedAside(const NarrowString& file_path) {
  AsideName aside(file_path);
  // Without the file, what was moved aside may be the only copy left.
  if (aside.digit == nullptr || GetFileAttributesA(file_path.c_str()) == INVALID_FILE_ATTRIBUTES) {
    return;
  }
  // One still running (or held) stays until a later run or the restart.
  for (char index = 0; index < kAsideNames; ++index) {
    *aside.digit = static_cast<char>('0' + index);
    DeleteFileA(aside.path);
  }
}
