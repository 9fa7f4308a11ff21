#include "services/wininet_api.h"

#include "services/scoped_handles.h"

namespace {

template <typename Function>
bool Resolve(HMODULE module, const char* name, Function* function) {
  FARPROC address = GetProcAddress(module, name);
  *function = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
  return address != nullptr;
}

}  // namespace

const WinInetApi* LoadWinInet() {
  static WinInetApi api;
  static bool attempted = false;
  static bool complete = false;
  if (!attempted) {
    attempted = true;
    HMODULE module = LoadLibraryExA("wininet.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    complete = module != nullptr && Resolve(module, "InternetOpenA", &api.InternetOpenA) &&
               Resolve(module, "InternetOpenUrlA", &api.InternetOpenUrlA) &&
               Resolve(module, "HttpQueryInfoA", &api.HttpQueryInfoA) &&
               Resolve(module, "InternetReadFile", &api.InternetReadFile) &&
               Resolve(module, "InternetCloseHandle", &api.InternetCloseHandle);
  }
  return complete ? &api : nullptr;
}

void CloseInternetHandle(HINTERNET handle) { LoadWinInet()->InternetCloseHandle(handle); }
