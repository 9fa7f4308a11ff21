// A GUI program built like the launcher whose string operation fails: the
// process must end at once and silently, with E_INVALIDARG as its exit code.
#include <windows.h>

#include "launcher/strings.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  NarrowString().resize(0x80000000u);  // Past INT32_MAX: an impossible length.
  return 1;
}
