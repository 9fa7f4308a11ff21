#pragma once

#include "launcher/strings.h"

// Length of one signer pin: a SHA-256 digest as lowercase hex digits.
constexpr int kSignerPinLength = 64;

// True when the file at `file_path` carries an Authenticode signature that
// WinVerifyTrust accepts (no UI, no revocation or other network look-up) and
// the signing certificate's public key (the SHA-256 of its DER
// SubjectPublicKeyInfo) is one of `signer_pins`: pins of kSignerPinLength
// lowercase hex digits each, back to back. False on anything else, an empty
// pin list included. The file must be closed.
bool IsSignedByPinnedKey(const NarrowString& file_path, const NarrowString& signer_pins);
