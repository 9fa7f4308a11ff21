#pragma once

#include <windows.h>
#include <wininet.h>

// The WinINet functions the download uses, from System32's wininet.dll
// (see services/system_dll.h for why it is never imported).
struct WinInetApi {
  decltype(&::InternetOpenA) InternetOpenA;
  decltype(&::InternetSetStatusCallbackA) InternetSetStatusCallbackA;
  decltype(&::InternetOpenUrlA) InternetOpenUrlA;
  decltype(&::HttpQueryInfoA) HttpQueryInfoA;
  decltype(&::InternetQueryOptionA) InternetQueryOptionA;
  decltype(&::InternetSetOptionA) InternetSetOptionA;
  decltype(&::InternetReadFileExA) InternetReadFileExA;
  decltype(&::InternetCloseHandle) InternetCloseHandle;
};

// Returns the functions of System32's wininet.dll, or null when the DLL or
// one of the functions is missing. Loads the DLL on the first call only.
const WinInetApi* LoadWinInet();
