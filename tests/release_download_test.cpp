#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <tuple>

#include "tests/download_fixture.h"

// The signed build's download: only the publisher's current program of its
// name is kept, downloaded or revalidated.

namespace {

// A signed build keeps a download only when it is the publisher's current
// program of its name: signed by a pinned key, named as it is kept, at or
// above the floor, and no older than the verified file it replaces.
TEST_F(DownloadTest, WithPinsKeepsOnlyTheCurrentProgramOfItsName) {
  const std::string signed_file = ReadFileBytes(TestKeyFile("updater.pinned.exe"));  // 1.2
  ASSERT_GT(signed_file.size(), 8000u);
  const std::string newer = ReadFileBytes(TestKeyFile("updater-1.10.pinned.exe"));
  std::string changed = signed_file;
  changed[1500] = static_cast<char>(changed[1500] ^ 0x01);  // In the code, after signing.
  // Chunked and closed before the last chunk: WinINet reports a normal end.
  const std::string cut = kChunkedHead + Chunk(signed_file.substr(0, signed_file.size() - 3000));
  const std::string pinned = Pin("pinned");
  const std::string other = Pin("other");
  ASSERT_EQ(pinned.size(), 64u);
  ASSERT_NE(pinned, other);
  const std::string half_pin = pinned.substr(0, 32) + other.substr(32);
  const std::string unsigned_program = ReadFileBytes(TestKeyFile("..\\e2e\\recording_updater.exe"));
  const FileVersion floor_1_3 = MakeFileVersion(1, 3, 0, 0);
  auto served = [](const std::string& name) {
    return HttpAnswer(200, ReadFileBytes(TestKeyFile(name)));
  };
  struct Row {
    const char* what;
    ScriptedAnswer answer;
    std::string pins;
    DownloadResult expected;
    std::string previous = "previous updater";  // At the target before the download.
    FileVersion min_version = kAnyVersion;
  };
  const Row rows[] = {
      {"signed by the pinned key", HttpAnswer(200, signed_file), pinned,
       static_cast<DownloadResult>(signed_file.size())},
      {"pinned key second of two pins", HttpAnswer(200, signed_file), other + pinned,
       static_cast<DownloadResult>(signed_file.size())},
      {"a pin sharing only its first half with the signer's", HttpAnswer(200, signed_file),
       half_pin, kSignatureRefused},
      {"unsigned", HttpAnswer(200, unsigned_program), pinned, kSignatureRefused},
      {"1000 bytes of an unsigned program: shorter than its headers say",
       HttpAnswer(200, unsigned_program.substr(0, 1000)), pinned, kReadFailed},
      {"a page, refused before its signature is looked for",
       HttpAnswer(200, "<html>" + std::string(5000, 'e') + "</html>"), pinned, kNotAProgram},
      {"a byte changed after signing", HttpAnswer(200, changed), pinned, kSignatureRefused},
      {"signed by another key of the same CA", served("updater.other.exe"), pinned,
       kSignatureRefused},
      {"cut short in a chunked body", {cut, false}, pinned, kReadFailed},
      {"the same version with other bytes", served("updater-rebuilt.pinned.exe"), pinned,
       static_cast<DownloadResult>(ReadFileBytes(TestKeyFile("updater-rebuilt.pinned.exe")).size()),
       signed_file},
      {"1.10 over 1.2", HttpAnswer(200, newer), pinned, static_cast<DownloadResult>(newer.size()),
       signed_file},
      {"OriginalFilename in another case", served("updater-uppercase.pinned.exe"), pinned,
       static_cast<DownloadResult>(
           ReadFileBytes(TestKeyFile("updater-uppercase.pinned.exe")).size())},
      {"OriginalFilename of the first language listed, not of the second",
       served("updater-second_language.pinned.exe"), pinned,
       static_cast<DownloadResult>(
           ReadFileBytes(TestKeyFile("updater-second_language.pinned.exe")).size())},
      {"no version resource", served("updater-unversioned.pinned.exe"), pinned, kWrongProgram},
      {"OriginalFilename updater.exe.old", served("updater-old_name.pinned.exe"), pinned,
       kWrongProgram},
      {"unsigned, over 2 MiB", served("..\\e2e\\updater_large.exe"), pinned, kSignatureRefused},
      {"signed, over 2 MiB", served("updater-large.pinned.exe"), pinned,
       static_cast<DownloadResult>(ReadFileBytes(TestKeyFile("updater-large.pinned.exe")).size())},
      {"the client served as the updater", served("client.pinned.exe"), pinned, kWrongProgram},
      {"below the floor", HttpAnswer(200, signed_file), pinned, kWrongProgram, "previous updater",
       floor_1_3},
      {"older than the verified updater on disk", HttpAnswer(200, signed_file), pinned,
       kInstalledIsNewer, newer},
      {"1.2.0.0 over a verified 1.2.0.1: older in the last part", HttpAnswer(200, signed_file),
       pinned, kInstalledIsNewer, ReadFileBytes(TestKeyFile("updater-1.2.0.1.pinned.exe"))},
      {"an unsigned updater on disk claiming 99.0 holds nothing back", HttpAnswer(200, signed_file),
       pinned, static_cast<DownloadResult>(signed_file.size()),
       ReadFileBytes(TestKeyFile("..\\e2e\\updater_99_unsigned.exe"))},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    PlacePreviousFile(row.previous);
    ScriptedHttpServer server({row.answer});
    EXPECT_EQ(DownloadReleaseToFile(server.Url("/client/tmp_updater.bin").c_str(), target_.c_str(),
                                    {}, row.pins.c_str(), row.min_version, kTestLimits, &report_),
              row.expected);
    if (row.expected < 0) {
      ExpectPreviousFileAlone(row.previous);
    } else {
      const std::string sent = row.answer.bytes.substr(row.answer.bytes.size() - row.expected);
      EXPECT_TRUE(ReadFileBytes(target_) == sent) << "the kept file is not what was sent";
      EXPECT_EQ(folder_.Entries(), std::vector<std::string>{"updater.exe"});
    }
  }
}

// A signed build checks a revalidated file by the same rules as a download,
// so that a launcher with other pins or a higher floor never hands off to a
// kept file it would refuse; a refused one stays as it is.
TEST_F(DownloadTest, WithPinsARevalidatedFileMeetsTheSameRules) {
  const std::string pinned_file = ReadFileBytes(TestKeyFile("updater.pinned.exe"));  // 1.2
  struct Row {
    const char* what;
    std::string kept;
    FileVersion min_version;
    DownloadResult expected;
  };
  const Row rows[] = {
      {"signed by the pinned key", pinned_file, kAnyVersion,
       static_cast<DownloadResult>(pinned_file.size())},
      {"signed by another key", ReadFileBytes(TestKeyFile("updater.other.exe")), kAnyVersion,
       kSignatureRefused},
      {"below the floor", pinned_file, MakeFileVersion(1, 3, 0, 0), kWrongProgram},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    PlacePreviousFile(row.kept);
    ScriptedHttpServer server({ScriptedAnswer("HTTP/1.1 304 Not Modified\r\nETag: \"1\"\r\n\r\n")});
    EXPECT_EQ(DownloadReleaseToFile(server.Url("/client/tmp_updater.bin").c_str(), target_.c_str(),
                                    "If-None-Match: \"1\"\r\n", Pin("pinned").c_str(),
                                    row.min_version, kTestLimits, &report_),
              row.expected);
    ExpectPreviousFileAlone(row.kept);
  }
}

}  // namespace
