#include "launcher/strings.h"

#include <cstring>

void RaiseStringError(HRESULT code) { throw StringError{code}; }

std::int32_t JoinedLength(std::size_t first, std::size_t second) {
  if (first > INT32_MAX || second > INT32_MAX - first) RaiseStringError(E_INVALIDARG);
  return static_cast<std::int32_t>(first + second);
}

NarrowString::NarrowString(const char* text)
    : NarrowString(text, text == nullptr ? 0 : std::strlen(text)) {}

NarrowString::NarrowString(const char* bytes, std::size_t length) {
  bytes_.assign(bytes, JoinedLength(length, 0));
}

void NarrowString::resize(std::size_t length) { bytes_.resize(JoinedLength(length, 0)); }

NarrowString operator+(const NarrowString& a, const NarrowString& b) {
  NarrowString joined;
  joined.bytes_.reserve(JoinedLength(a.bytes_.size(), b.bytes_.size()));
  joined.bytes_.append(a.bytes_).append(b.bytes_);
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
