#include <gtest/gtest.h>

#include <windows.h>
#include <wincrypt.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <random>
#include <string>
#include <tuple>

#include "launcher/service_operations.h"
#include "tests/scripted_http_server.h"
#include "tests/test_support.h"

namespace {

// The signed test files the build makes in signing\ beside this program.
std::string TestKeyFile(const std::string& name) {
  char module[MAX_PATH];
  std::string path(module, GetModuleFileNameA(nullptr, module, MAX_PATH));
  return path.substr(0, path.find_last_of('\\')) + "\\signing\\" + name;
}

// A 2-second window, so that the rows with stalled servers end quickly.
constexpr DownloadLimits kTestLimits = {2, 1024, kLargestDownload};
// One attempt: for rows about one answer, not about what follows it.
constexpr DownloadLimits kOneAttempt = {2, 1024, kLargestDownload, 1};

// `size` bytes that, from 68 on, start like a Windows program, as every
// body a download keeps must: "MZ", and "PE\0\0" at 0x40, where 0x3C says.
std::string Body(size_t size) {
  std::string body(size, '\0');
  for (size_t i = 0; i < size; ++i) body[i] = static_cast<char>((i * 131 + 7) % 251);
  if (size >= 0x44) body.replace(0, 2, "MZ").replace(0x3C, 8, std::string("\x40\0\0\0PE\0\0", 8));
  return body;
}

// A small body a download keeps.
const std::string kNew = Body(300);

// The head of a chunked answer, and one chunk of it.
const std::string kChunkedHead = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
std::string Chunk(const std::string& data) {
  char size_line[16];
  std::snprintf(size_line, sizeof(size_line), "%zx\r\n", data.size());
  return size_line + data + "\r\n";
}

// `answer` with its body (what follows the head) in pieces of `piece`
// bytes: the first `first_ms` after the head and each next `gap_ms` after
// the one before it.
ScriptedAnswer Paced(const std::string& answer, size_t piece, int first_ms, int gap_ms) {
  ScriptedAnswer paced(answer);
  const size_t head = answer.find("\r\n\r\n") + 4;
  for (size_t at = head; at < answer.size(); at += piece) {
    paced.pauses.push_back({at, at == head ? first_ms : gap_ms});
  }
  return paced;
}

class DownloadTest : public ::testing::Test {
 protected:
  DownloadResult Download(ScriptedHttpServer& server) {
    return DownloadToFile(server.Url("/client/tmp_updater.bin").c_str(), target_.c_str(), {},
                          kTestLimits, &report_);
  }
  // A previous good file at the target, which failures must leave intact.
  void PlacePreviousFile(const std::string& bytes = "previous updater") {
    WriteFileBytes(target_, bytes);
  }
  void ExpectPreviousFileAlone(const std::string& bytes = "previous updater") {
    const std::string stored = ReadFileBytes(target_);
    // Sizes, not contents: a replaced file may be a whole binary.
    EXPECT_TRUE(stored == bytes) << "the target now holds " << stored.size() << " other bytes";
    EXPECT_EQ(folder_.Entries(), std::vector<std::string>{"updater.exe"});
  }

  ScratchFolder folder_;
  std::string target_ = folder_.Child("updater.exe");
  DownloadReport report_;
};

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
  std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 10000\r\n\r\n";
  ScriptedHttpServer server({{head + Body(5000), false}});
  PlacePreviousFile();
  EXPECT_EQ(Download(server), kReadFailed);
  EXPECT_EQ(report_.end, DownloadEnd::kCutShort);
  EXPECT_EQ(server.Requests().size(), 3u);
  ExpectPreviousFileAlone();
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
    ExpectPreviousFileAlone();
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

// Trusts the test CA in this prefix's machine ROOT store, where WinINet
// looks for the roots of server certificates.
void TrustTestCa() {
  const std::string der = ReadFileBytes(TestKeyFile("ca.der"));
  HCERTSTORE root =
      CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, "ROOT");
  ASSERT_NE(root, nullptr);
  EXPECT_TRUE(CertAddEncodedCertificateToStore(
      root, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
      static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING, nullptr));
  CertCloseStore(root, 0);
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

// Every download ends in bounded time and space, whatever the server does:
// within a window when no answer comes, within two windows (plus the close)
// once the body slows or stops, and before the body passes the cap.
TEST_F(DownloadTest, ServerThatCannotFinishIsGivenUpOnInBoundedTime) {
  const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n";
  // About 670 bytes a second: one 1024-byte read completes in the first
  // window, under its quota of 2048.
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
  };
  const Row rows[] = {
      {"a stall after some body bytes",
       {head + Body(5000), false, {{head.size() + 5000, 15000}}},
       kTestLimits,
       kReadFailed,
       DownloadEnd::kStalled,
       2 * window + 2},
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
       DownloadEnd::kStalled,  // No read of 1024 bytes completes in the first window.
       4},
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
  ScriptedAnswer pieces(kChunkedHead);
  for (size_t at = 0; at < body.size(); at += 700) {
    pieces.pauses.push_back({pieces.bytes.size(), 1});
    pieces.bytes += Chunk(body.substr(at, 700));
  }
  pieces.bytes += "0\r\n\r\n";
  // At exactly the floor: each window's quota in the middle of the window.
  // With a quota under one read (1 s at 500 B/s), a read of a whole buffer
  // could not complete in any window.
  const std::string floor_body = Body(4096);
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
      {"the floor, with a quota under one read",
       Paced(HttpAnswer(200, floor_body.substr(0, 2000)).bytes, 500, 500, 1000),
       {1, 500, kLargestDownload},
       1,
       floor_body.substr(0, 2000)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    for (int round = 0; round < row.rounds; ++round) {
      ScriptedHttpServer server({row.answer});
      EXPECT_EQ(DownloadToFile(server.Url("/client/tmp_updater.bin").c_str(), target_.c_str(), {},
                               row.limits, &report_),
                static_cast<DownloadResult>(row.sent.size()));
      EXPECT_TRUE(ReadFileBytes(target_) == row.sent) << "the kept file is not what was sent";
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

namespace {

TEST_F(DownloadTest, TargetThatCannotBeReplacedIsAWriteFailure) {
  // A folder where the file should go: the body arrives, the move cannot.
  ASSERT_TRUE(CreateDirectoryA(target_.c_str(), nullptr));
  ScriptedHttpServer server({HttpAnswer(200, Body(3000))});
  EXPECT_EQ(Download(server), kFileWriteFailed);
  EXPECT_TRUE(IsDirectory(target_));
  EXPECT_EQ(folder_.Entries(), std::vector<std::string>{"updater.exe"});  // No temporary file.
}

}  // namespace

namespace {

std::string Pin(const std::string& signer) {
  return ReadFileBytes(TestKeyFile(signer + ".pin")).substr(0, 64);
}

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
      {"1000 unsigned bytes", HttpAnswer(200, unsigned_program.substr(0, 1000)), pinned,
       kSignatureRefused},
      {"a page, refused before its signature is looked for",
       HttpAnswer(200, "<html>" + std::string(5000, 'e') + "</html>"), pinned, kNotAProgram},
      {"a byte changed after signing", HttpAnswer(200, changed), pinned, kSignatureRefused},
      {"signed by another key of the same CA", served("updater.other.exe"), pinned,
       kSignatureRefused},
      {"cut short in a chunked body", {cut, false}, pinned, kSignatureRefused},
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
