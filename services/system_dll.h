#pragma once

#include <windows.h>

// Loading of the system DLLs the launcher uses that are not KnownDLLs
// (wininet, wintrust, crypt32, version). A load-time import would take a DLL of that
// name planted beside the launcher (typically a Downloads folder that any web
// page can write into), so each is loaded from System32 only, on first use,
// and never imported. Each stays loaded for the process's life, as an
// imported DLL would.

// The System32 copy of `name`, or null when it cannot be loaded.
inline HMODULE LoadSystemDll(const char* name) {
  return LoadLibraryExA(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

// Sets `*function` to the export `name` of `module`; false when it is missing.
template <typename Function>
bool ResolveExport(HMODULE module, const char* name, Function* function) {
  FARPROC address = GetProcAddress(module, name);
  *function = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
  return address != nullptr;
}
