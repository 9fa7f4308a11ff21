#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <tuple>

#include "tests/download_fixture.h"

// A body broken off, continued by the next attempt only where it broke.

namespace {

// A body broken off is continued where it broke, but only under a strong
// validator and only by a 206 that continues exactly it: never spliced
// from another body or another place. The whole file is byte-exact.
TEST_F(DownloadTest, BodyBrokenOffIsResumedOnlyWhereItBroke) {
  const std::string body = Body(60000);
  const std::string other = Body(61000).replace(100, 5, "other");
  const std::string date = "Tue, 08 Dec 2026 10:00:00 GMT";
  // The first 30000 bytes under `validators`, then a reset.
  auto broken = [&](const std::string& validators) {
    const std::string sent = "HTTP/1.1 200 OK\r\n" + validators + "Content-Length: 60000\r\n\r\n" +
                             body.substr(0, 30000);
    return ScriptedAnswer(sent, true, {{sent.size(), 300}});
  };
  auto rest = [&](const std::string& validators, size_t skew = 0, const std::string& of = "") {
    ScriptedAnswer answer("");
    answer.whole = of.empty() ? body : of;
    answer.range_headers = validators;
    answer.range_skew = skew;
    return answer;
  };
  auto unframed = [](ScriptedAnswer answer) {
    answer.range_length = false;
    return answer;
  };
  auto disagreeing = [](ScriptedAnswer answer) {
    answer.range_extra = 1000;
    return answer;
  };
  ScriptedAnswer chunked(kChunkedHead.substr(0, kChunkedHead.size() - 2) + "ETag: \"c1\"\r\n\r\n" +
                             Chunk(body.substr(0, 20000)) + Chunk(body.substr(20000, 10000)),
                         true, {});
  chunked.pauses.push_back({chunked.bytes.size(), 300});
  const std::string etag = "ETag: \"v1\"\r\n";
  // The same edge as the conditions a kept body is asked for with.
  const std::string longest = "\"" + std::string(509, 'a') + "\"";
  struct Row {
    const char* what;
    std::vector<ScriptedAnswer> answers;
    std::string if_range;  // Of the second request; "" when it asks for the whole.
    std::string kept;
    size_t requests;
  };
  const Row rows[] = {
      {"a strong ETag", {broken(etag), rest(etag)}, "\"v1\"", body, 2},
      {"a Last-Modified", {broken("Last-Modified: " + date + "\r\n"), rest("")}, date, body, 2},
      {"a strong ETag before a Last-Modified",
       {broken(etag + "Last-Modified: " + date + "\r\n"), rest(etag)},
       "\"v1\"",
       body,
       2},
      {"a chunked body under a strong ETag",
       {chunked, rest("ETag: \"c1\"\r\n")},
       "\"c1\"",
       body,
       2},
      {"a weak ETag alone: the whole again", {broken("ETag: W/\"v1\"\r\n"), rest("")}, "", body, 2},
      {"the longest ETag kept", {broken("ETag: " + longest + "\r\n"), rest("")}, longest, body, 2},
      {"an ETag a byte longer: the whole again",
       {broken("ETag: \"a" + longest.substr(1) + "\r\n"), rest("")},
       "",
       body,
       2},
      {"an ETag with a control character: the whole again",
       {broken("ETag: \"a\x01b\"\r\n"), rest("")},
       "",
       body,
       2},
      {"no validator: the whole again", {broken(""), rest("")}, "", body, 2},
      {"changed in between: the new body whole",
       {broken(etag), HttpAnswer(200, other)},
       "\"v1\"",
       other,
       2},
      {"a 206 of another range, then the whole",
       {broken(etag), rest(etag, 100), rest(etag)},
       "\"v1\"",
       body,
       3},
      {"a 206 of another range, without a length, then the whole",
       {broken(etag), unframed(rest(etag, 100)), rest(etag)},
       "\"v1\"",
       body,
       3},
      {"a 206 whose length disagrees with its range, then the whole",
       {broken(etag), disagreeing(rest(etag)), rest(etag)},
       "\"v1\"",
       body,
       3},
      {"a 416, then the whole", {broken(etag), HttpAnswer(416, ""), rest(etag)}, "\"v1\"", body, 3},
      {"a 206 of a body of another length, then the whole",
       {broken(etag), rest(etag, 0, other), rest(etag, 0, other)},
       "\"v1\"",
       other,
       3},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ScriptedHttpServer server(row.answers);
    PlacePreviousFile();
    EXPECT_EQ(Download(server), static_cast<DownloadResult>(row.kept.size()));
    EXPECT_TRUE(ReadFileBytes(target_) == row.kept) << "the kept file is not what was sent";
    // Hashed as it came, the bytes in hand read back once: the whole file's;
    // none without a validator to keep it with.
    EXPECT_TRUE(report_.conditions.empty() ? !report_.digest.known
                                           : IsDigestOf(report_.digest, row.kept));
    EXPECT_EQ(folder_.Entries(), std::vector<std::string>{"updater.exe"});
    const std::vector<std::string> heads = server.Requests();
    ASSERT_EQ(heads.size(), row.requests);
    EXPECT_EQ(heads[0].find("Range:"), std::string::npos) << heads[0];
    const std::string& second = heads[1];
    if (row.if_range.empty()) {
      EXPECT_EQ(second.find("Range:"), std::string::npos) << second;
    } else {
      EXPECT_NE(second.find("\r\nRange: bytes="), std::string::npos) << second;
      EXPECT_NE(second.find("\r\nIf-Range: " + row.if_range + "\r\n"), std::string::npos) << second;
      EXPECT_EQ(second.find("If-None-Match"), std::string::npos) << second;
    }
    // After a range refused, the rest is asked for whole.
    if (row.requests == 3) {
      EXPECT_EQ(heads[2].find("Range:"), std::string::npos) << heads[2];
    }
  }
}

}  // namespace
