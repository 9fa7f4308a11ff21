#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <string>
#include <tuple>

#include "services/download_attempt.h"
#include "services/scoped_handles.h"
#include "services/wininet_api.h"
#include "tests/download_fixture.h"

// One attempt and its answer: what is sent, what is kept, and which
// answers are a failed request or read.

namespace {

TEST_F(DownloadTest, StoresBodyAndCountsItsBytes) {
  std::string body = Body(70000);
  // Headers longer than a small buffer, as real servers send.
  ScriptedHttpServer server({{"HTTP/1.1 200 OK\r\nContent-Length: 70000\r\nX-Padding: " +
                                  std::string(600, 'p') + "\r\n\r\n" + body,
                              false}});
  PlacePreviousFile();
  EXPECT_EQ(Download(server), 70000);
  EXPECT_EQ(ReadFileBytes(target_), body);
  EXPECT_EQ(folder_.Entries(), std::vector<std::string>{"updater.exe"});
}

TEST_F(DownloadTest, SendsOneGetWithTheLauncherAgent) {
  ScriptedHttpServer server({HttpAnswer(200, kNew)});
  ASSERT_EQ(Download(server), 300);
  ASSERT_EQ(server.Requests().size(), 1u);
  const std::string request = server.Requests()[0];
  EXPECT_EQ(request.rfind("GET /client/tmp_updater.bin HTTP/1.1\r\n", 0), 0u) << request;
  EXPECT_NE(request.find("\r\nUser-Agent: Orvinta Launcher\r\n"), std::string::npos) << request;
}

TEST_F(DownloadTest, BodyWithoutLengthIsTakenUntilClose) {
  std::string body = Body(5000);
  ScriptedHttpServer server({{"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + body, false}});
  EXPECT_EQ(Download(server), 5000);
  EXPECT_EQ(ReadFileBytes(target_), body);
}

TEST_F(DownloadTest, ErrorStatusIsAFailedRequestWhateverThePageSize) {
  // WinINet hands a 3xx answer it does not follow back as it is, body and all.
  for (auto [status, size] : {std::pair{404, 300}, std::pair{404, 5000}, std::pair{500, 5000},
                              std::pair{300, 5000}, std::pair{304, 5000}}) {
    SCOPED_TRACE(status);
    ScriptedHttpServer server({HttpAnswer(status, Body(size))});
    PlacePreviousFile();
    EXPECT_EQ(Download(server), kRequestFailed);
    EXPECT_EQ(report_.end, DownloadEnd::kBadStatus);
    EXPECT_EQ(report_.status, static_cast<std::uint32_t>(status));
    // Only a 5xx may be another attempt's luck.
    EXPECT_EQ(server.Requests().size(), status == 500 ? 3u : 1u);
    ExpectPreviousFileAlone();
  }
}

TEST_F(DownloadTest, BodyCutShortOfItsLengthIsAFailedRead) {
  const std::string program = ProgramOf(10000);
  struct Row {
    const char* what;
    std::string sent;
    std::uint32_t expected;  // The end the answer or the program's headers give.
  };
  const Row rows[] = {
      {"short of its Content-Length",
       "HTTP/1.1 200 OK\r\nContent-Length: 10000\r\n\r\n" + Body(5000), 10000},
      {"a program short of its sections", HttpAnswer(200, program.substr(0, 5000)).bytes, 10000},
      {"a chunked program cut after a whole chunk", kChunkedHead + Chunk(program.substr(0, 5000)),
       10000},
      {"a program short of its section table", HttpAnswer(200, program.substr(0, 100)).bytes, 0x80},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ScriptedHttpServer server({{row.sent, false}});
    PlacePreviousFile();
    EXPECT_EQ(Download(server), kReadFailed);
    EXPECT_EQ(report_.end, DownloadEnd::kCutShort);
    EXPECT_EQ(report_.expected, row.expected);
    EXPECT_EQ(server.Requests().size(), 3u);
    ExpectPreviousFileAlone();
  }
  // What follows the end its headers give is no harm.
  ScriptedHttpServer server({HttpAnswer(200, program + "trailing data")});
  EXPECT_EQ(Download(server), 10013);
}

// A reset (RST) in the middle of the body, with a length and chunked: a
// chunked body has no length to fall short of, so only the failed read
// tells it from a whole one.
TEST_F(DownloadTest, ResetConnectionIsAFailedRead) {
  const std::string chunks = Chunk(Body(3000)) + Chunk(Body(2000));
  const std::pair<const char*, std::string> rows[] = {
      {"with a Content-Length", "HTTP/1.1 200 OK\r\nContent-Length: 10000\r\n\r\n" + Body(5000)},
      {"chunked", kChunkedHead + chunks},
  };
  for (const auto& [what, sent] : rows) {
    SCOPED_TRACE(what);
    ScriptedHttpServer server({{sent, true, {{sent.size(), 300}}}});
    PlacePreviousFile();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Download(server), kReadFailed);
    EXPECT_EQ(report_.end, DownloadEnd::kReadError);
    // Reset on every attempt: three, 1 s and 2 s apart, and then no more.
    EXPECT_EQ(server.Requests().size(), 3u);
    EXPECT_EQ(report_.retried_count, 2);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
    ExpectPreviousFileAlone();
  }
}

TEST_F(DownloadTest, ClosedPortIsAFailedRequestAndKeepsTheFile) {
  PlacePreviousFile();
  std::string url = "http://127.0.0.1:" + std::to_string(ClosedPort()) + "/client/tmp_updater.bin";
  EXPECT_EQ(DownloadToFile(url.c_str(), target_.c_str(), {}, kTestLimits, &report_),
            kRequestFailed);
  ExpectPreviousFileAlone();
}

TEST_F(DownloadTest, MissingFolderFailsToOpenAndCreatesNothing) {
  ScriptedHttpServer server({HttpAnswer(200, Body(2000))});
  std::string target = folder_.Child("absent\\updater.exe");
  EXPECT_EQ(DownloadToFile(server.Url("/x").c_str(), target.c_str(), {}, kTestLimits, &report_),
            kFileOpenFailed);
  EXPECT_TRUE(folder_.Entries().empty());
}

TEST_F(DownloadTest, ReplacesAnExistingFileOnSuccess) {
  PlacePreviousFile();
  ScriptedHttpServer server({HttpAnswer(200, kNew)});
  EXPECT_EQ(Download(server), 300);
  EXPECT_TRUE(ReadFileBytes(target_) == kNew);
}

// An https URL answered by a redirect to plain http: anyone on the path
// could have sent what follows. The same body straight over TLS is the
// control.
TEST_F(DownloadTest, HttpsRedirectedToPlainHttpIsAFailedRequest) {
  const char* server = std::getenv("TLS_TEST_SERVER");
  ASSERT_NE(server, nullptr) << "run through tests/with_tls_server.py";
  TrustTestCa();
  const std::string direct = std::string(server) + "/client/tmp_updater.bin";
  PlacePreviousFile();
  DownloadResult kept = DownloadToFile(direct.c_str(), target_.c_str(), {}, kTestLimits, &report_);
  EXPECT_GT(kept, 1000);
  EXPECT_EQ(ReadFileBytes(target_).size(), static_cast<size_t>(kept));
  const std::string redirected = std::string(server) + "/redirected";
  PlacePreviousFile();
  EXPECT_EQ(DownloadToFile(redirected.c_str(), target_.c_str(), {}, kTestLimits, &report_),
            kRequestFailed);
  EXPECT_EQ(report_.end, DownloadEnd::kRedirectedToHttp);
  ExpectPreviousFileAlone();
}

// Answers whose framing cannot be trusted: no status line or headers, or a
// Content-Length that is not a plain decimal number (each form below reaches
// the launcher through WinINet). Refused before any file is made, whether
// or not the body that follows is whole.
TEST_F(DownloadTest, AnswerWithoutSoundFramingIsAFailedRequest) {
  const std::string body = Body(10000);
  auto with_length = [&](const std::string& length, const std::string& sent) {
    return ScriptedAnswer{
        "HTTP/1.1 200 OK\r\nContent-Length: " + length + "\r\nConnection: close\r\n\r\n" + sent,
        false};
  };
  const DownloadEnd malformed = DownloadEnd::kMalformedLength;
  const std::tuple<const char*, ScriptedAnswer, DownloadEnd> rows[] = {
      {"no status line or header at all (HTTP/0.9)", {"MZ" + body, false}, DownloadEnd::kNoHeaders},
      {"a status line and no header",
       {"HTTP/1.1 200 OK\r\n\r\n" + body, false},
       DownloadEnd::kNoHeaders},
      {"an empty length", with_length("", body), malformed},
      {"10000x", with_length("10000x", body), malformed},
      {"10000x, cut short", with_length("10000x", body.substr(0, 5000)), malformed},
      {"-1", with_length("-1", body), malformed},
      {"1e3", with_length("1e3", body), malformed},
      {"a space inside the digits", with_length("10 000", body), malformed},
  };
  for (const auto& [what, answer, end] : rows) {
    SCOPED_TRACE(what);
    ScriptedHttpServer server({answer});
    PlacePreviousFile();
    EXPECT_EQ(Download(server), kRequestFailed);
    EXPECT_EQ(report_.end, end);
    ExpectPreviousFileAlone();
  }
}

// On Windows WinINet keeps clocks and limits of its own (Wine ignores
// them): a session's time-outs outlast the two windows the rules may wait,
// and the process may hold more connections per server than a run's
// attempts can leave open. Read back where Wine keeps what was set (the
// connect time-out and the per-server limits; not the send and receive
// time-outs of a session, nor the per-proxy limit).
TEST(DownloadSessionTest, LeavesEveryClockAndLimitToTheWindows) {
  const WinInetApi* wininet = LoadWinInet();
  ASSERT_NE(wininet, nullptr);
  UniqueInternet session(OpenDownloadSession(*wininet, INTERNET_OPEN_TYPE_DIRECT, kTestLimits));
  ASSERT_NE(session, nullptr);
  const DWORD two_windows_ms = 2 * 1000 * kTestLimits.stall_seconds;
  const DWORD most_connections = 2 * kMostAttempts + 1;  // Two downloads' and one more.
  const std::tuple<HINTERNET, DWORD, DWORD> rows[] = {
      {session.get(), INTERNET_OPTION_CONNECT_TIMEOUT, two_windows_ms + 1},
      {nullptr, INTERNET_OPTION_MAX_CONNS_PER_SERVER, most_connections},
      {nullptr, INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER, most_connections},
  };
  for (const auto& [handle, option, least] : rows) {
    SCOPED_TRACE(option);
    DWORD value = 0;
    DWORD size = sizeof(value);
    ASSERT_TRUE(wininet->InternetQueryOptionA(handle, option, &value, &size));
    EXPECT_GE(value, least);
  }
}

}  // namespace
