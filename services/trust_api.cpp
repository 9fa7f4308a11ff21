#include "services/trust_api.h"

#include "services/scoped_handles.h"
#include "services/system_dll.h"

const TrustApi* LoadTrustApi() {
  static TrustApi api;
  static bool attempted = false;
  static bool complete = false;
  if (!attempted) {
    attempted = true;
    HMODULE wintrust = LoadSystemDll("wintrust.dll");
    HMODULE crypt32 = LoadSystemDll("crypt32.dll");
    complete = wintrust != nullptr && crypt32 != nullptr &&
               ResolveExport(wintrust, "WinVerifyTrust", &api.WinVerifyTrust) &&
               ResolveExport(wintrust, "WTHelperProvDataFromStateData",
                             &api.WTHelperProvDataFromStateData) &&
               ResolveExport(wintrust, "WTHelperGetProvSignerFromChain",
                             &api.WTHelperGetProvSignerFromChain) &&
               ResolveExport(wintrust, "WTHelperGetProvCertFromChain",
                             &api.WTHelperGetProvCertFromChain) &&
               ResolveExport(crypt32, "CryptHashPublicKeyInfo", &api.CryptHashPublicKeyInfo);
  }
  return complete ? &api : nullptr;
}

void CloseTrustState(WINTRUST_DATA* verification) {
  verification->dwStateAction = WTD_STATEACTION_CLOSE;
  LoadTrustApi()->WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &kGenericVerifyV2,
                                 verification);
}
