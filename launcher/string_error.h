#pragma once

#include <windows.h>

// The one exception of the program: a string operation (joining, conversion,
// allocation) that cannot complete. Nothing in the launcher catches it, so it
// ends the process abnormally instead of pretending a path was built.
struct StringError {
  HRESULT code;  // E_OUTOFMEMORY, E_INVALIDARG or E_FAIL.
};

// Throws StringError{code}. Never returns.
[[noreturn]] void RaiseStringError(HRESULT code);
