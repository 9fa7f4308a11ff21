#pragma once

#include <windows.h>

#include <string>

// Redirects HKEY_LOCAL_MACHINE and HKEY_CLASSES_ROOT of this process into
// fresh scratch keys under HKEY_CURRENT_USER, and deletes them afterwards, so
// tests write the real registry without leaving anything behind. The
// CryptoAPI's keys are copied in, so that hashes and signatures still work.
class RegistrySandbox {
 public:
  RegistrySandbox();
  ~RegistrySandbox();
  RegistrySandbox(const RegistrySandbox&) = delete;
  RegistrySandbox& operator=(const RegistrySandbox&) = delete;

  // The scratch key's path under HKEY_CURRENT_USER.
  const std::string& root() const { return root_; }

 private:
  std::string root_;
  HKEY machine_ = nullptr;
  HKEY classes_ = nullptr;
};

// True when `subkey` exists under `root`.
bool KeyExists(HKEY root, const std::string& subkey);

// The raw type and bytes of a value; type REG_NONE and "<missing>" when absent.
struct RegistryValue {
  DWORD type = REG_NONE;
  std::string bytes = "<missing>";
};
RegistryValue ReadRegistryValue(HKEY root, const std::string& subkey, const std::string& name);

// Stores exactly `bytes` with `type`. The bytes are copied into a buffer whose
// following byte is not 0, so the system cannot add a terminator on its own.
void StoreRegistryValue(HKEY root, const std::string& subkey, const std::string& name, DWORD type,
                        const std::string& bytes);
