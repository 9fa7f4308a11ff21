#pragma once

#include <windows.h>
#include <winver.h>

// The version-resource functions the identity check uses, from System32's
// version.dll (see services/system_dll.h for why it is never imported).
struct VersionApi {
  decltype(&::GetFileVersionInfoSizeExW) GetFileVersionInfoSizeExW;
  decltype(&::GetFileVersionInfoExW) GetFileVersionInfoExW;
  decltype(&::VerQueryValueW) VerQueryValueW;
};

// Returns the functions, or null when the DLL or one of the functions is
// missing. Loads the DLL on the first call only.
const VersionApi* LoadVersionApi();
