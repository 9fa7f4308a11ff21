#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "launcher/service_operations.h"
#include "tests/scripted_http_server.h"
#include "tests/test_support.h"

namespace {

std::string Body(size_t size) {
  std::string body(size, '\0');
  for (size_t i = 0; i < size; ++i) body[i] = static_cast<char>((i * 131 + 7) % 251);
  return body;
}

class DownloadTest : public ::testing::Test {
 protected:
  DownloadResult Download(ScriptedHttpServer& server) {
    return DownloadToFile(server.Url("/client/tmp_updater.bin").c_str(), target_.c_str());
  }
  // A previous good file at the target, which failures must leave intact.
  void PlacePreviousFile() { WriteFileBytes(target_, "previous updater"); }
  void ExpectPreviousFileAlone() {
    EXPECT_EQ(ReadFileBytes(target_), "previous updater");
    EXPECT_EQ(folder_.Entries(), std::vector<std::string>{"updater.exe"});
  }

  ScratchFolder folder_;
  std::string target_ = folder_.Child("updater.exe");
};

TEST_F(DownloadTest, StoresBodyAndCountsItsBytes) {
  std::string body = Body(70000);
  ScriptedHttpServer server({HttpAnswer(200, body)});
  PlacePreviousFile();
  EXPECT_EQ(Download(server), 70000);
  EXPECT_EQ(ReadFileBytes(target_), body);
  EXPECT_EQ(folder_.Entries(), std::vector<std::string>{"updater.exe"});
}

TEST_F(DownloadTest, SendsOneGetWithTheLauncherAgent) {
  ScriptedHttpServer server({HttpAnswer(200, "x")});
  ASSERT_EQ(Download(server), 1);
  ASSERT_EQ(server.Requests().size(), 1u);
  const std::string request = server.Requests()[0];
  EXPECT_EQ(request.rfind("GET /client/tmp_updater.bin HTTP/1.1\r\n", 0), 0u) << request;
  EXPECT_NE(request.find("\r\nUser-Agent: Orvinta Launcher\r\n"), std::string::npos) << request;
}

TEST_F(DownloadTest, EmptyBodyGivesEmptyFile) {
  ScriptedHttpServer server({HttpAnswer(200, "")});
  EXPECT_EQ(Download(server), 0);
  EXPECT_EQ(ReadFileBytes(target_), "");
}

TEST_F(DownloadTest, BodyWithoutLengthIsTakenUntilClose) {
  std::string body = Body(5000);
  ScriptedHttpServer server({{"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + body, false}});
  EXPECT_EQ(Download(server), 5000);
  EXPECT_EQ(ReadFileBytes(target_), body);
}

TEST_F(DownloadTest, ErrorStatusIsAFailedRequestWhateverThePageSize) {
  for (auto [status, size] : {std::pair{404, 300}, std::pair{404, 5000}, std::pair{500, 5000}}) {
    SCOPED_TRACE(status);
    ScriptedHttpServer server({HttpAnswer(status, Body(size))});
    PlacePreviousFile();
    EXPECT_EQ(Download(server), kRequestFailed);
    ExpectPreviousFileAlone();
  }
}

TEST_F(DownloadTest, BodyCutShortOfItsLengthIsAFailedRead) {
  std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 10000\r\n\r\n";
  ScriptedHttpServer server({{head + Body(5000), false}});
  PlacePreviousFile();
  EXPECT_EQ(Download(server), kReadFailed);
  ExpectPreviousFileAlone();
}

TEST_F(DownloadTest, ResetConnectionIsAFailedRead) {
  std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 10000\r\n\r\n";
  ScriptedHttpServer server({{head + Body(5000), true}});
  PlacePreviousFile();
  EXPECT_EQ(Download(server), kReadFailed);
  ExpectPreviousFileAlone();
}

TEST_F(DownloadTest, ClosedPortFailsAtOnceAndKeepsTheFile) {
  PlacePreviousFile();
  std::string url = "http://127.0.0.1:" + std::to_string(ClosedPort()) + "/client/tmp_updater.bin";
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(DownloadToFile(url.c_str(), target_.c_str()), kRequestFailed);
  auto elapsed = std::chrono::steady_clock::now() - start;
  RecordProperty(
      "closed_port_ms",
      static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()));
  ExpectPreviousFileAlone();
}

TEST_F(DownloadTest, MissingFolderFailsToOpenAndCreatesNothing) {
  ScriptedHttpServer server({HttpAnswer(200, Body(2000))});
  std::string target = folder_.Child("absent\\updater.exe");
  EXPECT_EQ(DownloadToFile(server.Url("/x").c_str(), target.c_str()), kFileOpenFailed);
  EXPECT_TRUE(folder_.Entries().empty());
}

TEST_F(DownloadTest, ReplacesAnExistingFileOnSuccess) {
  PlacePreviousFile();
  ScriptedHttpServer server({HttpAnswer(200, "new")});
  EXPECT_EQ(Download(server), 3);
  EXPECT_EQ(ReadFileBytes(target_), "new");
}

}  // namespace
