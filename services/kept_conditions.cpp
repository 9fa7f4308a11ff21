#include <cstring>

#include "launcher/install_layout.h"
#include "launcher/service_operations.h"
#include "services/sha256.h"

namespace {

constexpr DWORD kSha256Size = sizeof(BodyDigest::bytes);
// A record: the SHA-256 of the kept bytes, then the conditions' text (two
// lines of at most 512 bytes of value each: see http_answer.cpp).
constexpr DWORD kLargestRecord = kSha256Size + 1200;

// The SHA-256 of the bytes of the file at `path`; unknown when the file
// cannot be read or hashed.
BodyDigest FingerprintFile(const NarrowString& path) {
  BodyDigest digest;
  Sha256 sha;
  if (StartSha256(&sha) && AddFileToSha256(&sha, path)) FinishSha256(&sha, &digest);
  return digest;
}

}  // namespace

DownloadConditions ReadKeptConditions(const NarrowString& file_path) {
  BYTE record[kLargestRecord];
  DWORD size = sizeof(record);
  if (RegGetValueA(HKEY_LOCAL_MACHINE, kKeptConditionsKey, FileNameIn(file_path.c_str()),
                   RRF_RT_REG_BINARY, nullptr, record, &size) != ERROR_SUCCESS ||
      size <= kSha256Size) {
    return DownloadConditions();
  }
  const BodyDigest digest = FingerprintFile(file_path);
  if (!digest.known || std::memcmp(digest.bytes, record, kSha256Size) != 0) {
    return DownloadConditions();
  }
  return DownloadConditions(reinterpret_cast<const char*>(record) + kSha256Size,
                            size - kSha256Size);
}

void KeepConditions(const NarrowString& file_path, const DownloadConditions& conditions,
                    const BodyDigest& digest) {
  // The key and the value are made, or the value removed, in one call each,
  // in the registry view the platform gives the launcher, like its others.
  const char* name = FileNameIn(file_path.c_str());
  const DWORD size = kSha256Size + static_cast<DWORD>(conditions.length());
  BYTE record[kLargestRecord];
  if (!conditions.empty() && digest.known && size <= sizeof(record)) {
    std::memcpy(record, digest.bytes, kSha256Size);
    std::memcpy(record + kSha256Size, conditions.c_str(), conditions.length());
    if (RegSetKeyValueA(HKEY_LOCAL_MACHINE, kKeptConditionsKey, name, REG_BINARY, record, size) ==
        ERROR_SUCCESS) {
      return;
    }
  }
  RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, kKeptConditionsKey, name);
}
