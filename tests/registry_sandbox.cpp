#include "tests/registry_sandbox.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

namespace {
constexpr char kCryptographyKey[] = "SOFTWARE\\Microsoft\\Cryptography";
}  // namespace

RegistrySandbox::RegistrySandbox() {
  static std::atomic<int> counter{0};
  root_ = "Software\\OrvintaLauncherTests\\" + std::to_string(GetCurrentProcessId()) + "-" +
          std::to_string(counter++);
  RegDeleteTreeA(HKEY_CURRENT_USER, root_.c_str());
  EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, (root_ + "\\HKLM").c_str(), 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &machine_, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, (root_ + "\\HKCR").c_str(), 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &classes_, nullptr),
            ERROR_SUCCESS);
  // The CryptoAPI finds its providers under HKLM: the sandbox gets a copy.
  HKEY cryptography = nullptr;
  EXPECT_EQ(RegCreateKeyExA(machine_, kCryptographyKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &cryptography, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(RegCopyTreeA(HKEY_LOCAL_MACHINE, kCryptographyKey, cryptography), ERROR_SUCCESS);
  RegCloseKey(cryptography);
  EXPECT_EQ(RegOverridePredefKey(HKEY_LOCAL_MACHINE, machine_), ERROR_SUCCESS);
  EXPECT_EQ(RegOverridePredefKey(HKEY_CLASSES_ROOT, classes_), ERROR_SUCCESS);
}

RegistrySandbox::~RegistrySandbox() {
  RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
  RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
  RegCloseKey(machine_);
  RegCloseKey(classes_);
  RegDeleteTreeA(HKEY_CURRENT_USER, root_.c_str());
  RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\OrvintaLauncherTests");  // Fails while others run.
}

bool KeyExists(HKEY root, const std::string& subkey) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, subkey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

RegistryValue ReadRegistryValue(HKEY root, const std::string& subkey, const std::string& name) {
  RegistryValue value;
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, subkey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return value;
  std::vector<char> buffer(4096);
  DWORD size = static_cast<DWORD>(buffer.size());
  DWORD type = REG_NONE;
  if (RegQueryValueExA(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()),
                       &size) == ERROR_SUCCESS) {
    value.type = type;
    value.bytes.assign(buffer.data(), size);
  }
  RegCloseKey(key);
  return value;
}

void StoreRegistryValue(HKEY root, const std::string& subkey, const std::string& name, DWORD type,
                        const std::string& bytes) {
  HKEY key = nullptr;
  ASSERT_EQ(
      RegCreateKeyExA(root, subkey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
      ERROR_SUCCESS);
  std::string buffer = bytes + "X";
  EXPECT_EQ(RegSetValueExA(key, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(buffer.data()),
                           static_cast<DWORD>(bytes.size())),
            ERROR_SUCCESS);
  RegCloseKey(key);
}
