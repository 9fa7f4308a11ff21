#pragma once

#include <windows.h>

#include "launcher/service_operations.h"
#include "services/scoped_handles.h"

// SHA-256 over bytes given in pieces, with the CryptoAPI's AES provider.

struct Sha256 {
  UniqueCryptProvider provider;
  UniqueCryptHash hash;
};

// Starts a hash of no bytes, dropping any started before; false when the
// CryptoAPI gives none.
bool StartSha256(Sha256* sha);

// Adds `size` bytes at `bytes`; false when hashing failed.
bool AddToSha256(Sha256* sha, const void* bytes, DWORD size);

// Adds every byte of the file at `path`; false when it cannot be read to
// its end or hashed.
bool AddFileToSha256(Sha256* sha, const NarrowString& path);

// Adds the first `count` bytes of `file`, read through a buffer of its own;
// false when fewer can be read or hashing failed.
bool AddFileBytesToSha256(Sha256* sha, HANDLE file, DWORD count);

// The digest of every byte added; `digest->known` is false when hashing failed.
void FinishSha256(Sha256* sha, BodyDigest* digest);

// The digest of every byte added so far, leaving the hash open for more.
void DigestSoFar(const Sha256& sha, BodyDigest* digest);
