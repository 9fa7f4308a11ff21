#include <cstdio>
#include <cstring>

#include "launcher/install_layout.h"
#include "launcher/service_operations.h"
#include "services/scoped_handles.h"

namespace {

constexpr DWORD kSha256Size = 32;
// A record: the SHA-256 of the kept bytes, then the conditions' text (two
// lines of at most 512 bytes of value each: see http_answer.cpp).
constexpr DWORD kLargestRecord = kSha256Size + 1200;

// Stores the SHA-256 of the bytes of the file at `path` in the kSha256Size
// bytes at `digest`; false when the file cannot be read or hashed.
bool FingerprintFile(const NarrowString& path, BYTE* digest) {
  UniqueCryptProvider provider;
  UniqueCryptHash hash;
  UniqueFile file(std::fopen(path.c_str(), "rb"));
  if (file == nullptr ||
      !CryptAcquireContextA(provider.receive(), nullptr, nullptr, PROV_RSA_AES,
                            CRYPT_VERIFYCONTEXT) ||
      !CryptCreateHash(provider.get(), CALG_SHA_256, 0, 0, hash.receive())) {
    return false;
  }
  BYTE buffer[2048];  // Every frame stays well below a page: no stack probes.
  size_t count;
  do {
    count = std::fread(buffer, 1, sizeof(buffer), file.get());
    if (!CryptHashData(hash.get(), buffer, static_cast<DWORD>(count), 0)) return false;
  } while (count == sizeof(buffer));
  DWORD size = kSha256Size;
  return std::ferror(file.get()) == 0 &&
         CryptGetHashParam(hash.get(), HP_HASHVAL, digest, &size, 0) && size == kSha256Size;
}

}  // namespace

DownloadConditions ReadKeptConditions(const NarrowString& file_path) {
  BYTE record[kLargestRecord];
  DWORD size = sizeof(record);
  BYTE digest[kSha256Size];
  if (RegGetValueA(HKEY_LOCAL_MACHINE, kKeptConditionsKey, FileNameIn(file_path.c_str()),
                   RRF_RT_REG_BINARY, nullptr, record, &size) != ERROR_SUCCESS ||
      size <= kSha256Size || !FingerprintFile(file_path, digest) ||
      std::memcmp(digest, record, kSha256Size) != 0) {
    return DownloadConditions();
  }
  return DownloadConditions(reinterpret_cast<const char*>(record) + kSha256Size,
                            size - kSha256Size);
}

void KeepConditions(const NarrowString& file_path, const DownloadConditions& conditions) {
  // The key and the value are made, or the value removed, in one call each,
  // in the registry view the platform gives the launcher, like its others.
  const char* name = FileNameIn(file_path.c_str());
  const DWORD size = kSha256Size + static_cast<DWORD>(conditions.length());
  BYTE record[kLargestRecord];
  if (!conditions.empty() && size <= sizeof(record) && FingerprintFile(file_path, record)) {
    std::memcpy(record + kSha256Size, conditions.c_str(), conditions.length());
    if (RegSetKeyValueA(HKEY_LOCAL_MACHINE, kKeptConditionsKey, name, REG_BINARY, record, size) ==
        ERROR_SUCCESS) {
      return;
    }
  }
  RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, kKeptConditionsKey, name);
}
