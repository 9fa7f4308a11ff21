#pragma once

#include <windows.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <softpub.h>

// The WinTrust and CryptoAPI functions the signer check uses, from System32's
// wintrust.dll and crypt32.dll (see services/system_dll.h for why they are
// never imported).
struct TrustApi {
  decltype(&::WinVerifyTrust) WinVerifyTrust;
  decltype(&::WTHelperProvDataFromStateData) WTHelperProvDataFromStateData;
  decltype(&::WTHelperGetProvSignerFromChain) WTHelperGetProvSignerFromChain;
  decltype(&::WTHelperGetProvCertFromChain) WTHelperGetProvCertFromChain;
  decltype(&::CryptHashPublicKeyInfo) CryptHashPublicKeyInfo;
  decltype(&::CertVerifyTimeValidity) CertVerifyTimeValidity;
};

// The Authenticode policy: WINTRUST_ACTION_GENERIC_VERIFY_V2.
inline GUID kGenericVerifyV2 = WINTRUST_ACTION_GENERIC_VERIFY_V2;

// Returns the functions, or null when a DLL or one of the functions is
// missing. Loads the DLLs on the first call only.
const TrustApi* LoadTrustApi();
