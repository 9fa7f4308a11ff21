#pragma once

#include <windows.h>
#include <objbase.h>
#include <wininet.h>
#include <wincrypt.h>

#include <cstdio>
#include <memory>
#include <type_traits>

// One owning alias per kind of handle the services open, so that no return
// path can leak one. Each closes or releases what it holds when it goes out
// of scope; .release() hands ownership back for a checked close.

template <typename Handle, auto Close>
struct HandleCloser {
  void operator()(Handle handle) const { Close(handle); }
};

template <typename Handle, auto Close>
using UniqueHandle = std::unique_ptr<std::remove_pointer_t<Handle>, HandleCloser<Handle, Close>>;

// A registry key from RegOpenKeyExA or RegCreateKeyExA.
using UniqueHkey = UniqueHandle<HKEY, &RegCloseKey>;

// Closes a WinINet handle through the System32 wininet.dll the download
// service loaded (it is never imported at load time).
void CloseInternetHandle(HINTERNET handle);

// A WinINet session or request handle.
using UniqueInternet = UniqueHandle<HINTERNET, &CloseInternetHandle>;

// A kernel object handle (an event, say) from CreateEventA and the like.
using UniqueKernelHandle = UniqueHandle<HANDLE, &CloseHandle>;

// A C runtime stream from fopen.
using UniqueFile = UniqueHandle<FILE*, &std::fclose>;

// A string the shell allocated with CoTaskMemAlloc (e.g. a known-folder path).
using UniqueCoTaskMemString = UniqueHandle<PWSTR, &CoTaskMemFree>;

// A CryptoAPI provider or hash object: integer handles (0 for none), which
// std::unique_ptr cannot hold.
template <auto Release>
class UniqueCryptHandle {
 public:
  UniqueCryptHandle() = default;
  UniqueCryptHandle(const UniqueCryptHandle&) = delete;
  UniqueCryptHandle& operator=(const UniqueCryptHandle&) = delete;
  ~UniqueCryptHandle() {
    if (handle_ != 0) Release(handle_);
  }
  // Where the call that opens one stores it; one held before is released.
  ULONG_PTR* receive() {
    if (handle_ != 0) Release(handle_);
    handle_ = 0;
    return &handle_;
  }
  ULONG_PTR get() const { return handle_; }

 private:
  ULONG_PTR handle_ = 0;
};
inline BOOL WINAPI ReleaseCryptProvider(HCRYPTPROV provider) {
  return CryptReleaseContext(provider, 0);
}
using UniqueCryptProvider = UniqueCryptHandle<&ReleaseCryptProvider>;
using UniqueCryptHash = UniqueCryptHandle<&CryptDestroyHash>;

// A COM interface pointer; releases its one reference.
struct ComRelease {
  void operator()(IUnknown* object) const { object->Release(); }
};
template <typename Interface>
using ComPtr = std::unique_ptr<Interface, ComRelease>;
