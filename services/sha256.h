#pragma once

#include <windows.h>

#include "launcher/service_operations.h"
#include "services/scoped_handles.h"

// SHA-256 over bytes given in pieces, with the CryptoAPI's AES provider.

struct Sha256 {
  UniqueCryptProvider provider;
  UniqueCryptHash hash;
};

// Starts a hash of no bytes; false when the CryptoAPI gives none.
bool StartSha256(Sha256* sha);

// Adds `size` bytes at `bytes`; false when hashing failed.
bool AddToSha256(Sha256* sha, const void* bytes, DWORD size);

// Adds every byte of the file at `path`, read `size` bytes at a time through
// `buffer`; false when it cannot be read to its end or hashed.
bool AddFileToSha256(Sha256* sha, const NarrowString& path, void* buffer, DWORD size);

// The digest of every byte added; `digest->known` is false when hashing failed.
void FinishSha256(Sha256* sha, BodyDigest* digest);
