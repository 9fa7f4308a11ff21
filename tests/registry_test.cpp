#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include <random>
#include <string>

#include "launcher/service_operations.h"
#include "tests/registry_sandbox.h"
#include "tests/test_support.h"

namespace {

const std::string kProductKey = "SOFTWARE\\ZORVIN TALLAMERE\\ORVINTA";

class RegistryStoreTest : public ::testing::Test {
 protected:
  void StoreInstall(DWORD type, const std::string& bytes) {
    StoreRegistryValue(HKEY_LOCAL_MACHINE, kProductKey, "INSTALL", type, bytes);
  }
  RegistrySandbox sandbox_;
};

TEST_F(RegistryStoreTest, NothingRecordedReadsEmpty) {
  EXPECT_TRUE(ReadInstallPath().empty());
  StoreRegistryValue(HKEY_LOCAL_MACHINE, kProductKey, "OTHER", REG_SZ, std::string("x\0", 2));
  EXPECT_TRUE(ReadInstallPath().empty());
}

TEST_F(RegistryStoreTest, StringValuesAreReadUpToTheirTerminator) {
  StoreInstall(REG_SZ, std::string("D:\\Games\\ORVINTA\0", 17));
  EXPECT_EQ(Text(ReadInstallPath()), "D:\\Games\\ORVINTA");
  // Environment references are taken literally.
  StoreInstall(REG_EXPAND_SZ, std::string("%TEMP%\\ORVINTA\0", 15));
  EXPECT_EQ(Text(ReadInstallPath()), "%TEMP%\\ORVINTA");
  StoreInstall(REG_SZ, std::string("D:\\A\0D:\\B\0", 10));
  EXPECT_EQ(Text(ReadInstallPath()), "D:\\A");
}

TEST_F(RegistryStoreTest, WrongTypesAndEmptyDataReadEmpty) {
  StoreInstall(REG_DWORD, std::string("\x01\x00\x00\x00", 4));
  EXPECT_TRUE(ReadInstallPath().empty());
  StoreInstall(REG_BINARY, std::string("D:\\X\0", 5));
  EXPECT_TRUE(ReadInstallPath().empty());
  StoreInstall(REG_SZ, std::string());
  EXPECT_TRUE(ReadInstallPath().empty());
}

TEST_F(RegistryStoreTest, AcceptsUpTo1024BytesEndingInNul) {
  std::string longest(1023, 'a');
  StoreInstall(REG_SZ, longest + '\0');
  EXPECT_EQ(Text(ReadInstallPath()), longest);
  StoreInstall(REG_SZ, longest + 'a' + '\0');  // 1025 bytes.
  EXPECT_TRUE(ReadInstallPath().empty());
}

TEST_F(RegistryStoreTest, RefusesDataWithoutTerminator) {
  StoreInstall(REG_SZ, "D:\\Games\\ORVINTA");
  ASSERT_EQ(ReadRegistryValue(HKEY_LOCAL_MACHINE, kProductKey, "INSTALL").bytes,
            "D:\\Games\\ORVINTA");  // Really stored without a NUL.
  EXPECT_TRUE(ReadInstallPath().empty());
}

TEST_F(RegistryStoreTest, WritesStringWithExactlyOneNul) {
  CreateRegistryKey(HKEY_CLASSES_ROOT, "orvinta\\shell\\open\\command");
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, "orvinta"));
  EXPECT_TRUE(WriteRegistryString(HKEY_CLASSES_ROOT, "orvinta\\shell\\open\\command", "",
                                  "\"C:\\x\\updater.exe\" \"%1\""));
  EXPECT_TRUE(WriteRegistryString(HKEY_CLASSES_ROOT, "orvinta", "URL protocol", ""));

  RegistryValue command = ReadRegistryValue(HKEY_CLASSES_ROOT, "orvinta\\shell\\open\\command", "");
  EXPECT_EQ(command.type, static_cast<DWORD>(REG_SZ));
  const char expected[] = "\"C:\\x\\updater.exe\" \"%1\"";
  EXPECT_EQ(command.bytes, std::string(expected, sizeof(expected)));  // With its one NUL.
  RegistryValue marker = ReadRegistryValue(HKEY_CLASSES_ROOT, "orvinta", "URL protocol");
  EXPECT_EQ(marker.type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(marker.bytes, std::string("\0", 1));
}

TEST_F(RegistryStoreTest, WrittenInstallPathReadsBack) {
  CreateRegistryKey(HKEY_LOCAL_MACHINE, kProductKey.c_str());
  EXPECT_TRUE(WriteRegistryString(HKEY_LOCAL_MACHINE, kProductKey.c_str(), "INSTALL",
                                  "C:\\Program Files (x86)\\ZORVIN TALLAMERE\\ORVINTA"));
  EXPECT_EQ(Text(ReadInstallPath()), "C:\\Program Files (x86)\\ZORVIN TALLAMERE\\ORVINTA");
}

TEST_F(RegistryStoreTest, WriteToMissingKeyFailsAndCreatesNothing) {
  EXPECT_FALSE(WriteRegistryString(HKEY_CLASSES_ROOT, "orvinta", "URL protocol", ""));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, "orvinta"));
}

// Gives the key `subkey` of HKLM the access list `sddl` (the owner may
// always change it back).
bool SetKeyAccess(const std::string& subkey, const char* sddl) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, WRITE_DAC, &key) != ERROR_SUCCESS) {
    return false;
  }
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  bool set = ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1,
                                                                  &descriptor, nullptr) &&
             RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor) == ERROR_SUCCESS;
  LocalFree(descriptor);
  RegCloseKey(key);
  return set;
}

// A product key this process may read but not write (locked by an
// administrator, say) is no install: every key is opened for both, so the
// run installs afresh rather than register into a key it cannot write.
TEST_F(RegistryStoreTest, ProductKeyThatCannotBeWrittenReadsEmpty) {
  StoreInstall(REG_SZ, std::string("D:\\Games\\ORVINTA\0", 17));
  ASSERT_TRUE(SetKeyAccess(kProductKey, "D:P(A;;KR;;;WD)"));
  EXPECT_TRUE(ReadInstallPath().empty());
  ASSERT_TRUE(SetKeyAccess(kProductKey, "D:P(A;;KA;;;WD)"));
  EXPECT_EQ(Text(ReadInstallPath()), "D:\\Games\\ORVINTA");
}

TEST(RegistrySandboxTest, LeavesNoKeysBehind) {
  std::string root;
  {
    RegistrySandbox sandbox;
    root = sandbox.root();
    CreateRegistryKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\ZORVIN TALLAMERE\\ORVINTA");
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, root + "\\HKLM\\SOFTWARE\\ZORVIN TALLAMERE"));
  }
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, root));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, "SOFTWARE\\ZORVIN TALLAMERE"));
}

}  // namespace

namespace {

// Seeded, bounded fuzzing: whatever a value holds, ReadInstallPath returns
// either nothing or the bytes before the first NUL of an acceptable value.
TEST_F(RegistryStoreTest, FuzzedValuesReadEmptyOrUpToFirstNul) {
  std::mt19937 random(20261208);
  const DWORD types[] = {REG_NONE,  REG_SZ,       REG_EXPAND_SZ, REG_BINARY,
                         REG_DWORD, REG_MULTI_SZ, REG_QWORD,     0x7FFF};
  for (int round = 0; round < 1500; ++round) {
    DWORD type = types[random() % (sizeof(types) / sizeof(types[0]))];
    // Sizes cluster around the 1024-byte limit, where mistakes hide.
    size_t size = random() % 3 == 0 ? 1020 + random() % 8 : random() % 1100;
    std::string bytes(size, '\0');
    for (char& byte : bytes) byte = random() % 4 == 0 ? '\0' : static_cast<char>(random() % 256);
    StoreInstall(type, bytes);

    // Judge by what the registry really holds for an ANSI reader: it may
    // convert string data through the code page.
    RegistryValue stored = ReadRegistryValue(HKEY_LOCAL_MACHINE, kProductKey, "INSTALL");
    bool acceptable = (stored.type == REG_SZ || stored.type == REG_EXPAND_SZ) &&
                      stored.bytes.size() <= 1024 &&
                      (stored.bytes.empty() || stored.bytes.back() == '\0');
    std::string expected = acceptable ? stored.bytes.substr(0, stored.bytes.find('\0')) : "";
    ASSERT_EQ(Text(ReadInstallPath()), expected)
        << "round " << round << ", type " << type << ", size " << size;
  }
}

}  // namespace
