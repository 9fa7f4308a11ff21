#include "launcher/run_record.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/test_support.h"

namespace {

const char kUrl[] = "http://dl.example.com/client/tmp_updater.bin";
constexpr DownloadLimits kLimits = {60, 1024, 2147483647};

DownloadReport Ending(DownloadEnd end) {
  DownloadReport report;
  report.end = end;
  return report;
}

// One row per outcome and per detail a support desk reads.
TEST(RunRecordTest, EachOutcomeSaysWhatTheDownloadSaw) {
  DownloadReport revalidated = Ending(DownloadEnd::kKept);
  revalidated.revalidated = true;
  DownloadReport older = Ending(DownloadEnd::kOlder);
  older.received = 812345;
  DownloadReport connection = Ending(DownloadEnd::kNoConnection);
  connection.error = 12029;
  DownloadReport status = Ending(DownloadEnd::kBadStatus);
  status.status = 404;
  DownloadReport stalled = Ending(DownloadEnd::kStalled);
  stalled.received = 4096;
  DownloadReport slow = Ending(DownloadEnd::kTooSlow);
  slow.received = 70000;
  slow.window_bytes = 3100;
  DownloadReport cut = Ending(DownloadEnd::kCutShort);
  cut.received = 5000;
  cut.expected = 10000;
  DownloadReport reset = Ending(DownloadEnd::kReadError);
  reset.received = 5120;
  DownloadReport wrong_name = Ending(DownloadEnd::kWrongName);
  wrong_name.name = "orvinta.exe";
  DownloadReport below = Ending(DownloadEnd::kBelowFloor);
  below.version = MakeFileVersion(1, 0, 65535, 7);
  DownloadReport busy = status;
  busy.status = 503;
  busy.retry_after = 3600;
  DownloadReport range = Ending(DownloadEnd::kBadRange);
  range.status = 206;
  range.received = 30000;
  DownloadReport continued = Ending(DownloadEnd::kKept);
  continued.continued_from = 5000000;
  DownloadReport continued_aside = continued;
  continued_aside.moved_aside = true;
  // What a run found or left beside the file: lines of its own before the
  // download's (a good copy put back, a partial dropped) and after it.
  DownloadReport put_back = Ending(DownloadEnd::kKept);
  put_back.put_back = true;
  DownloadReport dropped = Ending(DownloadEnd::kKept);
  dropped.partial_dropped = PartialDrop::kNotContinued;
  dropped.dropped_status = 416;
  DownloadReport broken = reset;
  broken.received = broken.partial_kept = 5000;
  broken.partial_length = 12000;
  DownloadReport held = Ending(DownloadEnd::kWriteFailed);
  held.partial_kept = held.partial_length = 12000;
  struct Row {
    DownloadResult result;
    DownloadReport report;
    const char* outcome;
    const char* before = "";
  };
  const Row rows[] = {
      {300, put_back, "kept 300", "updater.exe previous copy put back\r\n"},
      {300, dropped, "kept 300", "updater.exe partial dropped: HTTP 416\r\n"},
      {kReadFailed, broken,
       "failed -4 read failed after 5000 bytes\r\n"
       "updater.exe partial kept for the next run: 5000 of 12000 bytes"},
      {kFileWriteFailed, held,
       "failed -5 write failed\r\n"
       "updater.exe partial kept for the next run: 12000 of 12000 bytes (held)"},
      {681234, Ending(DownloadEnd::kKept), "kept 681234"},
      {12000000, continued, "kept 12000000 (continued from byte 5000000)"},
      {12000000, continued_aside,
       "kept 12000000 (the one in use moved aside) (continued from byte 5000000)"},
      {2147483647, Ending(DownloadEnd::kKept), "kept 2147483647"},
      {681234, revalidated, "revalidated 681234"},
      {kInstalledIsNewer, older, "older 812345"},
      {kSignatureRefused, Ending(DownloadEnd::kNotSigned), "refused -6 not signed by a pinned key"},
      {kWrongProgram, wrong_name, "refused -7 wrong name orvinta.exe"},
      {kWrongProgram, below, "refused -7 below the floor 1.0.65535.7"},
      {kWrongProgram, Ending(DownloadEnd::kNoVersionResource), "refused -7 no version resource"},
      {kSessionFailed, Ending(DownloadEnd::kNoSession), "failed -1 no session"},
      {kRequestFailed, connection, "failed -2 no connection: error 12029"},
      {kRequestFailed, Ending(DownloadEnd::kNoAnswer), "failed -2 no answer in 60 s"},
      {kRequestFailed, status, "failed -2 HTTP 404"},
      {kRequestFailed, Ending(DownloadEnd::kNoHeaders), "failed -2 no headers"},
      {kRequestFailed, Ending(DownloadEnd::kMalformedLength), "failed -2 malformed Content-Length"},
      {kRequestFailed, Ending(DownloadEnd::kRedirectedToHttp), "failed -2 redirected to http"},
      {kFileOpenFailed, Ending(DownloadEnd::kTempFile), "failed -3 temporary file"},
      {kReadFailed, stalled, "failed -4 stalled after 4096 bytes"},
      {kReadFailed, slow, "failed -4 too slow: 3100 bytes in 60 s"},
      {kReadFailed, Ending(DownloadEnd::kPastCap), "failed -4 past the cap of 2147483647 bytes"},
      {kReadFailed, cut, "failed -4 cut short: 5000 of 10000 bytes"},
      {kReadFailed, reset, "failed -4 read failed after 5120 bytes"},
      {kFileWriteFailed, Ending(DownloadEnd::kWriteFailed), "failed -5 write failed"},
      {kNotAProgram, Ending(DownloadEnd::kNoPeImage), "refused -9 not a Windows program"},
      {kRequestFailed, busy, "failed -2 HTTP 503 (retry after 3600 s)"},
      {kRequestFailed, range, "failed -2 HTTP 206 does not continue byte 30000"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.outcome);
    EXPECT_EQ(Text(ComposeDownloadLine("C:\\Program Files (x86)\\Z\\updater.exe", kUrl, row.result,
                                       row.report, kLimits)),
              row.before + std::string("updater.exe ") + kUrl + " " + row.outcome + "\r\n");
  }
  const std::pair<PartialDrop, const char*> drops[] = {
      {PartialDrop::kChanged, "changed on disk"},
      {PartialDrop::kIdle, "no progress in two runs"},
      {PartialDrop::kOld, "no progress for a week"},
      {PartialDrop::kNotDownloaded, "not downloaded"}};
  for (const auto& [why, words] : drops) {
    EXPECT_EQ(Text(ComposePartialDroppedLine("C:\\Z\\orvinta.exe", why, 0)),
              std::string("orvinta.exe partial dropped: ") + words + "\r\n");
  }
}

// Each attempt followed by another has a line of its own, in order, before
// the download's, in a failed line's words; what it was told to wait is
// not said, since it was waited for.
TEST(RunRecordTest, EachRetriedAttemptHasALineBeforeTheDownloads) {
  DownloadReport report = Ending(DownloadEnd::kKept);
  report.retried_count = 2;
  report.retried[0].result = kReadFailed;
  report.retried[0].end = DownloadEnd::kReadError;
  report.retried[0].received = 700000;
  report.retried[1].result = kRequestFailed;
  report.retried[1].end = DownloadEnd::kBadStatus;
  report.retried[1].status = 503;
  report.retried[1].retry_after = 2;
  const std::string start = std::string("updater.exe ") + kUrl;
  EXPECT_EQ(Text(ComposeDownloadLine("C:\\Z\\updater.exe", kUrl, 2250000, report, kLimits)),
            start + " retried -4 read failed after 700000 bytes\r\n" + start +
                " retried -2 HTTP 503\r\n" + start + " kept 2250000\r\n");
}

TEST(RunRecordTest, HeadingIsUtcToTheSecondWithTheProgramAndItsVersion) {
  const SYSTEMTIME utc = {2027, 1, 6, 2, 0, 9, 59, 0};  // Single digits are padded.
  EXPECT_EQ(Text(ComposeRunHeading(utc, "C:\\Users\\ana\\Downloads\\OrvintaLauncher (1).exe",
                                   "1.4.0.12")),
            "2027-01-02T00:09:59Z OrvintaLauncher (1).exe 1.4.0.12\r\n");
}

// At most 2048 bytes with the NUL: whole lines are dropped from the end of
// what came before, and the last line is always kept.
TEST(RunRecordTest, RecordIsBoundedAndKeepsItsLastLine) {
  const std::string line(998, 'a');  // With its CRLF, 1000 bytes.
  const std::string last = "exit 1\r\n";
  auto lines = [&](int count) {
    std::string joined;
    for (int at = 0; at < count; ++at) joined += line + "\r\n";
    return joined;
  };
  const size_t room = kLastRunCapacity - 1;  // Its NUL takes the last byte.
  struct Row {
    std::string lines;
    std::string last_line;
    std::string expected;
  };
  const Row rows[] = {
      {lines(1), last, lines(1) + last},
      {lines(8), last, lines(8) + last},  // 8008 bytes.
      {lines(9), last, lines(8) + last},
      {std::string(room - 2, 'b') + "\r\n", last, last},
      {std::string(room - 10, 'c') + "\r\n", last, std::string(room - 10, 'c') + "\r\n" + last},
      {"x\r\n", std::string(room + 1000, 'h'), std::string(room, 'h')},
  };
  for (const Row& row : rows) {
    const std::string record = Text(BoundRunRecord(row.lines.c_str(), row.last_line.c_str()));
    EXPECT_LE(record.size(), room);
    EXPECT_TRUE(record == row.expected) << record.size() << " bytes, not " << row.expected.size();
  }
}

}  // namespace
