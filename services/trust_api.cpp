#include "services/trust_api.h"

#include "services/system_dll.h"

const TrustApi* LoadTrustApi() {
  static TrustApi api;
  static bool attempted = false;
  static bool complete = false;
  if (!attempted) {
    attempted = true;
    // crypt32.dll first: wintrust.dll imports it, so loading wintrust.dll
    // first would leave the choice of crypt32.dll to that import.
    HMODULE crypt32 = LoadSystemDll("crypt32.dll");
    HMODULE wintrust = LoadSystemDll("wintrust.dll");
    complete = wintrust != nullptr && crypt32 != nullptr &&
               ResolveExport(wintrust, "WinVerifyTrust", &api.WinVerifyTrust) &&
               ResolveExport(wintrust, "WTHelperProvDataFromStateData",
                             &api.WTHelperProvDataFromStateData) &&
               ResolveExport(wintrust, "WTHelperGetProvSignerFromChain",
                             &api.WTHelperGetProvSignerFromChain) &&
               ResolveExport(wintrust, "WTHelperGetProvCertFromChain",
                             &api.WTHelperGetProvCertFromChain) &&
               ResolveExport(crypt32, "CryptHashPublicKeyInfo", &api.CryptHashPublicKeyInfo) &&
               ResolveExport(crypt32, "CertVerifyTimeValidity", &api.CertVerifyTimeValidity);
  }
  return complete ? &api : nullptr;
}
