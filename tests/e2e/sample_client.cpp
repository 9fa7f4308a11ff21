// A stand-in game client for the demo's download server. The launcher only
// downloads it and links to it; it never starts it.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  MessageBoxA(nullptr, "The sample client is installed.", "Orvinta", MB_OK);
  return 0;
}
