#include "services/file_in_place.h"

#include <cstring>

#include "services/disk_calls.h"

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
    if (MoveOnDisk(file_path, aside->path, 0)) return true;
    if (GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  return false;
}

// True when another process holds the file at `path` open without delete
// sharing (a scanner, say): until it lets go, the file can be neither
// renamed nor deleted.
bool IsHeld(const char* path) {
  HANDLE file = CreateFileA(path, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  return file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION;
}

// Keeps the good copy at `aside` under `previous_path`, a name no removal
// is ever scheduled for (one an earlier run scheduled for `aside` may still
// be pending): renamed, or copied when it is held.
void KeepPrevious(const char* aside, const NarrowString& previous_path) {
  if (!MoveOnDisk(aside, previous_path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    CopyFileA(aside, previous_path.c_str(), FALSE);
  }
}

constexpr char kPreviousEnd[] = ".previous";

}  // namespace

Placement PutInPlace(const NarrowString& temp_path, const NarrowString& file_path) {
  const ULONGLONG deadline = GetTickCount64() + kHeldFileWaitMs;
  const char* temp = temp_path.c_str();
  const char* target = file_path.c_str();
  AsideName aside(file_path);
  bool read_only_cleared = false;
  for (;;) {
    if (MoveOnDisk(temp, target, MOVEFILE_REPLACE_EXISTING)) {
      return Placement::kPlaced;
    }
    const DWORD error = GetLastError();
    const DWORD attributes = GetFileAttributesA(target);
    const bool target_missing = attributes == INVALID_FILE_ATTRIBUTES;
    // Only a file in use is worked around; a folder in the way, a missing
    // folder or a refusal for good is a failure at once.
    if ((error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) ||
        (!target_missing && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)) {
      return Placement::kFailed;
    }
    if (!target_missing && (attributes & FILE_ATTRIBUTE_READONLY) != 0 && !read_only_cleared) {
      // Refused only for its attribute: replaced like any other, at once.
      const DWORD rest = attributes & ~FILE_ATTRIBUTE_READONLY;
      if (!SetFileAttributesA(target, rest != 0 ? rest : FILE_ATTRIBUTE_NORMAL)) {
        return Placement::kFailed;
      }
      read_only_cleared = true;
      continue;
    }
    // Either file held (a scanner reads what was just written) is only
    // waited for; a target that is not held runs, and is moved aside.
    if (!IsHeld(temp) && !IsHeld(target)) {
      if (target_missing) return Placement::kFailed;
      // Let go since the first try (a scanner done with it): replaced as it
      // is, never moved aside for nothing.
      if (MoveOnDisk(temp, target, MOVEFILE_REPLACE_EXISTING)) return Placement::kPlaced;
      if (MoveAside(target, &aside)) {
        if (MoveOnDisk(temp, target, 0)) {
          MoveOnDisk(aside.path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
          return Placement::kMovedAside;
        }
        // Taken hold of in between: the old one goes back in its place.
        if (!MoveOnDisk(aside.path, target, 0)) KeepPrevious(aside.path, file_path + kPreviousEnd);
      } else if (GetLastError() != ERROR_SHARING_VIOLATION) {
        return Placement::kFailed;
      }
    }
    // Held without delete sharing: only its holder can end that.
    if (GetTickCount64() >= deadline) return IsHeld(temp) ? Placement::kHeld : Placement::kFailed;
    Sleep(kHeldFileRetryMs);
  }
}

bool PutBackPrevious(const NarrowString& file_path) {
  const NarrowString previous = file_path + kPreviousEnd;
  if (MoveOnDisk(previous.c_str(), file_path.c_str(), 0)) return true;
  // Not needed once a file is in place again.
  if (GetFileAttributesA(file_path.c_str()) != INVALID_FILE_ATTRIBUTES) {
    DeleteFileA(previous.c_str());
  }
  return false;
}

void RemoveMovedAside(const NarrowString& file_path) {
  AsideName aside(file_path);
  // Without the file, what was moved aside may be the only copy left.
  if (aside.digit == nullptr || GetFileAttributesA(file_path.c_str()) == INVALID_FILE_ATTRIBUTES) {
    return;
  }
  // One still running (or held) stays until a later run or the restart; a
  // read-only one an earlier launcher moved aside goes too.
  for (char index = 0; index < kAsideNames; ++index) {
    *aside.digit = static_cast<char>('0' + index);
    SetFileAttributesA(aside.path, FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(aside.path);
  }
}
