#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <string>
#include <tuple>

#include "services/file_in_place.h"
#include "tests/download_fixture.h"
#include "tests/recording_disk_calls.h"

// The download's attempts: what is tried again and when, what is kept as a
// program, and the final move into place.

namespace {

// Only what starts like a Windows program replaces one: an error page or a
// captive portal's served with 200, an empty body, or one whose PE header
// lies elsewhere, never does.
TEST_F(DownloadTest, BodyThatIsNoProgramNeverReplacesOne) {
  std::string elsewhere = Body(5000);
  elsewhere[0x3C] = 0x50;  // Points past "PE\0\0".
  std::string beyond = Body(5000);
  beyond.replace(0x3C, 4, std::string("\x88\x13\0\0", 4));  // 5000: past the end.
  const std::pair<const char*, std::string> rows[] = {
      {"an HTML page", "<html>" + std::string(5000, 'e') + "</html>"},
      {"an empty body", ""},
      {"MZ alone", "MZ"},
      {"M and no Z", std::string(Body(5000)).replace(1, 1, "X")},
      {"PE and a byte other than NUL", std::string(Body(5000)).replace(0x42, 1, "\x01")},
      {"PE, a NUL and a byte other than NUL", std::string(Body(5000)).replace(0x43, 1, "\x01")},
      {"MZ and a PE header elsewhere", elsewhere},
      {"MZ and a PE header past the end", beyond},
  };
  for (const auto& [what, body] : rows) {
    SCOPED_TRACE(what);
    ScriptedHttpServer server({HttpAnswer(200, body)});
    PlacePreviousFile();
    EXPECT_EQ(Download(server), kNotAProgram);
    EXPECT_EQ(report_.end, DownloadEnd::kNoPeImage);
    ASSERT_EQ(server.Requests().size(), 1u) << "refused, never retried";
    ExpectPreviousFileAlone();
  }
}

// What a retry sees, row by row: the n-th request gets the n-th answer.
// Only a failure another attempt may not meet is tried again, after 1 s,
// then 2 s, or as long as a Retry-After of at most 10 s asks.
TEST_F(DownloadTest, TransientFailuresAreTriedAgain) {
  const std::string body = Body(8000);
  const ScriptedAnswer whole = HttpAnswer(200, body);
  auto status = [](const std::string& line, const std::string& headers = "") {
    return ScriptedAnswer("HTTP/1.1 " + line + "\r\n" + headers + "Content-Length: 4\r\n\r\nbusy");
  };
  struct Row {
    const char* what;
    std::vector<ScriptedAnswer> answers;
    DownloadResult expected;
    size_t requests;
    int least_ms;  // The waits the row must have made.
    int most_ms;
  };
  const Row rows[] = {
      {"a 503, then the file", {status("503 Busy"), whole}, 8000, 2, 1000, 4000},
      {"a 408, then the file", {status("408 Timeout"), whole}, 8000, 2, 1000, 4000},
      {"a 429 asking for 2 s, then the file",
       {status("429 Slow down", "Retry-After: 2\r\n"), whole},
       8000,
       2,
       2000,
       5000},
      {"a Retry-After as a date waits as if none",
       {status("503 Busy", "Retry-After: Fri, 31 Dec 2027 23:59:59 GMT\r\n"), whole},
       8000,
       2,
       1000,
       4000},
      {"always a 503: three requests, 1 s and 2 s apart",
       {status("503 Busy")},
       kRequestFailed,
       3,
       3000,
       6000},
      {"a 503 asking for an hour: not tried again",
       {status("503 Busy", "Retry-After: 3600\r\n"), whole},
       kRequestFailed,
       1,
       0,
       1500},
      {"a Retry-After of 0: at once",
       {status("503 Busy", "Retry-After: 0\r\n"), whole},
       8000,
       2,
       0,
       900},
      {"a Retry-After of 10 s: the waits reach 10 s, not past",
       {status("503 Busy", "Retry-After: 10\r\n"), whole},
       8000,
       2,
       10000,
       13000},
      {"two waits of 6 s would pass 10 s",
       {status("503 Busy", "Retry-After: 6\r\n"), status("503 Busy", "Retry-After: 6\r\n"), whole},
       kRequestFailed,
       2,
       6000,
       9000},
      {"a 404: one request", {status("404 Gone"), whole}, kRequestFailed, 1, 0, 1500},
      {"a 416 to no range: one request", {status("416 No"), whole}, kRequestFailed, 1, 0, 1500},
      // No connection at all: tried again at once, through the proxy
      // settings (none here: direct again).
      {"a reset before any answer, then the file", {{"", true}, whole}, 8000, 2, 0, 900},
      {"a close before any answer, then the file", {{"", false}, whole}, 8000, 2, 0, 900},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ScriptedHttpServer server(row.answers);
    PlacePreviousFile();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Download(server), row.expected);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(server.Requests().size(), row.requests);
    EXPECT_EQ(report_.retried_count, static_cast<int>(row.requests) - 1);
    EXPECT_GE(took, std::chrono::milliseconds(row.least_ms));
    EXPECT_LT(took, std::chrono::milliseconds(row.most_ms));
    if (row.expected > 0) {
      EXPECT_TRUE(ReadFileBytes(target_) == body) << "the kept file is not what was sent";
      EXPECT_EQ(folder_.Entries(), std::vector<std::string>{"updater.exe"});
    } else {
      ExpectPreviousFileAlone();
    }
  }
  // What was not waited for is reported, for the record.
  ScriptedHttpServer hour({status("503 Busy", "Retry-After: 3600\r\n")});
  EXPECT_EQ(Download(hour), kRequestFailed);
  EXPECT_EQ(report_.retry_after, 3600);
}

// What an earlier download moved aside goes with the next download of its
// file, failed or not, and nothing else ever does: no name of another form,
// and none while the file itself is missing (it may be the only copy).
TEST_F(DownloadTest, OnlyWhatWasMovedAsideIsRemovedAndOnlyBesideTheFile) {
  const std::vector<std::string> others = {"orvinta.exe.0.old", "updater.exe.0.bak",
                                           "updater.exe.10.old", "updater.exe.x.old"};
  for (const std::string& name : others) WriteFileBytes(folder_.Child(name), "other");
  for (const char* name : {"updater.exe.0.old", "updater.exe.9.old"}) {
    WriteFileBytes(folder_.Child(name), "moved aside");
  }
  // One moved aside read-only (an updater installed so) goes too.
  SetFileAttributesA(folder_.Child("updater.exe.9.old").c_str(), FILE_ATTRIBUTE_READONLY);
  ScriptedHttpServer server({HttpAnswer(404, "gone")});
  EXPECT_EQ(Download(server), kRequestFailed);
  EXPECT_EQ(folder_.Entries().size(), others.size() + 2) << "no updater.exe: all stay";
  PlacePreviousFile();
  EXPECT_EQ(Download(server), kRequestFailed);
  EXPECT_EQ(folder_.Entries(),
            (std::vector<std::string>{"orvinta.exe.0.old", "updater.exe", "updater.exe.0.bak",
                                      "updater.exe.10.old", "updater.exe.x.old"}));
}

// The file in use is moved aside only for the new one to take its place:
// when the new one cannot follow (here a folder that another process holds
// open), the old one is put back, and the move fails after the wait.
TEST_F(DownloadTest, FileMovedAsideIsPutBackWhenTheNewOneCannotFollow) {
  PlacePreviousFile();
  const std::string incoming = folder_.Child("incoming");
  ASSERT_TRUE(CreateDirectoryA(incoming.c_str(), nullptr));
  HANDLE held = CreateFileA(incoming.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_EQ(PutInPlace(incoming.c_str(), target_.c_str()), Placement::kFailed);
  CloseHandle(held);
  EXPECT_EQ(ReadFileBytes(target_), "previous updater");
  EXPECT_EQ(folder_.Entries(), (std::vector<std::string>{"incoming", "updater.exe"}));
}

TEST_F(DownloadTest, TargetThatCannotBeReplacedIsAWriteFailure) {
  // A folder where the file should go: the body arrives, the move cannot.
  ASSERT_TRUE(CreateDirectoryA(target_.c_str(), nullptr));
  ScriptedHttpServer server({HttpAnswer(200, Body(3000))});
  EXPECT_EQ(Download(server), kFileWriteFailed);
  EXPECT_TRUE(IsDirectory(target_));
  EXPECT_EQ(folder_.Entries(), std::vector<std::string>{"updater.exe"});  // No temporary file.
}

// A body is on disk before anything counts on it: each checkpoint is
// recorded only after the bytes it counts were flushed, and a kept file is
// flushed before it replaces the old one. A killed process's writes survive
// in the cache, and a power cut cannot be played here: the order shows it.
TEST_F(DownloadTest, BytesAreFlushedBeforeTheyAreCountedOrPlaced) {
  const std::string body = ProgramOf(3 << 20);
  const std::string etag = "ETag: \"v1\"\r\n";
  const std::string head =
      "HTTP/1.1 200 OK\r\n" + etag + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  // 2.5 MB in 256 KiB pieces 0.4 s apart, then a reset: at least two
  // checkpoints a second and a megabyte apart come before it.
  ScriptedAnswer broken = Paced(head + body.substr(0, 2500000), 256 * 1024, 0, 400);
  broken.reset = true;
  ScriptedAnswer rest("");
  rest.whole = body;
  rest.range_headers = etag;
  ScriptedHttpServer server({broken, rest});
  const std::string url = server.Url("/client/tmp_updater.bin");
  PlacePreviousFile();
  disk_calls.log.clear();
  ASSERT_EQ(DownloadToFile(url.c_str(), target_.c_str(), {}, kOneAttempt, &report_), kReadFailed);
  std::uint64_t flushed = 0;  // Before each flush: what earlier ones wrote out.
  int flushes = 0;
  for (const std::string& call : disk_calls.log) {
    if (call.rfind("flush ", 0) != 0) continue;  // The put-back looked for first.
    unsigned long long size = 0, record = 0;
    ASSERT_EQ(std::sscanf(call.c_str(), "flush %llu (record at %llu)", &size, &record), 2) << call;
    EXPECT_LE(record, flushed) << call;
    flushed = size;
    ++flushes;
  }
  EXPECT_GE(flushes, 3) << "a checkpoint each second and megabyte, and one at the break";
  EXPECT_EQ(flushed, report_.received);
  EXPECT_EQ(report_.partial_kept, report_.received);
  disk_calls.log.clear();
  EXPECT_EQ(DownloadToFile(url.c_str(), target_.c_str(), {}, kTestLimits, &report_),
            static_cast<DownloadResult>(body.size()));
  const std::vector<std::string> tail = {
      "flush " + std::to_string(body.size()) + " (record at " + std::to_string(flushed) + ")",
      "move updater.exe.partial -> updater.exe"};
  EXPECT_EQ(std::vector<std::string>(disk_calls.log.end() - 2, disk_calls.log.end()), tail);
}

// When the old file was moved aside and neither the new one nor the old
// one can go back in its place, the good copy goes where no removal is
// ever scheduled, and the next download puts it back first.
TEST_F(DownloadTest, GoodCopyIsNeverLostWhenItCannotBePutBack) {
  PlacePreviousFile();
  disk_calls.refuse_move = [](const std::string&, const std::string& to) {
    return to == "updater.exe";
  };
  ScriptedHttpServer server({HttpAnswer(200, kNew), HttpAnswer(503, "busy")});
  EXPECT_EQ(Download(server), kFileWriteFailed);
  disk_calls.refuse_move = nullptr;
  EXPECT_EQ(folder_.Entries(), std::vector<std::string>{"updater.exe.previous"});
  EXPECT_EQ(DownloadToFile(server.Url("/client/tmp_updater.bin").c_str(), target_.c_str(), {},
                           kOneAttempt, &report_),
            kRequestFailed);
  EXPECT_TRUE(report_.put_back);
  ExpectPreviousFileAlone();
}

}  // namespace
