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

// Connections the process may hold to one server or proxy: more than all
// a run's downloads' attempts, each given up on, and the one under way.
constexpr DWORD kConnectionsPerServer = 16;

// Returns the functions of System32's wininet.dll, or null when the DLL or
// one of the functions is missing. Loads the DLL on the first call only, and
// then raises the process's connection limits per server and per proxy to
// kConnectionsPerServer, so that requests given up on never hold back a
// later attempt.
const WinInetApi* LoadWinInet();
