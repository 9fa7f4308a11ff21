// A hostile system DLL, as a web page could drop it into a Downloads folder:
// built as wininet.dll and wintrust.dll (PLANTED_NAME), it leaves
// C:\planted_<name>_loaded.txt behind when loaded.
#include <windows.h>

extern "C" __declspec(dllexport) void* __stdcall InternetOpenA(const char*, unsigned long,
                                                               const char*, const char*,
                                                               unsigned long) {
  return nullptr;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    HANDLE marker = CreateFileA("C:\\planted_" PLANTED_NAME "_loaded.txt", GENERIC_WRITE, 0,
                                nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
  }
  return TRUE;
}
