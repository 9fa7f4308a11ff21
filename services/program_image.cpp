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

namespace {

// The little-endian field of `size` bytes at `at` in `head`; 0 past its `length`.
std::uint32_t Field(const unsigned char* head, std::uint32_t length, std::uint32_t at,
                    std::uint32_t size) {
  std::uint32_t value = 0;
  while (size-- > 0) value = (value << 8) | (at + size < length ? head[at + size] : 0);
  return value;
}

}  // namespace

std::uint64_t ProgramImageEnd(const unsigned char* head, std::uint32_t length) {
  // Offsets within the head stay far below 2^32: the PE header lies in it.
  const std::uint32_t pe = Field(head, length, 0x3C, 4);
  if (Field(head, length, 0, 2) != 0x5A4D || pe >= length ||
      Field(head, length, pe, 4) != 0x4550) {  // "MZ", "PE\0\0".
    return 0;
  }
  // The file header: the number of sections at +6, the optional header's
  // size at +20; the optional header after it, then the section table.
  const std::uint32_t optional = pe + 24;
  const std::uint32_t table = optional + Field(head, length, pe + 20, 2);
  const std::uint32_t table_end = table + 40 * Field(head, length, pe + 6, 2);
  std::uint64_t end = table_end;
  // The certificate table (data directory 4, a file offset and a size),
  // then each section's raw data (SizeOfRawData at +16, PointerToRawData at +20).
  const bool pe32_plus = Field(head, length, optional, 2) == 0x20B;
  const std::uint32_t security = optional + (pe32_plus ? 144 : 128);
  std::uint32_t at =
      Field(head, length, optional + (pe32_plus ? 108 : 92), 4) > 4 && security + 8 <= table
          ? security - 16
          : table;
  for (; at < table_end; at = at < table ? table : at + 40) {
    const std::uint64_t raw_end =
        std::uint64_t{Field(head, length, at + 20, 4)} + Field(head, length, at + 16, 4);
    if (Field(head, length, at + 16, 4) != 0 && raw_end > end) end = raw_end;
  }
  return end;
}
