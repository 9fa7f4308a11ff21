// Stands in for the real updater: records how it was started in
// "updater_started.txt" beside itself, one argument a line, then its
// directory and the environment's ORVINTA_E2E_MARK, then exits
// (built with LINGER_MS, that many milliseconds later, as a running updater).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#ifdef PADDING_BYTES
// Makes the image as large as a real updater; only its size matters.
volatile const unsigned char kPadding[PADDING_BYTES] = {1};
#endif

int main(int argc, char** argv) {
#ifdef PADDING_BYTES
  if (argc > 1000) return kPadding[argc];
#endif
  char module[MAX_PATH];
  DWORD length = GetModuleFileNameA(nullptr, module, MAX_PATH);
  std::string record(module, length);
  record = record.substr(0, record.find_last_of('\\')) + "\\updater_started.txt";
  FILE* file = std::fopen(record.c_str(), "wb");
  if (file == nullptr) return 2;
  std::fprintf(file, "argc=%d\n", argc);
  for (int i = 0; i < argc; ++i) std::fprintf(file, "argv[%d]=%s\n", i, argv[i]);
  // What it was started in: the directory and the environment it was given.
  char directory[MAX_PATH] = "";
  GetCurrentDirectoryA(MAX_PATH, directory);
  const char* mark = std::getenv("ORVINTA_E2E_MARK");
  std::fprintf(file, "cwd=%s\nmark=%s\n", directory, mark != nullptr ? mark : "");
  std::fclose(file);
#ifdef LINGER_MS
  Sleep(LINGER_MS);
#endif
  return 0;
}
