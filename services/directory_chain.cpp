#include <cstring>

#include "launcher/service_operations.h"

namespace {

// Holds the path, the appended separator and the NUL.
constexpr std::size_t kWorkBufferSize = 256;

}  // namespace

// NOLINTNEXTLINE(performance-unnecessary-value-param): the declared contract takes a copy.
void CreateDirectoryChain(NarrowString path) {
  char buffer[kWorkBufferSize];
  std::size_t length = static_cast<std::size_t>(path.length());
  // Refused rather than truncated: a truncated path would create directories
  // nobody asked for.
  if (length + 2 > kWorkBufferSize) return;
  std::memcpy(buffer, path.c_str(), length);
  // The appended separator makes the last component a level of its own.
  buffer[length] = '\\';
  buffer[length + 1] = '\0';
  for (char* separator = std::strchr(buffer, '\\'); separator != nullptr;
       separator = std::strchr(separator + 1, '\\')) {
    // The root, and the separator after a drive letter, are not levels.
    if (separator == buffer || separator[-1] == ':') continue;
    *separator = '\0';
    CreateDirectoryA(buffer, nullptr);
    *separator = '\\';
  }
}
