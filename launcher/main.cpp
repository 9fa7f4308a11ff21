#include <windows.h>

#include "launcher/run.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  // The launcher runs elevated from wherever it was downloaded to: no DLL may
  // ever be loaded from that folder, only from System32.
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  return RunLauncher();
}
