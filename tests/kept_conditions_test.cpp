#include <gtest/gtest.h>

#include <string>

#include "launcher/service_operations.h"
#include "tests/download_fixture.h"
#include "tests/registry_sandbox.h"
#include "tests/test_support.h"

namespace {

// The records live in the real HKLM of this test prefix: the CryptoAPI
// finds its providers there, so it cannot be redirected like the registry
// tests' keys. Each case starts and ends without the maker's key.
struct NoMakerKey {
  NoMakerKey() { RegDeleteTreeA(HKEY_LOCAL_MACHINE, "SOFTWARE\\ZORVIN TALLAMERE"); }
  ~NoMakerKey() { RegDeleteTreeA(HKEY_LOCAL_MACHINE, "SOFTWARE\\ZORVIN TALLAMERE"); }
};

const std::string kConditions = "If-None-Match: W/\"a1\"\r\n";
const std::string kRecordKey = "SOFTWARE\\ZORVIN TALLAMERE\\ORVINTA\\Validators";

// Conditions are sent only for the very bytes they came with: a file
// changed in one byte (same size), or gone, is asked for in full; so is one
// whose record was removed or never written, or belongs to another name.
TEST(KeptConditionsTest, ConditionsHoldOnlyForTheBytesTheyCameWith) {
  struct Row {
    const char* what;
    std::string kept_with;  // The file when its conditions were kept.
    std::string now;        // The file when they are read; "" for none.
    std::string kept;       // What was kept.
    const char* read_as;    // The name of the file read, in the same folder.
    std::string expected;
    bool hashed = true;  // Whether the download knew its body's SHA-256.
  };
  const std::string bytes = std::string(5000, 'u') + "updater";
  std::string changed = bytes;
  changed[100] = 'v';
  const Row rows[] = {
      {"the same bytes", bytes, bytes, kConditions, "updater.exe", kConditions},
      {"one byte changed", bytes, changed, kConditions, "updater.exe", ""},
      {"the file gone", bytes, "", kConditions, "updater.exe", ""},
      {"an answer without validators", bytes, bytes, "", "updater.exe", ""},
      {"another file's record", bytes, bytes, kConditions, "orvinta.exe", ""},
      {"a body whose hash failed", bytes, bytes, kConditions, "updater.exe", "", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    NoMakerKey clean;
    ScratchFolder folder;
    const std::string file = folder.Child("updater.exe");
    WriteFileBytes(file, row.kept_with);
    const BodyDigest digest = DigestOf(row.kept_with);          // As its download computed it.
    KeepConditions(file.c_str(), kConditions.c_str(), digest);  // An earlier answer's.
    KeepConditions(file.c_str(), row.kept.c_str(), row.hashed ? digest : BodyDigest());
    const std::string read = folder.Child(row.read_as);
    if (!row.now.empty()) WriteFileBytes(read, row.now);
    if (row.now.empty()) DeleteFileA(file.c_str());
    EXPECT_EQ(Text(ReadKeptConditions(read.c_str())), row.expected);
    // Stored under the product key, in the view and root the launcher uses.
    EXPECT_EQ(ReadRegistryValue(HKEY_LOCAL_MACHINE, kRecordKey, "updater.exe").type,
              row.kept.empty() || !row.hashed ? static_cast<DWORD>(REG_NONE)
                                              : static_cast<DWORD>(REG_BINARY));
  }
}

// Without a validator nothing is made: a failed first install leaves no key.
TEST(KeptConditionsTest, NothingToKeepCreatesNoKey) {
  NoMakerKey clean;
  ScratchFolder folder;
  WriteFileBytes(folder.Child("orvinta.exe"), "client");
  KeepConditions(folder.Child("orvinta.exe").c_str(), "", DigestOf("client"));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, "SOFTWARE\\ZORVIN TALLAMERE"));
}

}  // namespace
