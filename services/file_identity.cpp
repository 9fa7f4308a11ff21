#include "services/file_identity.h"

#include "services/version_api.h"

namespace {

constexpr DWORD kFixedFileInfoSignature = 0xFEEF04BD;

// Appends `value` as four lowercase hex digits, the form of a language and
// code page in a StringFileInfo path.
wchar_t* AppendHex4(wchar_t* out, WORD value) {
  static constexpr wchar_t kHexDigits[] = L"0123456789abcdef";
  for (int shift = 12; shift >= 0; shift -= 4) *out++ = kHexDigits[(value >> shift) & 0xF];
  return out;
}

wchar_t* Append(wchar_t* out, const wchar_t* text) {
  while (*text != L'\0') *out++ = *text++;
  return out;
}

// OriginalFilename in the first language that \VarFileInfo\Translation lists.
WideString OriginalFilename(const VersionApi& api, const void* block) {
  WORD* translation = nullptr;
  UINT size = 0;
  if (!api.VerQueryValueW(block, L"\\VarFileInfo\\Translation",
                          reinterpret_cast<void**>(&translation), &size) ||
      translation == nullptr || size < 2 * sizeof(WORD)) {
    return WideString();
  }
  wchar_t query[48];
  wchar_t* end = Append(query, L"\\StringFileInfo\\");
  end = AppendHex4(end, translation[0]);
  end = AppendHex4(end, translation[1]);
  *Append(end, L"\\OriginalFilename") = L'\0';
  wchar_t* name = nullptr;
  UINT length = 0;
  if (!api.VerQueryValueW(block, query, reinterpret_cast<void**>(&name), &length) ||
      name == nullptr) {
    return WideString();
  }
  UINT characters = 0;
  while (characters < length && name[characters] != L'\0') ++characters;
  WideString copy(SysAllocStringLen(name, characters));
  if (copy == nullptr) RaiseStringError(E_OUTOFMEMORY);
  return copy;
}

wchar_t AsciiLower(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c + 32) : c; }

}  // namespace

FileIdentity ReadFileIdentity(const NarrowString& file_path) {
  FileIdentity identity;
  const VersionApi* api = LoadVersionApi();
  if (api == nullptr) return identity;
  WideString path = ToWide(file_path);
  DWORD unused = 0;
  DWORD size = api->GetFileVersionInfoSizeExW(FILE_VER_GET_NEUTRAL, path.get(), &unused);
  if (size == 0) return identity;
  NarrowString block;
  block.resize(size);
  if (!api->GetFileVersionInfoExW(FILE_VER_GET_NEUTRAL, path.get(), 0, size, block.data())) {
    return identity;
  }
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT fixed_size = 0;
  if (!api->VerQueryValueW(block.c_str(), L"\\", reinterpret_cast<void**>(&fixed), &fixed_size) ||
      fixed == nullptr || fixed_size < sizeof(*fixed) ||
      fixed->dwSignature != kFixedFileInfoSignature) {
    return identity;
  }
  identity.has_version = true;
  identity.version = (FileVersion{fixed->dwFileVersionMS} << 32) | fixed->dwFileVersionLS;
  identity.original_filename = OriginalFilename(*api, block.c_str());
  return identity;
}

bool IsNamed(const FileIdentity& identity, const NarrowString& name) {
  const OLECHAR* text = identity.original_filename.get();
  if (text == nullptr ||
      SysStringLen(identity.original_filename.get()) != static_cast<UINT>(name.length())) {
    return false;
  }
  for (int i = 0; i < name.length(); ++i) {
    auto wanted = static_cast<unsigned char>(name.c_str()[i]);
    if (wanted > 0x7F || AsciiLower(text[i]) != AsciiLower(wanted)) return false;
  }
  return true;
}
