#include "services/wininet_api.h"

#include "services/scoped_handles.h"
#include "services/system_dll.h"

const WinInetApi* LoadWinInet() {
  static WinInetApi api;
  static bool attempted = false;
  static bool complete = false;
  if (!attempted) {
    attempted = true;
    HMODULE module = LoadSystemDll("wininet.dll");
    complete =
        module != nullptr && ResolveExport(module, "InternetOpenA", &api.InternetOpenA) &&
        ResolveExport(module, "InternetSetStatusCallbackA", &api.InternetSetStatusCallbackA) &&
        ResolveExport(module, "InternetOpenUrlA", &api.InternetOpenUrlA) &&
        ResolveExport(module, "HttpQueryInfoA", &api.HttpQueryInfoA) &&
        ResolveExport(module, "InternetQueryOptionA", &api.InternetQueryOptionA) &&
        ResolveExport(module, "InternetSetOptionA", &api.InternetSetOptionA) &&
        ResolveExport(module, "InternetReadFileExA", &api.InternetReadFileExA) &&
        ResolveExport(module, "InternetCloseHandle", &api.InternetCloseHandle);
    // Per process, and before the first connection: Windows counts a
    // request given up on against these limits (2 or 6 per server, 4 per
    // proxy, by default) for as long as the process runs.
    static constexpr DWORD kLimitOptions[] = {INTERNET_OPTION_MAX_CONNS_PER_SERVER,
                                              INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER,
                                              INTERNET_OPTION_MAX_CONNS_PER_PROXY};
    DWORD connections = kConnectionsPerServer;
    for (DWORD option : kLimitOptions) {
      if (!complete) break;
      api.InternetSetOptionA(nullptr, option, &connections, sizeof(connections));
    }
  }
  return complete ? &api : nullptr;
}

void CloseInternetHandle(HINTERNET handle) { LoadWinInet()->InternetCloseHandle(handle); }
