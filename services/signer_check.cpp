#include "services/signer_check.h"

#include <cstring>

#include "services/scoped_handles.h"
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

}  // namespace

SignerCheck CheckSigner(const NarrowString& file_path, const NarrowString& signer_pins) {
  SignerCheck check;
  const TrustApi* trust = LoadTrustApi();
  if (trust == nullptr) return check;
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
  check.trust_status = trust->WinVerifyTrust(no_user, &kGenericVerifyV2, &verification);
  UniqueTrustState state(&verification);
  switch (check.trust_status) {
    case ERROR_SUCCESS:
      break;
    case TRUST_E_NOSIGNATURE:
      check.verdict = SignatureVerdict::kNoSignature;
      return check;
    case TRUST_E_BAD_DIGEST:
      check.verdict = SignatureVerdict::kAltered;
      return check;
    default:
      return check;
  }
  check.signer_pin = SignerPin(*trust, verification.hWVTStateData);
  check.verdict = IsPinned(check.signer_pin, signer_pins) ? SignatureVerdict::kPinned
                                                          : SignatureVerdict::kNotPinned;
  return check;
}
