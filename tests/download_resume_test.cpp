#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <functional>
#include <string>
#include <tuple>

#include "launcher/install_layout.h"
#include "services/partial_download.h"
#include "tests/download_fixture.h"

// A body broken off, continued by the next attempt only where it broke.

namespace {

const std::string kDate = "Tue, 08 Dec 2026 10:00:00 GMT";

// The first 30000 bytes of `body` under `validators`, then a reset.
ScriptedAnswer Broken(const std::string& body, const std::string& validators) {
  const std::string sent = "HTTP/1.1 200 OK\r\n" + validators +
                           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
                           body.substr(0, 30000);
  return ScriptedAnswer(sent, true, {{sent.size(), 300}});
}

// The rest of `whole` from the byte asked for (plus `skew`), under `validators`.
ScriptedAnswer Rest(const std::string& whole, const std::string& validators, size_t skew = 0) {
  ScriptedAnswer answer("");
  answer.whole = whole;
  answer.range_headers = validators;
  answer.range_skew = skew;
  return answer;
}

// A body broken off is continued where it broke, but only under a strong
// validator and only by a 206 that continues exactly it: never spliced
// from another body or another place. The whole file is byte-exact.
TEST_F(DownloadTest, BodyBrokenOffIsResumedOnlyWhereItBroke) {
  const std::string body = Body(60000);
  const std::string other = Body(61000).replace(100, 5, "other");
  const std::string date = kDate;
  auto broken = [&](const std::string& validators) { return Broken(body, validators); };
  auto rest = [&](const std::string& validators, size_t skew = 0, const std::string& of = "") {
    return Rest(of.empty() ? body : of, validators, skew);
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

// What a run leaves of a body broken off is continued by the next run
// that downloads it, where the last checkpoint says, and only a 206 that
// continues exactly that body is appended; anything else starts over and
// drops it. Afterwards nothing of it is left.
TEST_F(DownloadTest, BodyBrokenOffIsContinuedByTheNextRun) {
  const std::string body = Body(60000);
  const std::string other = Body(61000).replace(100, 5, "other");
  const std::string etag = "ETag: \"v1\"\r\n";
  const std::string partial = target_ + ".partial";
  auto age_by_eight_days = [&] {
    RegistryValue value = ReadRegistryValue(HKEY_LOCAL_MACHINE, kPartialsKey, "updater.exe");
    ASSERT_GE(value.bytes.size(), sizeof(PartialRecord));
    PartialRecord head;
    std::memcpy(&head, value.bytes.data(), sizeof(head));
    ULARGE_INTEGER time = {{head.progress.dwLowDateTime, head.progress.dwHighDateTime}};
    time.QuadPart -= 8ULL * 24 * 3600 * 10000000;
    head.progress = {time.LowPart, time.HighPart};
    std::memcpy(value.bytes.data(), &head, sizeof(head));
    StoreRegistryValue(HKEY_LOCAL_MACHINE, kPartialsKey, "updater.exe", REG_BINARY, value.bytes);
  };
  struct Row {
    const char* what;
    std::string validators;  // Of the answer broken off.
    std::function<void()> between;
    std::vector<ScriptedAnswer> next;  // The next run's answers.
    bool asks_for_the_rest;
    const std::string& kept;
    PartialDrop dropped;
  };
  const Row rows[] = {
      {"a strong ETag", etag, {}, {Rest(body, etag)}, true, body, PartialDrop::kNone},
      {"a 206 at another offset",
       etag,
       {},
       {Rest(body, etag, 100), Rest(body, etag)},
       true,
       body,
       PartialDrop::kNotContinued},
      {"a 206 of another total",
       etag,
       {},
       {Rest(other, etag), Rest(other, etag)},
       true,
       other,
       PartialDrop::kNotContinued},
      {"no progress for a week",
       etag,
       age_by_eight_days,
       {Rest(body, etag)},
       false,
       body,
       PartialDrop::kOld},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::vector<ScriptedAnswer> answers = {Broken(body, row.validators)};
    answers.insert(answers.end(), row.next.begin(), row.next.end());
    ScriptedHttpServer server(answers);
    const std::string url = server.Url("/client/tmp_updater.bin");
    PlacePreviousFile();
    ASSERT_EQ(DownloadToFile(url.c_str(), target_.c_str(), {}, kOneAttempt, &report_), kReadFailed);
    EXPECT_EQ(report_.partial_kept, 30000u);
    EXPECT_EQ(report_.partial_length, 60000u);
    EXPECT_TRUE(ReadFileBytes(partial) == body.substr(0, 30000));
    ExpectPreviousFileAlone("previous updater", {"updater.exe", "updater.exe.partial"});
    if (row.between) row.between();
    EXPECT_EQ(DownloadToFile(url.c_str(), target_.c_str(), {}, kTestLimits, &report_),
              static_cast<DownloadResult>(row.kept.size()));
    EXPECT_TRUE(ReadFileBytes(target_) == row.kept) << "the kept file is not what was sent";
    EXPECT_TRUE(report_.conditions.empty() ? !report_.digest.known
                                           : IsDigestOf(report_.digest, row.kept));
    EXPECT_EQ(report_.partial_dropped, row.dropped);
    const bool continued = row.dropped == PartialDrop::kNone;
    EXPECT_EQ(report_.continued_from, continued ? 30000u : 0u);
    const std::vector<std::string> heads = server.Requests();
    ASSERT_GE(heads.size(), 2u);
    EXPECT_EQ(heads[1].find("\r\nRange: bytes=30000-\r\n") != std::string::npos,
              row.asks_for_the_rest)
        << heads[1];
    EXPECT_EQ(folder_.Entries(), std::vector<std::string>{"updater.exe"});
    EXPECT_EQ(ReadRegistryValue(HKEY_LOCAL_MACHINE, kPartialsKey, "updater.exe").type, REG_NONE);
  }
}

// Only a body that a length ties to its bytes outlives its run (one without
// a validator: e2e.no_validator_leaves_nothing). One that makes no progress
// in two runs that download it goes.
TEST_F(DownloadTest, OnlyAContinuableBodyOutlivesItsRunAndNotForever) {
  const std::string body = ProgramOf(60000);
  ScriptedAnswer chunked(kChunkedHead.substr(0, kChunkedHead.size() - 2) + "ETag: \"c1\"\r\n\r\n" +
                             Chunk(body.substr(0, 30000)),
                         true, {});
  {
    // No length to continue to: nothing is left, however strong its ETag.
    ScriptedHttpServer server({chunked});
    PlacePreviousFile();
    EXPECT_EQ(Download(server), kReadFailed);
    ExpectPreviousFileAlone();
  }
  ScriptedHttpServer server({Broken(body, "ETag: \"v1\"\r\n"), HttpAnswer(503, "busy")});
  const std::string url = server.Url("/client/tmp_updater.bin");
  PlacePreviousFile();
  const PartialDrop after_each_run[] = {PartialDrop::kNone, PartialDrop::kNone, PartialDrop::kIdle};
  // Another host's download in between leaves it alone: it is neither
  // continued there nor counted.
  const std::string other = "http://127.0.0.1:" + std::to_string(ClosedPort()) + "/updater";
  for (PartialDrop dropped : after_each_run) {
    DownloadToFile(url.c_str(), target_.c_str(), {}, kOneAttempt, &report_);
    EXPECT_EQ(report_.partial_dropped, dropped);
    EXPECT_EQ(report_.partial_kept, dropped == PartialDrop::kNone ? 30000u : 0u);
    DownloadToFile(other.c_str(), target_.c_str(), {}, kOneAttempt, &report_);
  }
  ExpectPreviousFileAlone();
}

}  // namespace
