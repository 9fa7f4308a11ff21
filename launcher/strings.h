#pragma once

#include <windows.h>
#include <oleauto.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "launcher/string_error.h"

// A counted byte string in the thread's ANSI code page, always followed by a
// NUL byte. Used for every path, registry name and datum, URL and process
// argument. A value: copies are independent. Its bytes live on the process
// heap; a length beyond INT32_MAX raises E_INVALIDARG, an exhausted heap
// E_OUTOFMEMORY and a missing heap E_FAIL, each through RaiseStringError.
class NarrowString {
 public:
  NarrowString() = default;
  // Copies the NUL-terminated text. A null pointer gives the empty string.
  NarrowString(const char* text);  // NOLINT: literals convert implicitly.
  // Copies exactly `length` bytes from `bytes`, which may hold NULs.
  NarrowString(const char* bytes, std::size_t length);
  NarrowString(const NarrowString& other);
  NarrowString(NarrowString&& other) noexcept;
  NarrowString& operator=(NarrowString other) noexcept;
  ~NarrowString();

  // The bytes, followed by a NUL. Valid until the string is next changed.
  const char* c_str() const { return bytes_ != nullptr ? bytes_ : ""; }
  // Number of bytes before the terminating NUL (embedded NULs count).
  std::int32_t length() const { return length_; }
  bool empty() const { return length_ == 0; }
  // Writable bytes: length() of them, then the terminating NUL, which must stay 0.
  char* data();
  // Sets the length, keeping the bytes that fit; added bytes are NUL.
  void resize(std::size_t length);

  friend bool operator==(const NarrowString& a, const NarrowString& b);
  friend bool operator!=(const NarrowString& a, const NarrowString& b) { return !(a == b); }
  // Concatenation; raises E_INVALIDARG when the total exceeds INT32_MAX bytes.
  friend NarrowString operator+(const NarrowString& a, const NarrowString& b);

 private:
  char* bytes_ = nullptr;  // length_ + 1 bytes, or null for an empty string.
  std::int32_t length_ = 0;
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
