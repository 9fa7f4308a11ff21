// Prints where one System32-only loader (the argument: wininet, trust or
// version) took its DLLs from, one line "<dll> <module path>" ("<dll>
// missing" when the loader failed), after a line "system <System32 path>".
// With "plain" it loads each name with a plain LoadLibraryA instead: the
// control, which takes a planted copy. It imports only kernel32 and msvcrt,
// and runs one loader a process, so that no other load (a system DLL's own
// imports among them) brings in one of these DLLs before its loader does.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "services/trust_api.h"
#include "services/version_api.h"
#include "services/wininet_api.h"

namespace {

void PrintModuleOf(const char* dll, const void* function) {
  HMODULE module = nullptr;
  char path[MAX_PATH] = "missing";
  if (function != nullptr && GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                                    GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                                static_cast<LPCSTR>(function), &module)) {
    GetModuleFileNameA(module, path, MAX_PATH);
  }
  std::printf("%s %s\n", dll, path);
}

template <typename Function>
const void* Address(Function function) {
  return reinterpret_cast<const void*>(function);
}

}  // namespace

int main(int argc, char** argv) {
  char system[MAX_PATH] = {};
  GetSystemDirectoryA(system, MAX_PATH);
  std::printf("system %s\n", system);
  const char* dlls[] = {"wininet.dll", "wintrust.dll", "crypt32.dll", "version.dll"};
  if (argc > 1 && std::strcmp(argv[1], "plain") == 0) {
    for (const char* dll : dlls) {
      HMODULE module = LoadLibraryA(dll);
      char path[MAX_PATH] = "missing";
      if (module != nullptr) GetModuleFileNameA(module, path, MAX_PATH);
      std::printf("%s %s\n", dll, path);
    }
    return 0;
  }
  const char* loader = argc > 1 ? argv[1] : "";
  if (std::strcmp(loader, "wininet") == 0) {
    const WinInetApi* wininet = LoadWinInet();
    PrintModuleOf(dlls[0], wininet == nullptr ? nullptr : Address(wininet->InternetOpenA));
  } else if (std::strcmp(loader, "trust") == 0) {
    const TrustApi* trust = LoadTrustApi();
    PrintModuleOf(dlls[1], trust == nullptr ? nullptr : Address(trust->WinVerifyTrust));
    PrintModuleOf(dlls[2], trust == nullptr ? nullptr : Address(trust->CryptHashPublicKeyInfo));
  } else if (std::strcmp(loader, "version") == 0) {
    const VersionApi* version = LoadVersionApi();
    PrintModuleOf(dlls[3], version == nullptr ? nullptr : Address(version->GetFileVersionInfoExW));
  } else {
    return 2;
  }
  return 0;
}
