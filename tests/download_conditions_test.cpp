#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <tuple>

#include "tests/download_fixture.h"

// The conditions a download sends, and the ones its answer leaves for
// next time.

namespace {

// A repeat download asks with the conditions kept with its file, exactly as
// they were kept: a 304 to them keeps the file as it is and counts its size;
// a 304 to nothing, or with no file to keep, is no answer.
TEST_F(DownloadTest, ConditionsGoOutAsKeptAndA304KeepsTheFile) {
  const std::string last_modified = "If-Modified-Since: Tue, 08 Dec 2026 10:00:00 GMT\r\n";
  const std::string both = "If-None-Match: W/\"67a-5f1\"\r\n" + last_modified;
  const ScriptedAnswer not_modified("HTTP/1.1 304 Not Modified\r\nETag: W/\"67a-5f1\"\r\n\r\n");
  struct Row {
    const char* what;
    std::string conditions;
    ScriptedAnswer answer;
    bool file_there;
    DownloadResult expected;
  };
  const Row rows[] = {
      {"a 304 to a weak ETag and a date", both, not_modified, true, 16},
      {"a 304 to a date alone", last_modified, not_modified, true, 16},
      {"a changed file: its new body", both, HttpAnswer(200, kNew), true, 300},
      {"a 304 with no file to keep", both, not_modified, false, kRequestFailed},
      {"a 304 to no condition", "", not_modified, true, kRequestFailed},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    if (row.file_there) {
      PlacePreviousFile();
    } else {
      DeleteFileA(target_.c_str());
    }
    ScriptedHttpServer server({row.answer});
    EXPECT_EQ(DownloadToFile(server.Url("/client/tmp_updater.bin").c_str(), target_.c_str(),
                             row.conditions.c_str(), kTestLimits, &report_),
              row.expected);
    EXPECT_EQ(report_.revalidated, row.expected == 16);
    ASSERT_EQ(server.Requests().size(), 1u);
    const std::string head = server.Requests()[0];
    if (row.conditions.empty()) {
      EXPECT_EQ(head.find("If-"), std::string::npos) << head;
    } else {
      EXPECT_NE(head.find("\r\n" + row.conditions), std::string::npos) << head;
    }
    if (row.expected == 300) {
      EXPECT_TRUE(ReadFileBytes(target_) == kNew);
    } else if (row.file_there) {
      ExpectPreviousFileAlone();
    } else {
      EXPECT_TRUE(folder_.Entries().empty());
    }
  }
  // A body broken off with no strong validator, then a 304 to the
  // conditions sent again: the file is kept, and what had arrived is gone.
  {
    SCOPED_TRACE("a body broken off, then a 304");
    PlacePreviousFile();
    const std::string broken =
        "HTTP/1.1 200 OK\r\nETag: W/\"2\"\r\nContent-Length: 10000\r\n\r\n" + Body(5000);
    ScriptedHttpServer twice({{broken, true, {{broken.size(), 300}}}, not_modified});
    EXPECT_EQ(DownloadToFile(twice.Url("/client/tmp_updater.bin").c_str(), target_.c_str(),
                             both.c_str(), kTestLimits, &report_),
              16);
    EXPECT_TRUE(report_.revalidated);
    EXPECT_FALSE(report_.digest.known);  // Nothing new is kept with the file.
    ExpectPreviousFileAlone();
    // The next body, after another broken off: its own bytes alone.
    ScriptedHttpServer next(
        {{broken, true, {{broken.size(), 300}}},
         ScriptedAnswer("HTTP/1.1 200 OK\r\nETag: \"3\"\r\nContent-Length: 300\r\n\r\n" + kNew)});
    EXPECT_EQ(DownloadToFile(next.Url("/client/tmp_updater.bin").c_str(), target_.c_str(),
                             both.c_str(), kTestLimits, &report_),
              300);
    EXPECT_TRUE(IsDigestOf(report_.digest, kNew));
  }
  // A kept file one byte past what a download can count (sparse, so it
  // costs no disk) is no answer rather than a wrapped, negative size.
  SCOPED_TRACE("a 304 for a kept file past the largest download");
  HANDLE file = CreateFileA(target_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  LARGE_INTEGER end;
  end.QuadPart = std::int64_t{kLargestDownload} + 1;
  EXPECT_TRUE(SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file));
  CloseHandle(file);
  ScriptedHttpServer server({not_modified});
  EXPECT_EQ(DownloadToFile(server.Url("/client/tmp_updater.bin").c_str(), target_.c_str(),
                           both.c_str(), kTestLimits, &report_),
            kRequestFailed);
  EXPECT_FALSE(report_.revalidated);
  EXPECT_EQ(report_.end, DownloadEnd::kBadStatus);
  DeleteFileA(target_.c_str());
}

// What a kept body is asked for with next time: its answer's validators as
// they came, weak ones too; none when there is none, or only one that
// cannot be sent back: too long, or holding a byte that could end or bend
// the header line it goes back in.
TEST_F(DownloadTest, AnswerValidatorsBecomeTheNextConditions) {
  const std::string date = "Tue, 08 Dec 2026 10:00:00 GMT";
  // 511 bytes of value: the longest kept (512 with the NUL WinINet adds).
  const std::string longest = "\"" + std::string(509, 'a') + "\"";
  const std::pair<std::string, std::string> rows[] = {
      {"ETag: \"abc\"\r\nLast-Modified: " + date + "\r\n",
       "If-None-Match: \"abc\"\r\nIf-Modified-Since: " + date + "\r\n"},
      {"ETag: W/\"abc\"\r\n", "If-None-Match: W/\"abc\"\r\n"},
      {"Last-Modified: " + date + "\r\n", "If-Modified-Since: " + date + "\r\n"},
      {"", ""},
      {"ETag: \"" + std::string(600, 'a') + "\"\r\n", ""},
      {"ETag: " + longest + "\r\n", "If-None-Match: " + longest + "\r\n"},
      {"ETag: " + longest.substr(0, 1) + "a" + longest.substr(1) + "\r\n", ""},
      {"ETag: \"a\x01b\"\r\nLast-Modified: " + date + "\r\n",
       "If-Modified-Since: " + date + "\r\n"},
      {"ETag: \"a\tb\"\r\n", ""},
      {"ETag: \"abc\"\r\nLast-Modified: Tue, 08 Dec\x01 2026 10:00:00 GMT\r\n",
       "If-None-Match: \"abc\"\r\n"},
  };
  for (const auto& [headers, conditions] : rows) {
    SCOPED_TRACE(headers);
    ScriptedHttpServer server(
        {ScriptedAnswer("HTTP/1.1 200 OK\r\nContent-Length: 300\r\n" + headers + "\r\n" + kNew)});
    EXPECT_EQ(Download(server), 300);
    EXPECT_EQ(Text(report_.conditions), conditions);
  }
}

}  // namespace
