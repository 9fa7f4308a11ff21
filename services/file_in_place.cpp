#include "services/file_in_place.h"

#include <cstdint>
#include <cstring>

#include "launcher/install_layout.h"
#include "services/scoped_handles.h"

namespace {

constexpr char kAsideEnd[] = ".old";
constexpr int kAsideDigits = 8;
constexpr char kHexDigits[] = "0123456789abcdef";

// ".<8 lowercase hex digits of `tag`>.old", appended to a file's name.
NarrowString AsideEnd(std::uint32_t tag) {
  char end[1 + kAsideDigits + sizeof(kAsideEnd)];
  end[0] = '.';
  for (int at = 0; at < kAsideDigits; ++at) end[1 + at] = kHexDigits[(tag >> (28 - 4 * at)) & 0xF];
  std::memcpy(end + 1 + kAsideDigits, kAsideEnd, sizeof(kAsideEnd));
  return NarrowString(end);
}

// True when `name` is `base` followed by an AsideEnd: a name PutInPlace
// gave, and no other (a pattern search also matches short names).
bool IsMovedAsideName(const char* name, const char* base) {
  const std::size_t length = std::strlen(base);
  if (std::strncmp(name, base, length) != 0 || name[length] != '.') return false;
  for (int at = 1; at <= kAsideDigits; ++at) {
    if (std::strchr(kHexDigits, name[length + at]) == nullptr || name[length + at] == '\0') {
      return false;
    }
  }
  return std::strcmp(name + length + 1 + kAsideDigits, kAsideEnd) == 0;
}

// Renames the file at `file_path` to a moved-aside name no file has yet and
// returns that name; empty when it could not be renamed (GetLastError says why).
NarrowString MoveAside(const NarrowString& file_path) {
  auto tag = static_cast<std::uint32_t>(GetTickCount64());
  for (int tries = 0; tries < 16; ++tries, ++tag) {
    NarrowString aside = file_path + AsideEnd(tag);
    if (MoveFileExA(file_path.c_str(), aside.c_str(), 0)) return aside;
    if (GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  return NarrowString();
}

}  // namespace

Placement PutInPlace(const NarrowString& temp_path, const NarrowString& file_path) {
  const ULONGLONG deadline = GetTickCount64() + kHeldFileWaitMs;
  for (;;) {
    if (MoveFileExA(temp_path.c_str(), file_path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
      return Placement::kPlaced;
    }
    const DWORD error = GetLastError();
    const DWORD attributes = GetFileAttributesA(file_path.c_str());
    // Only a file in use is worked around; a folder in the way, a missing
    // folder or a refusal for good is a failure at once.
    if ((error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) ||
        attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      return Placement::kFailed;
    }
    const NarrowString aside = MoveAside(file_path);
    if (!aside.empty()) {
      if (MoveFileExA(temp_path.c_str(), file_path.c_str(), 0)) {
        MoveFileExA(aside.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
        return Placement::kMovedAside;
      }
      MoveFileExA(aside.c_str(), file_path.c_str(), 0);
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
  // Without the file, what was moved aside may be the only copy left.
  if (GetFileAttributesA(file_path.c_str()) == INVALID_FILE_ATTRIBUTES) return;
  const char* path = file_path.c_str();
  const char* name = FileNameIn(path);
  const NarrowString folder(path, static_cast<std::size_t>(name - path));
  WIN32_FIND_DATAA found;
  HANDLE first = FindFirstFileA((file_path + ".*" + kAsideEnd).c_str(), &found);
  if (first == INVALID_HANDLE_VALUE) return;
  UniqueFindHandle search(first);
  do {
    // One still running (or held) stays until a later run or the restart.
    if (IsMovedAsideName(found.cFileName, name)) DeleteFileA((folder + found.cFileName).c_str());
  } while (FindNextFileA(search.get(), &found));
}
