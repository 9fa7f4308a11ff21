// The control for the planting test: a program that imports wininet at load
// time, as the launcher must not. Run beside the planted DLL, it loads it.
#include <windows.h>
#include <wininet.h>

int main() {
  HINTERNET session = InternetOpenA("probe", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
  return session == nullptr ? 0 : 0;
}
