#include "launcher/strings.h"

#include <cstring>
#include <utility>

void RaiseStringError(HRESULT code) {
  // TerminateProcess shows nothing, unlike abort(), a fail-fast or an
  // unhandled exception, which may bring up an error report. Terminating the
  // own process does not return; the loop only makes that plain to the compiler.
  for (;;) TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
}

std::int32_t JoinedLength(std::size_t first, std::size_t second) {
  if (first > INT32_MAX || second > INT32_MAX - first) RaiseStringError(E_INVALIDARG);
  return static_cast<std::int32_t>(first + second);
}

namespace {

// Heap storage for `count` bytes.
char* AllocateBytes(std::size_t count) {
  HANDLE heap = GetProcessHeap();
  if (heap == nullptr) RaiseStringError(E_FAIL);
  void* bytes = HeapAlloc(heap, 0, count);
  if (bytes == nullptr) RaiseStringError(E_OUTOFMEMORY);
  return static_cast<char*>(bytes);
}

void FreeBytes(char* bytes) {
  if (bytes != nullptr) HeapFree(GetProcessHeap(), 0, bytes);
}

}  // namespace

NarrowString::NarrowString(const char* text)
    : NarrowString(text, text == nullptr ? 0 : std::strlen(text)) {}

NarrowString::NarrowString(const char* bytes, std::size_t length) {
  length_ = JoinedLength(length, 0);
  if (length_ == 0) return;
  bytes_ = AllocateBytes(static_cast<std::size_t>(length_) + 1);
  std::memcpy(bytes_, bytes, length);
  bytes_[length] = '\0';
}

NarrowString::NarrowString(const NarrowString& other)
    : NarrowString(other.c_str(), static_cast<std::size_t>(other.length_)) {}

NarrowString::NarrowString(NarrowString&& other) noexcept
    : bytes_(other.bytes_), length_(other.length_) {
  other.bytes_ = nullptr;
  other.length_ = 0;
}

NarrowString& NarrowString::operator=(NarrowString other) noexcept {
  std::swap(bytes_, other.bytes_);
  std::swap(length_, other.length_);
  return *this;
}

NarrowString::~NarrowString() { FreeBytes(bytes_); }

char* NarrowString::data() {
  if (bytes_ == nullptr) resize(0);
  return bytes_;
}

void NarrowString::resize(std::size_t length) {
  std::int32_t new_length = JoinedLength(length, 0);
  char* bytes = AllocateBytes(length + 1);
  std::size_t kept = length < static_cast<std::size_t>(length_) ? length : length_;
  if (kept > 0) std::memcpy(bytes, bytes_, kept);
  std::memset(bytes + kept, 0, length + 1 - kept);
  FreeBytes(bytes_);
  bytes_ = bytes;
  length_ = new_length;
}

bool operator==(const NarrowString& a, const NarrowString& b) {
  return a.length_ == b.length_ && std::memcmp(a.c_str(), b.c_str(), a.length_) == 0;
}

NarrowString operator+(const NarrowString& a, const NarrowString& b) {
  NarrowString joined;
  joined.length_ = JoinedLength(a.length_, b.length_);
  if (joined.length_ == 0) return joined;
  joined.bytes_ = AllocateBytes(static_cast<std::size_t>(joined.length_) + 1);
  std::memcpy(joined.bytes_, a.c_str(), a.length_);
  std::memcpy(joined.bytes_ + a.length_, b.c_str(), b.length_);
  joined.bytes_[joined.length_] = '\0';
  return joined;
}

NarrowString ToNarrow(const wchar_t* text) {
  if (text == nullptr) return NarrowString();
  int size = WideCharToMultiByte(CP_THREAD_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return NarrowString();
  NarrowString narrow;
  narrow.resize(static_cast<std::size_t>(size - 1));
  int written =
      WideCharToMultiByte(CP_THREAD_ACP, 0, text, -1, narrow.data(), size, nullptr, nullptr);
  narrow.resize(written > 1 ? static_cast<std::size_t>(written - 1) : 0);
  return narrow;
}

WideString ToWide(const NarrowString& text) {
  int length = MultiByteToWideChar(CP_THREAD_ACP, 0, text.c_str(), text.length(), nullptr, 0);
  WideString wide(SysAllocStringLen(nullptr, static_cast<UINT>(length)));
  if (wide == nullptr) RaiseStringError(E_OUTOFMEMORY);
  if (length > 0) {
    MultiByteToWideChar(CP_THREAD_ACP, 0, text.c_str(), text.length(), wide.get(), length);
  }
  return wide;
}
