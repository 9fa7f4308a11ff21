#pragma once

#include <windows.h>
#include <oleauto.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "launcher/string_error.h"

// Allocates string storage from the process heap. Raises E_FAIL when the heap
// cannot be obtained and E_OUTOFMEMORY when it has no room, so every string
// operation fails with a StringError rather than std::bad_alloc.
template <typename T>
struct StringAllocator {
  using value_type = T;
  StringAllocator() = default;
  template <typename U>
  StringAllocator(const StringAllocator<U>&) {}  // NOLINT: rebinding is implicit.
  T* allocate(std::size_t count) {
    HANDLE heap = GetProcessHeap();
    if (heap == nullptr) RaiseStringError(E_FAIL);
    if (count > SIZE_MAX / sizeof(T)) RaiseStringError(E_OUTOFMEMORY);
    void* memory = HeapAlloc(heap, 0, count * sizeof(T));
    if (memory == nullptr) RaiseStringError(E_OUTOFMEMORY);
    return static_cast<T*>(memory);
  }
  void deallocate(T* memory, std::size_t) { HeapFree(GetProcessHeap(), 0, memory); }
  template <typename U>
  bool operator==(const StringAllocator<U>&) const {
    return true;
  }
  template <typename U>
  bool operator!=(const StringAllocator<U>&) const {
    return false;
  }
};

// A counted byte string in the thread's ANSI code page, always followed by a
// NUL byte. Used for every path, registry name and datum, URL and process
// argument. A value: copies are independent. Its length always fits a signed
// 32-bit count; a longer one raises E_INVALIDARG.
class NarrowString {
 public:
  NarrowString() = default;
  // Copies the NUL-terminated text. A null pointer gives the empty string.
  NarrowString(const char* text);  // NOLINT: literals convert implicitly.
  // Copies exactly `length` bytes from `bytes`, which may hold NULs.
  NarrowString(const char* bytes, std::size_t length);

  // The bytes, followed by a NUL. Valid until the string is next changed.
  const char* c_str() const { return bytes_.c_str(); }
  // Number of bytes before the terminating NUL (embedded NULs count).
  std::int32_t length() const { return static_cast<std::int32_t>(bytes_.size()); }
  bool empty() const { return bytes_.empty(); }
  // Writable bytes: length() of them, then the terminating NUL, which must stay 0.
  char* data() { return &bytes_[0]; }
  // Sets the length; added bytes are NUL. Raises E_INVALIDARG above INT32_MAX.
  void resize(std::size_t length);

  friend bool operator==(const NarrowString& a, const NarrowString& b) {
    return a.bytes_ == b.bytes_;
  }
  friend bool operator!=(const NarrowString& a, const NarrowString& b) { return !(a == b); }
  // Concatenation; raises E_INVALIDARG when the total exceeds INT32_MAX bytes.
  friend NarrowString operator+(const NarrowString& a, const NarrowString& b);

 private:
  std::basic_string<char, std::char_traits<char>, StringAllocator<char>> bytes_;
};

// Owns a length-counted BSTR, freed with SysFreeString. Null means no string.
struct BstrFree {
  void operator()(OLECHAR* text) const { SysFreeString(text); }
};
using WideString = std::unique_ptr<OLECHAR, BstrFree>;

// Returns first + second as a byte count, or raises E_INVALIDARG when the sum
// does not fit a signed 32-bit length.
std::int32_t JoinedLength(std::size_t first, std::size_t second);

// Converts UTF-16 text (NUL-terminated, may be null) to the thread's ANSI code
// page. Null, or text that converts to nothing, gives the empty string.
// Characters the code page lacks become its default character, silently.
NarrowString ToNarrow(const wchar_t* text);

// Converts exactly text.length() bytes to a new BSTR of the converted length,
// owned by the caller. Raises E_OUTOFMEMORY when the BSTR cannot be allocated.
WideString ToWide(const NarrowString& text);
