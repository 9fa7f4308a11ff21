#include <shobjidl.h>

#include "launcher/service_operations.h"
#include "services/scoped_handles.h"

bool InitializeCom() { return SUCCEEDED(CoInitialize(nullptr)); }

void UninitializeCom() { CoUninitialize(); }

NarrowString GetKnownFolderPath(REFKNOWNFOLDERID folder) {
  PWSTR raw_path = nullptr;
  // The status is not needed: the shell leaves the path null on failure.
  SHGetKnownFolderPath(folder, 0, nullptr, &raw_path);
  UniqueCoTaskMemString path(raw_path);
  return ToNarrow(path.get());
}

void CreateDesktopShortcut(const NarrowString& target_path, const NarrowString& shortcut_path) {
  WideString wide_target = ToWide(target_path);
  WideString wide_shortcut = ToWide(shortcut_path);
  IShellLinkW* raw_link = nullptr;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                              reinterpret_cast<void**>(&raw_link)))) {
    return;
  }
  ComPtr<IShellLinkW> link(raw_link);
  link->SetPath(wide_target.get());
  link->SetArguments(L"");
  link->SetDescription(L"");
  IPersistFile* raw_file = nullptr;
  if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&raw_file)))) {
    ComPtr<IPersistFile> file(raw_file);
    file->Save(wide_shortcut.get(), TRUE);
  }
}
