#include "services/sha256.h"

bool StartSha256(Sha256* sha) {
  // A provider acquired before serves the new hash too.
  return (sha->provider.get() != 0 ||
          CryptAcquireContextA(sha->provider.receive(), nullptr, nullptr, PROV_RSA_AES,
                               CRYPT_VERIFYCONTEXT)) &&
         CryptCreateHash(sha->provider.get(), CALG_SHA_256, 0, 0, sha->hash.receive());
}

bool AddToSha256(Sha256* sha, const void* bytes, DWORD size) {
  return CryptHashData(sha->hash.get(), static_cast<const BYTE*>(bytes), size, 0) != FALSE;
}

bool AddFileBytesToSha256(Sha256* sha, HANDLE file, DWORD count) {
  // Large reads, one pass: the heap, since a frame stays below a page.
  constexpr DWORD kBufferSize = 256 * 1024;
  void* buffer = HeapAlloc(GetProcessHeap(), 0, kBufferSize);
  bool hashed = buffer != nullptr;
  while (hashed && count > 0) {
    DWORD read = 0;
    hashed = ReadFile(file, buffer, count < kBufferSize ? count : kBufferSize, &read, nullptr) &&
             read > 0 && AddToSha256(sha, buffer, read);
    count -= hashed ? read : 0;
  }
  if (buffer != nullptr) HeapFree(GetProcessHeap(), 0, buffer);
  return hashed;
}

bool AddFileToSha256(Sha256* sha, const NarrowString& path) {
  HANDLE opened = CreateFileA(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  UniqueKernelHandle file(opened == INVALID_HANDLE_VALUE ? nullptr : opened);
  LARGE_INTEGER size;
  // A kept file is at most kLargestDownload bytes.
  return file != nullptr && GetFileSizeEx(file.get(), &size) && size.QuadPart <= kLargestDownload &&
         AddFileBytesToSha256(sha, file.get(), static_cast<DWORD>(size.QuadPart));
}

void FinishSha256(Sha256* sha, BodyDigest* digest) {
  DWORD size = sizeof(digest->bytes);
  digest->known = CryptGetHashParam(sha->hash.get(), HP_HASHVAL, digest->bytes, &size, 0) &&
                  size == sizeof(digest->bytes);
}

void DigestSoFar(const Sha256& sha, BodyDigest* digest) {
  Sha256 copy;
  digest->known = CryptDuplicateHash(sha.hash.get(), nullptr, 0, copy.hash.receive()) != FALSE;
  if (digest->known) FinishSha256(&copy, digest);
}
