// A hostile wininet.dll, as a web page could drop it into a Downloads folder:
// when loaded it leaves C:\planted_wininet_loaded.txt behind.
#include <windows.h>

extern "C" __declspec(dllexport) void* __stdcall InternetOpenA(const char*, unsigned long,
                                                               const char*, const char*,
                                                               unsigned long) {
  return nullptr;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    HANDLE marker = CreateFileA("C:\\planted_wininet_loaded.txt", GENERIC_WRITE, 0, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
  }
  return TRUE;
}
