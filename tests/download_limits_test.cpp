#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <string>

#include "tests/download_fixture.h"

// What a server can cost a download: bounded time and space, without
// refusing a slow but honest link.

namespace {

// Every download ends in bounded time and space, whatever the server does:
// within a window when no answer comes, within two windows (plus the close)
// once the body slows or stops, and before the body passes the cap.
TEST_F(DownloadTest, ServerThatCannotFinishIsGivenUpOnInBoundedTime) {
  const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n";
  // About 670 bytes a second: under the window's quota of 2048.
  ScriptedAnswer drip{head + Body(3000), false};
  for (size_t at = head.size(); at < drip.bytes.size(); at += 100) drip.pauses.push_back({at, 150});
  const DownloadLimits capped = {kTestLimits.stall_seconds, kTestLimits.min_rate, 4999};
  const int window = kTestLimits.stall_seconds;
  // Faster than WinINet can read it, so that a request closed before its
  // end, which WinINet first reads to that end (Wine), shows in the time.
  const std::string flood(65536, 'e');
  struct Row {
    const char* what;
    ScriptedAnswer answer;
    DownloadLimits limits;
    DownloadResult expected;
    DownloadEnd end;  // What the run's record will say ended it.
    int bound_seconds;
    long long most_sent = -1;  // Bytes the server may get out, when bounded.
    long long received = -1;   // What the record must count, when exact.
  };
  const Row rows[] = {
      {"a stall after some body bytes",
       {head + Body(5000), false, {{head.size() + 5000, 15000}}},
       kTestLimits,
       kReadFailed,
       DownloadEnd::kStalled,
       2 * window + 2,
       -1,
       5000},
      {"accepted, never answered",
       {"", false, {{0, 15000}}},
       kTestLimits,
       kRequestFailed,
       DownloadEnd::kNoAnswer,
       window + 2},
      {"a drip feed under the floor", drip, kTestLimits, kReadFailed, DownloadEnd::kTooSlow,
       2 * window + 2},
      {"an endless chunked body past the cap",
       {kChunkedHead, false, {}, Chunk(flood)},
       {window, 1024, 1 << 20},
       kReadFailed,
       DownloadEnd::kPastCap,
       2 * window + 2},
      // Refused on its head: never read, so little more than what the
      // system buffers ever leaves the server.
      {"an endless body announced past the cap",
       {"HTTP/1.1 200 OK\r\nContent-Length: 2000000000\r\n\r\n", false, {}, flood},
       {window, 1024, 32 << 20},
       kReadFailed,
       DownloadEnd::kPastCap,
       2,
       16 << 20},
      {"an endless body after a 304",
       {"HTTP/1.1 304 Not Modified\r\nContent-Length: 2000000000\r\n\r\n", false, {}, flood},
       kTestLimits,
       kRequestFailed,
       DownloadEnd::kBadStatus,
       2},
      {"one byte short of the floor in each window",
       Paced(HttpAnswer(200, Body(4092)).bytes, 1023, 500, 1000),
       {1, 1024, kLargestDownload},
       kReadFailed,
       DownloadEnd::kTooSlow,
       4,
       -1,
       1023},
      {"a Content-Length past the cap", HttpAnswer(200, Body(5000)), capped, kReadFailed,
       DownloadEnd::kPastCap, 2},
      {"a chunked body past the cap",
       {kChunkedHead + Chunk(Body(5000)) + "0\r\n\r\n", false},
       capped,
       kReadFailed,
       DownloadEnd::kPastCap,
       2},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ScriptedHttpServer server({row.answer});
    PlacePreviousFile();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(DownloadToFile(server.Url("/client/tmp_updater.bin").c_str(), target_.c_str(), {},
                             row.limits, &report_),
              row.expected);
    EXPECT_EQ(report_.end, row.end);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::seconds(row.bound_seconds));
    if (row.most_sent >= 0) {
      EXPECT_LT(server.Sent(), row.most_sent);
    }
    // Every byte that came before the end reached the file and is counted.
    if (row.received >= 0) {
      EXPECT_EQ(report_.received, row.received);
    }
    ExpectPreviousFileAlone();
  }
}

// The rule must not refuse a slow, honest link: a body at the cap, and one
// at about 10 KB/s with a pause shorter than the window, are kept whole.
TEST_F(DownloadTest, SlowButSteadyBodyIsKeptWhole) {
  const std::string body = Body(20000);
  ScriptedAnswer steady = HttpAnswer(200, body);
  const size_t head = steady.bytes.size() - body.size();
  for (size_t at = head; at < steady.bytes.size(); at += 1000) {
    steady.pauses.push_back({at, at == head + 10000 ? 1500 : 100});
  }
  // Chunked, in 700-byte pieces about a millisecond apart, so that many reads
  // wait for data and complete while WinINet is still queuing them; a lost
  // count would shorten the file unseen, since no length is announced.
  // With an ETag, so that its many pieces are hashed too.
  ScriptedAnswer pieces("HTTP/1.1 200 OK\r\nETag: \"p1\"\r\nTransfer-Encoding: chunked\r\n\r\n");
  for (size_t at = 0; at < body.size(); at += 700) {
    pieces.pauses.push_back({pieces.bytes.size(), 1});
    pieces.bytes += Chunk(body.substr(at, 700));
  }
  pieces.bytes += "0\r\n\r\n";
  // At exactly the floor: each window's quota in the middle of the window.
  // Each quota is far below a read's buffer, which must not have to fill
  // for the bytes to count.
  const std::string floor_body = Body(4096);
  // Above the floor of the end-to-end builds (3 s at 1024 B/s: a quota of
  // 3 KiB), in 175-byte pieces 100 ms apart.
  const std::string above_floor = Body(7000);
  struct Row {
    const char* what;
    ScriptedAnswer answer;
    DownloadLimits limits;
    int rounds;  // The lost count showed in about 1 run in 6.
    std::string sent;
  };
  const Row rows[] = {
      {"about 10 KB/s, with a pause", steady, kTestLimits, 1, body},
      {"a body at the cap",
       HttpAnswer(200, body),
       {kTestLimits.stall_seconds, kTestLimits.min_rate, 20000},
       1,
       body},
      {"700-byte chunks", pieces, kTestLimits, 12, body},
      {"exactly the floor",
       Paced(HttpAnswer(200, floor_body).bytes, 1024, 500, 1000),
       {1, 1024, kLargestDownload},
       1,
       floor_body},
      {"the floor, with a quota of 500 bytes",
       Paced(HttpAnswer(200, floor_body.substr(0, 2000)).bytes, 500, 500, 1000),
       {1, 500, kLargestDownload},
       1,
       floor_body.substr(0, 2000)},
      {"1750 B/s against a quota of 3 KiB",
       Paced(HttpAnswer(200, above_floor).bytes, 175, 100, 100),
       {3, 1024, kLargestDownload},
       1,
       above_floor},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    for (int round = 0; round < row.rounds; ++round) {
      ScriptedHttpServer server({row.answer});
      EXPECT_EQ(DownloadToFile(server.Url("/client/tmp_updater.bin").c_str(), target_.c_str(), {},
                               row.limits, &report_),
                static_cast<DownloadResult>(row.sent.size()));
      EXPECT_TRUE(ReadFileBytes(target_) == row.sent) << "the kept file is not what was sent";
      EXPECT_TRUE(report_.conditions.empty() ? !report_.digest.known
                                             : IsDigestOf(report_.digest, row.sent));
    }
  }
}

// WinINet goes on with a read given up on: here it resumes while the next
// download is under way and writes into what the abandoned one left behind,
// which must be nothing the next one uses.
TEST_F(DownloadTest, DownloadAfterOneGivenUpOnIsByteExact) {
  const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 30000\r\n\r\n";
  ScriptedHttpServer stalled(
      {{head + std::string(30000, 's'), false, {{head.size() + 5000, 2 * 2000 + 1000}}}});
  PlacePreviousFile();
  EXPECT_EQ(Download(stalled), kReadFailed);
  const std::string body = Body(30000);
  ScriptedAnswer paced = HttpAnswer(200, body);
  for (size_t at = paced.bytes.size() - body.size(); at < paced.bytes.size(); at += 1000) {
    paced.pauses.push_back({at, 100});
  }
  ScriptedHttpServer next({paced});
  EXPECT_EQ(Download(next), 30000);
  EXPECT_TRUE(ReadFileBytes(target_) == body) << "the next download's file is not what was sent";
}

}  // namespace
