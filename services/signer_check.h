#pragma once

#include <windows.h>

#include "launcher/strings.h"
#include "services/trust_api.h"

// Length of one signer pin: a SHA-256 digest as lowercase hex digits.
constexpr int kSignerPinLength = 64;

// What WinVerifyTrust and the pins make of a file's signature.
enum class SignatureVerdict {
  kPinned,       // Verified, and the signing key is pinned.
  kNoSignature,  // No Authenticode signature (TRUST_E_NOSIGNATURE).
  kAltered,      // Signed, but changed since (TRUST_E_BAD_DIGEST).
  kRefused,      // Refused otherwise: not an image, an expired, revoked or distrusted
                 // certificate, one of the wrong usage, or a chain of another fault.
  kNotPinned,    // Verified, but the signing key is none of the pins.
};

struct SignerCheck {
  SignatureVerdict verdict = SignatureVerdict::kRefused;
  LONG trust_status = 0;    // What WinVerifyTrust returned.
  NarrowString signer_pin;  // The signing key's pin, once the signature is verified.
};

// Checks the Authenticode signature of the file at `file_path` with
// WinVerifyTrust (no UI, no revocation or other network look-up) and hashes
// the signing certificate's public key (the SHA-256 of its DER
// SubjectPublicKeyInfo) against `signer_pins`: pins of kSignerPinLength
// lowercase hex digits each, back to back. An empty pin list pins nothing.
// A chain this PC cannot complete to a trusted root (CERT_E_UNTRUSTEDROOT,
// CERT_E_CHAINING) does not refuse a file whose digest and signature
// verified, whose signer's chain shows no other fault and whose signing
// certificate is valid now: its key's pin decides. The file must be closed.
SignerCheck CheckSigner(const NarrowString& file_path, const NarrowString& signer_pins);

// CheckSigner through `trust`: where the trust functions meet the check.
SignerCheck CheckSignerWith(const TrustApi& trust, const NarrowString& file_path,
                            const NarrowString& signer_pins);
