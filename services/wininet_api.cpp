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
  }
  return complete ? &api : nullptr;
}

void CloseInternetHandle(HINTERNET handle) { LoadWinInet()->InternetCloseHandle(handle); }
