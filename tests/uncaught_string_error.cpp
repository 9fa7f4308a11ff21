// A GUI program built like the launcher whose string operation fails with
// nothing to catch it: the process must end abnormally and silently.
#include <windows.h>

#include "launcher/strings.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  NarrowString().resize(0x80000000u);  // Past INT32_MAX: raises E_INVALIDARG.
  return 1;
}
