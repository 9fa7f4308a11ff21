#include <windows.h>

#include "launcher/run.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return RunLauncher(); }
