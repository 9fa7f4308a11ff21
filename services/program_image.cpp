#include "services/program_image.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "services/scoped_handles.h"

bool StartsLikeAProgram(const NarrowString& path) {
  UniqueFile file(std::fopen(path.c_str(), "rb"));
  unsigned char head[0x40];
  if (file == nullptr || std::fread(head, sizeof(head), 1, file.get()) != 1 || head[0] != 'M' ||
      head[1] != 'Z') {
    return false;
  }
  std::uint32_t offset;
  std::memcpy(&offset, head + 0x3C, sizeof(offset));
  char signature[4];
  return offset <= 0x7FFFFFFF && std::fseek(file.get(), static_cast<long>(offset), SEEK_SET) == 0 &&
         std::fread(signature, sizeof(signature), 1, file.get()) == 1 &&
         std::memcmp(signature, "PE\0\0", 4) == 0;
}
