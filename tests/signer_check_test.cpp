#include "services/signer_check.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <wincrypt.h>

#include <memory>
#include <string>

#include "tests/download_fixture.h"

namespace {

// One verification as the fake trust functions below report it: what
// WinVerifyTrust returned, what its steps and the signer's chain saw, and
// the signing certificate. Wine's WinVerifyTrust checks no chain, so the
// Windows outcomes reach the check through the functions it is given.
struct Verification {
  LONG status = ERROR_SUCCESS;
  DWORD step_errors[TRUSTERROR_MAX_STEPS] = {};
  CERT_CHAIN_CONTEXT chain = {};
  CRYPT_PROVIDER_CERT certificate = {};
  CRYPT_PROVIDER_SGNR signer = {};
  CRYPT_PROVIDER_DATA provider = {};
  int closes = 0;
};
Verification* current = nullptr;

LONG WINAPI FakeWinVerifyTrust(HWND, GUID*, LPVOID data) {
  auto* verification = static_cast<WINTRUST_DATA*>(data);
  if (verification->dwStateAction == WTD_STATEACTION_CLOSE) {
    ++current->closes;
    return ERROR_SUCCESS;
  }
  verification->hWVTStateData = reinterpret_cast<HANDLE>(current);
  return current->status;
}
CRYPT_PROVIDER_DATA* WINAPI FakeProvData(HANDLE state) {
  return &reinterpret_cast<Verification*>(state)->provider;
}
CRYPT_PROVIDER_SGNR* WINAPI FakeSigner(CRYPT_PROVIDER_DATA* provider, DWORD, BOOL, DWORD) {
  return provider->pasSigners;
}
CRYPT_PROVIDER_CERT* WINAPI FakeCertificate(CRYPT_PROVIDER_SGNR* signer, DWORD) {
  return signer->pasCertChain;
}

using UniqueCertificate =
    std::unique_ptr<const CERT_CONTEXT, decltype(&CertFreeCertificateContext)>;

// The certificate of a test signer (signing\<signer>.pem).
UniqueCertificate Certificate(const std::string& signer) {
  const std::string pem = ReadFileBytes(TestKeyFile(signer + ".pem"));
  BYTE der[8192];
  DWORD size = sizeof(der);
  if (!CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                            der, &size, nullptr, nullptr)) {
    return {nullptr, CertFreeCertificateContext};
  }
  return {CertCreateCertificateContext(X509_ASN_ENCODING, der, size), CertFreeCertificateContext};
}

// On Windows a PC that cannot complete the chain (few roots, none fetched)
// reports CERT_E_UNTRUSTEDROOT or CERT_E_CHAINING for a correctly signed
// file: the pin decides, but only when nothing else is wrong. Every other
// fault still refuses, and no signing time is trusted.
TEST(SignerCheckTest, IncompleteChainLeavesThePinToDecideAndNothingElse) {
  const UniqueCertificate pinned_certificate = Certificate("pinned");
  const UniqueCertificate expired_certificate = Certificate("expired");
  PCCERT_CONTEXT pinned = pinned_certificate.get();
  PCCERT_CONTEXT expired = expired_certificate.get();
  ASSERT_NE(pinned, nullptr);
  ASSERT_NE(expired, nullptr);
  const TrustApi* real = LoadTrustApi();
  ASSERT_NE(real, nullptr);
  TrustApi fake = *real;
  fake.WinVerifyTrust = FakeWinVerifyTrust;
  fake.WTHelperProvDataFromStateData = FakeProvData;
  fake.WTHelperGetProvSignerFromChain = FakeSigner;
  fake.WTHelperGetProvCertFromChain = FakeCertificate;
  constexpr DWORD kUntrusted = CERT_TRUST_IS_UNTRUSTED_ROOT;
  struct Row {
    const char* what;
    LONG status;
    DWORD chain_errors;
    PCCERT_CONTEXT certificate;
    SignatureVerdict expected;
    int failed_step = -1;  // A step whose error is set.
    const char* pins = "pinned";
  };
  const Row rows[] = {
      {"a complete chain", ERROR_SUCCESS, 0, pinned, SignatureVerdict::kPinned},
      {"an untrusted root", CERT_E_UNTRUSTEDROOT, kUntrusted, pinned, SignatureVerdict::kPinned},
      {"a partial chain", CERT_E_CHAINING, CERT_TRUST_IS_PARTIAL_CHAIN, pinned,
       SignatureVerdict::kPinned},
      {"an untrusted root, another key", CERT_E_UNTRUSTEDROOT, kUntrusted, pinned,
       SignatureVerdict::kNotPinned, -1, "other"},
      {"an untrusted root, expired when timestamped", CERT_E_UNTRUSTEDROOT,
       kUntrusted | CERT_TRUST_IS_NOT_TIME_VALID, pinned, SignatureVerdict::kRefused},
      {"an untrusted root, a certificate expired now", CERT_E_UNTRUSTEDROOT, kUntrusted, expired,
       SignatureVerdict::kRefused, -1, "expired"},
      {"an untrusted root, the wrong usage", CERT_E_UNTRUSTEDROOT,
       kUntrusted | CERT_TRUST_IS_NOT_VALID_FOR_USAGE, pinned, SignatureVerdict::kRefused},
      {"an untrusted root, explicitly distrusted", CERT_E_UNTRUSTEDROOT,
       kUntrusted | CERT_TRUST_IS_EXPLICIT_DISTRUST, pinned, SignatureVerdict::kRefused},
      {"an untrusted root, revoked", CERT_E_UNTRUSTEDROOT, kUntrusted | CERT_TRUST_IS_REVOKED,
       pinned, SignatureVerdict::kRefused},
      {"an untrusted root, the digest not verified", CERT_E_UNTRUSTEDROOT, kUntrusted, pinned,
       SignatureVerdict::kRefused, TRUSTERROR_STEP_FINAL_OBJPROV},
      {"an untrusted root, the signature not verified", CERT_E_UNTRUSTEDROOT, kUntrusted, pinned,
       SignatureVerdict::kRefused, TRUSTERROR_STEP_FINAL_SIGPROV},
      {"expired", CERT_E_EXPIRED, CERT_TRUST_IS_NOT_TIME_VALID, pinned, SignatureVerdict::kRefused},
      {"the wrong usage", CERT_E_WRONG_USAGE, CERT_TRUST_IS_NOT_VALID_FOR_USAGE, pinned,
       SignatureVerdict::kRefused},
      {"explicitly distrusted", TRUST_E_EXPLICIT_DISTRUST, CERT_TRUST_IS_EXPLICIT_DISTRUST, pinned,
       SignatureVerdict::kRefused},
      {"revoked", CERT_E_REVOKED, CERT_TRUST_IS_REVOKED, pinned, SignatureVerdict::kRefused},
      {"no signature", TRUST_E_NOSIGNATURE, 0, pinned, SignatureVerdict::kNoSignature},
      {"altered", TRUST_E_BAD_DIGEST, 0, pinned, SignatureVerdict::kAltered},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Verification verification;
    verification.status = row.status;
    if (row.failed_step >= 0) verification.step_errors[row.failed_step] = TRUST_E_BAD_DIGEST;
    verification.chain.TrustStatus.dwErrorStatus = row.chain_errors;
    verification.certificate.pCert = row.certificate;
    verification.signer.pChainContext = &verification.chain;
    verification.signer.csCertChain = 1;
    verification.signer.pasCertChain = &verification.certificate;
    verification.provider.padwTrustStepErrors = verification.step_errors;
    verification.provider.cdwTrustStepErrors = TRUSTERROR_MAX_STEPS;
    verification.provider.csSigners = 1;
    verification.provider.pasSigners = &verification.signer;
    current = &verification;
    const SignerCheck check = CheckSignerWith(fake, "C:\\any.exe", Pin(row.pins).c_str());
    EXPECT_EQ(check.verdict, row.expected);
    EXPECT_EQ(check.trust_status, row.status);
    EXPECT_EQ(verification.closes, 1) << "the verification is closed once";
  }
}

}  // namespace
