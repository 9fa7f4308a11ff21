#include "services/signer_check.h"

#include <cstring>

#include "services/trust_api.h"

namespace {

constexpr DWORD kSha256Size = 32;

// The signing certificate's public-key pin, or an empty string when the
// verified state names no signer.
NarrowString SignerPin(const TrustApi& trust, HANDLE state) {
  CRYPT_PROVIDER_DATA* provider = trust.WTHelperProvDataFromStateData(state);
  CRYPT_PROVIDER_SGNR* signer =
      provider == nullptr ? nullptr : trust.WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0);
  CRYPT_PROVIDER_CERT* certificate =
      signer == nullptr ? nullptr : trust.WTHelperGetProvCertFromChain(signer, 0);
  if (certificate == nullptr || certificate->pCert == nullptr) return NarrowString();
  BYTE digest[kSha256Size];
  DWORD size = sizeof(digest);
  if (!trust.CryptHashPublicKeyInfo(0, CALG_SHA_256, 0, X509_ASN_ENCODING,
                                    &certificate->pCert->pCertInfo->SubjectPublicKeyInfo, digest,
                                    &size) ||
      size != kSha256Size) {
    return NarrowString();
  }
  NarrowString pin;
  pin.resize(kSignerPinLength);
  static constexpr char kHexDigits[] = "0123456789abcdef";
  for (DWORD i = 0; i < kSha256Size; ++i) {
    pin.data()[2 * i] = kHexDigits[digest[i] >> 4];
    pin.data()[2 * i + 1] = kHexDigits[digest[i] & 0xF];
  }
  return pin;
}

bool IsPinned(const NarrowString& pin, const NarrowString& signer_pins) {
  if (pin.length() != kSignerPinLength) return false;
  for (int at = 0; at + kSignerPinLength <= signer_pins.length(); at += kSignerPinLength) {
    if (std::memcmp(signer_pins.c_str() + at, pin.c_str(), kSignerPinLength) == 0) return true;
  }
  return false;
}

// True when WinVerifyTrust's `status` says only that this PC could not
// complete the chain to a trusted root (a fresh install holds few roots and
// fetches the rest, which cache-only retrieval forbids), while the file's
// digest and signature verified and the signer's chain shows no other
// fault: not expired, revoked, distrusted or of the wrong usage. The signing
// certificate must be valid now: a signing time is never trusted.
bool OnlyTheChainIsIncomplete(const TrustApi& trust, HANDLE state, LONG status) {
  if (status != CERT_E_UNTRUSTEDROOT && status != CERT_E_CHAINING) return false;
  CRYPT_PROVIDER_DATA* provider = trust.WTHelperProvDataFromStateData(state);
  if (provider == nullptr || provider->padwTrustStepErrors == nullptr ||
      provider->cdwTrustStepErrors <= TRUSTERROR_STEP_FINAL_SIGPROV ||
      provider->padwTrustStepErrors[TRUSTERROR_STEP_FINAL_OBJPROV] != ERROR_SUCCESS ||
      provider->padwTrustStepErrors[TRUSTERROR_STEP_FINAL_SIGPROV] != ERROR_SUCCESS) {
    return false;
  }
  CRYPT_PROVIDER_SGNR* signer = trust.WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0);
  if (signer == nullptr || signer->pChainContext == nullptr) return false;
  constexpr DWORD kIncompleteChain = CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN;
  if ((signer->pChainContext->TrustStatus.dwErrorStatus & ~kIncompleteChain) != 0) return false;
  CRYPT_PROVIDER_CERT* certificate = trust.WTHelperGetProvCertFromChain(signer, 0);
  return certificate != nullptr && certificate->pCert != nullptr &&
         trust.CertVerifyTimeValidity(nullptr, certificate->pCert->pCertInfo) == 0;
}

// The verdict on a verification that WinVerifyTrust left open as `state`.
SignatureVerdict Judge(const TrustApi& trust, HANDLE state, LONG status,
                       const NarrowString& signer_pins, NarrowString* signer_pin) {
  switch (status) {
    case ERROR_SUCCESS:
      break;
    case TRUST_E_NOSIGNATURE:
      return SignatureVerdict::kNoSignature;
    case TRUST_E_BAD_DIGEST:
      return SignatureVerdict::kAltered;
    default:
      if (!OnlyTheChainIsIncomplete(trust, state, status)) return SignatureVerdict::kRefused;
  }
  *signer_pin = SignerPin(trust, state);
  return IsPinned(*signer_pin, signer_pins) ? SignatureVerdict::kPinned
                                            : SignatureVerdict::kNotPinned;
}

}  // namespace

SignerCheck CheckSigner(const NarrowString& file_path, const NarrowString& signer_pins) {
  const TrustApi* trust = LoadTrustApi();
  return trust == nullptr ? SignerCheck() : CheckSignerWith(*trust, file_path, signer_pins);
}

SignerCheck CheckSignerWith(const TrustApi& trust, const NarrowString& file_path,
                            const NarrowString& signer_pins) {
  SignerCheck check;
  WideString wide_path = ToWide(file_path);
  WINTRUST_FILE_INFO file = {};
  file.cbStruct = sizeof(file);
  file.pcwszFilePath = wide_path.get();
  WINTRUST_DATA verification = {};
  verification.cbStruct = sizeof(verification);
  verification.dwUIChoice = WTD_UI_NONE;
  // Revocation data would come over the network and could hang the launcher
  // for minutes; a key that must be withdrawn loses its pin instead. Cache
  // only: no other URL (such as a missing chain certificate) is fetched either.
  verification.fdwRevocationChecks = WTD_REVOKE_NONE;
  verification.dwProvFlags = WTD_REVOCATION_CHECK_NONE | WTD_CACHE_ONLY_URL_RETRIEVAL;
  verification.dwUnionChoice = WTD_CHOICE_FILE;
  verification.pFile = &file;
  verification.dwStateAction = WTD_STATEACTION_VERIFY;
  // INVALID_HANDLE_VALUE: there is no interactive user to ask.
  HWND no_user = static_cast<HWND>(INVALID_HANDLE_VALUE);
  check.trust_status = trust.WinVerifyTrust(no_user, &kGenericVerifyV2, &verification);
  check.verdict =
      Judge(trust, verification.hWVTStateData, check.trust_status, signer_pins, &check.signer_pin);
  // Frees the signer and certificate data the verification kept.
  verification.dwStateAction = WTD_STATEACTION_CLOSE;
  trust.WinVerifyTrust(no_user, &kGenericVerifyV2, &verification);
  return check;
}
