#include <cstring>

#include "launcher/install_layout.h"
#include "launcher/service_operations.h"
#include "services/scoped_handles.h"

namespace {

// Every key is opened and created for reading and writing, in the registry
// view the platform gives this 32-bit process.
constexpr REGSAM kKeyAccess = KEY_READ | KEY_WRITE;

// The largest "INSTALL" value accepted, its terminating NUL included.
constexpr DWORD kInstallValueCapacity = 1024;

UniqueHkey OpenKey(HKEY root, const NarrowString& subkey) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, subkey.c_str(), 0, kKeyAccess, &key) != ERROR_SUCCESS) return nullptr;
  return UniqueHkey(key);
}

}  // namespace

NarrowString ReadInstallPath() {
  UniqueHkey key = OpenKey(HKEY_LOCAL_MACHINE, kProductKey);
  if (key == nullptr) return NarrowString();
  NarrowString install_dir;
  install_dir.resize(kInstallValueCapacity);
  DWORD type = REG_NONE;
  DWORD size = kInstallValueCapacity;
  LONG status = RegQueryValueExA(key.get(), kInstallValueName, nullptr, &type,
                                 reinterpret_cast<BYTE*>(install_dir.data()), &size);
  bool accepted = status == ERROR_SUCCESS && (type == REG_SZ || type == REG_EXPAND_SZ) &&
                  (size == 0 || install_dir.c_str()[size - 1] == '\0');
  if (!accepted) return NarrowString();
  // Stops at the first NUL: the data may hold an embedded one.
  install_dir.resize(size == 0 ? 0 : std::strlen(install_dir.c_str()));
  return install_dir;
}

void CreateRegistryKey(HKEY root, const NarrowString& subkey) {
  HKEY key = nullptr;
  DWORD disposition = 0;
  if (RegCreateKeyExA(root, subkey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, kKeyAccess,
                      nullptr, &key, &disposition) == ERROR_SUCCESS) {
    UniqueHkey created(key);  // Only the key's existence was wanted.
  }
}

bool WriteRegistryString(HKEY root, const NarrowString& subkey, const NarrowString& value_name,
                         const NarrowString& data) {
  UniqueHkey key = OpenKey(root, subkey);
  if (key == nullptr) return false;
  return RegSetValueExA(key.get(), value_name.c_str(), 0, REG_SZ,
                        reinterpret_cast<const BYTE*>(data.c_str()),
                        static_cast<DWORD>(data.length()) + 1) == ERROR_SUCCESS;
}
