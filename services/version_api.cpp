#include "services/version_api.h"

#include "services/system_dll.h"

const VersionApi* LoadVersionApi() {
  static VersionApi api;
  static bool attempted = false;
  static bool complete = false;
  if (!attempted) {
    attempted = true;
    HMODULE module = LoadSystemDll("version.dll");
    complete = module != nullptr &&
               ResolveExport(module, "GetFileVersionInfoSizeExW", &api.GetFileVersionInfoSizeExW) &&
               ResolveExport(module, "GetFileVersionInfoExW", &api.GetFileVersionInfoExW) &&
               ResolveExport(module, "VerQueryValueW", &api.VerQueryValueW);
  }
  return complete ? &api : nullptr;
}
