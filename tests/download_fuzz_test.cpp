#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <random>
#include <string>

#include "tests/download_fixture.h"

// Hostile answers: every download ends with a defined code and leaves only
// the target.

namespace {

// A hostile server: random status lines, headers, bodies and endings.
// `status_line` is set to the status line it sent.
ScriptedAnswer HostileAnswer(std::mt19937& random, std::string* status_line) {
  const char* statuses[] = {"HTTP/1.1 200 OK",
                            "HTTP/1.0 200 OK",
                            "HTTP/1.1 204 No Content",
                            "HTTP/1.1 206 Part",
                            "HTTP/1.1 299 X",
                            "HTTP/1.1 300 X",
                            "HTTP/1.1 404 Gone",
                            "HTTP/1.1 500 X",
                            "HTTP/1.1 199 X",
                            "HTTP/1.1 abc",
                            "HTTP/9.9 200",
                            "FOO",
                            "",
                            "HTTP/1.1 200"};
  std::string body(random() % 20000, '\0');
  for (char& byte : body) byte = static_cast<char>(random() % 256);
  // Most bodies start like a program, and may be kept.
  if (random() % 8 != 0) body = Body(body.size());
  std::string answer = statuses[random() % (sizeof(statuses) / sizeof(statuses[0]))];
  *status_line = answer;
  answer += "\r\n";
  switch (random() % 6) {
    case 0:
      answer += "Content-Length: " + std::to_string(body.size()) + "\r\n";
      break;
    case 1:
      answer += "Content-Length: " + std::to_string(random() % 40000) + "\r\n";
      break;
    case 2:
      answer += "Content-Length: -5\r\n";
      break;
    case 3:
      answer += "Content-Length: 99999999999999999999\r\n";
      break;
    case 4:
      answer += "Transfer-Encoding: chunked\r\n";
      break;
    default:
      break;
  }
  if (random() % 3 == 0) answer += "X-Junk: \x01\x7f\xff\r\n";
  if (random() % 4 == 0) answer += "Connection: keep-alive\r\n";
  if (random() % 8 != 0) answer += "\r\n";  // Sometimes the head never ends.
  answer += body.substr(0, random() % 2 == 0 ? body.size() : random() % (body.size() + 1));
  if (random() % 16 == 0) answer.clear();  // Closes without a word.
  return {answer, random() % 4 == 0};
}

// Runs one download on its own thread and ends the whole test process if it
// outlives `bound`: a hang must fail the run, not stall it.
DownloadResult DownloadWithin(std::chrono::seconds bound, const std::string& url,
                              const std::string& target) {
  auto download = std::async(std::launch::async, [&] {
    DownloadReport report;
    return DownloadToFile(url.c_str(), target.c_str(), {}, kOneAttempt, &report);
  });
  if (download.wait_for(bound) == std::future_status::timeout) {
    std::fprintf(stderr, "DownloadToFile hung on %s\n", url.c_str());
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 2);
  }
  return download.get();
}

TEST_F(DownloadTest, FuzzedAnswersGiveDefinedCodesAndLeaveOnlyTheTarget) {
  std::mt19937 random(20261208);
  int successes = 0;
  for (int round = 0; round < 120; ++round) {
    PlacePreviousFile();
    std::string status_line;
    ScriptedHttpServer server({HostileAnswer(random, &status_line)});
    DownloadResult result =
        DownloadWithin(std::chrono::seconds(30), server.Url("/client/tmp_updater.bin"), target_);
    SCOPED_TRACE(round);
    ASSERT_TRUE(result >= 0 || result == kRequestFailed || result == kReadFailed ||
                result == kFileWriteFailed || result == kNotAProgram)
        << result;
    EXPECT_EQ(folder_.Entries(), std::vector<std::string>{"updater.exe"});
    std::string stored = ReadFileBytes(target_);
    if (result >= 0) {
      ++successes;
      // "HTTP/x.y 2..": only a 2xx answer's body may be kept.
      EXPECT_TRUE(status_line.size() >= 12 && status_line.compare(0, 5, "HTTP/") == 0 &&
                  status_line[9] == '2')
          << "kept the body of an answer with the status line '" << status_line << "'";
      EXPECT_EQ(stored.size(), static_cast<size_t>(result));
    } else {
      EXPECT_EQ(stored, "previous updater");
    }
  }
  // The answers must reach both outcomes, or the fuzzing proves little.
  EXPECT_GT(successes, 3);
  EXPECT_LT(successes, 110);
}

}  // namespace
