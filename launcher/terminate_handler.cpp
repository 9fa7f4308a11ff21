#include <windows.h>

// Stands in for the runtime's default terminate handler, which prints the
// uncaught exception's demangled type (dragging the whole demangler into the
// program) and then calls abort(), whose runtime shows a message box in a GUI
// program. An uncaught StringError must end the process abnormally and
// silently: exit code 3, as abort() gives, with no exit path run.
namespace __gnu_cxx {
void __verbose_terminate_handler() { TerminateProcess(GetCurrentProcess(), 3); }
}  // namespace __gnu_cxx
