#pragma once

#include <windows.h>
#include <wininet.h>

// The WinINet functions the download uses. WinINet is not a KnownDLL, so a
// load-time import would take any wininet.dll planted beside the launcher
// (typically a Downloads folder that any web page can write into); it is
// loaded from System32 only, on first use, and never imported.
struct WinInetApi {
  decltype(&::InternetOpenA) InternetOpenA;
  decltype(&::InternetOpenUrlA) InternetOpenUrlA;
  decltype(&::HttpQueryInfoA) HttpQueryInfoA;
  decltype(&::InternetReadFile) InternetReadFile;
  decltype(&::InternetCloseHandle) InternetCloseHandle;
};

// Returns the functions of System32's wininet.dll, or null when the DLL or
// one of the functions is missing. Loads the DLL on the first call only; it
// then stays loaded for the process's life, as an imported DLL would.
const WinInetApi* LoadWinInet();
