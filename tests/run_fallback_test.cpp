#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "launcher/run.h"
#include "tests/recording_operations.h"

// A build with two more hosts: which failures move a download on to the
// next host, and in which order a run asks them.

namespace {

const std::string kHosts[] = {"http://downloads.test.invalid", "http://mirror.test.invalid",
                              "http://backup.test.invalid:8080"};
const std::string kClient = "/client/orvinta.exe";
const std::string kUpdater = "/client/tmp_updater.bin";

// The URLs the run downloaded from, in order.
std::vector<std::string> Asked() {
  std::vector<std::string> urls;
  for (const std::string& call : recorded.calls) {
    if (call.rfind("DownloadToFile ", 0) == 0)
      urls.push_back(call.substr(15, call.find(" -> ") - 15));
  }
  return urls;
}

// A failure the host may be to blame for moves on; one of this PC's, a
// rule's (an older signed program) or a kept file does not.
TEST(RunFallbackTest, OnlyAFailureAnotherHostMayNotMeetMovesOn) {
  const std::pair<DownloadResult, bool> rows[] = {
      {kRequestFailed, true},
      {kReadFailed, true},
      {kSignatureRefused, true},
      {kWrongProgram, true},
      {kNotAProgram, true},
      {kSessionFailed, false},
      {kFileOpenFailed, false},
      {kFileWriteFailed, false},
      {kInstalledIsNewer, false},
      {999, false},
      {4096, false},
  };
  for (const auto& [result, moves_on] : rows) {
    SCOPED_TRACE(result);
    recorded = RecordingOperations();
    recorded.install_path = "D:\\Games\\ORVINTA";
    recorded.by_url[kHosts[0] + kUpdater] = result;
    recorded.kept_conditions = "If-None-Match: \"v1\"\r\n";
    RunLauncher();
    std::vector<std::string> expected = {kHosts[0] + kUpdater};
    if (moves_on) expected.push_back(kHosts[1] + kUpdater);
    EXPECT_EQ(Asked(), expected);
    // The kept validators go to every host: all serve the same bytes.
    for (const std::string& call : recorded.calls) {
      if (call.rfind("DownloadToFile ", 0) == 0) {
        EXPECT_NE(call.find(" if If-None-Match: \"v1\"|"), std::string::npos) << call;
      }
    }
  }
}

// Every run starts at the primary; a host that failed the client is asked
// last for the updater, never skipped; the record keeps every attempt, the
// failed host's as "retried", and ends with the host that served.
TEST(RunFallbackTest, HostThatFailedIsAskedLastForTheOtherDownload) {
  recorded = RecordingOperations();
  recorded.by_url[kHosts[0] + kClient] = kRequestFailed;
  recorded.by_url[kHosts[1] + kUpdater] = kReadFailed;
  recorded.by_url[kHosts[2] + kUpdater] = kNotAProgram;
  recorded.download_report.end = DownloadEnd::kBadStatus;
  recorded.download_report.status = 503;
  EXPECT_EQ(RunLauncher(), 1);
  EXPECT_EQ(Asked(), (std::vector<std::string>{kHosts[0] + kClient, kHosts[1] + kClient,
                                               kHosts[1] + kUpdater, kHosts[2] + kUpdater,
                                               kHosts[0] + kUpdater}));
  const std::string& record = recorded.calls[recorded.calls.size() - 4];
  EXPECT_NE(record.find("\r\norvinta.exe " + kHosts[0] + kClient +
                        " retried -2 HTTP 503\r\norvinta.exe " + kHosts[1] + kClient +
                        " kept 250000\r\nupdater.exe " + kHosts[1] + kUpdater +
                        " retried -4 HTTP 503\r\nupdater.exe " + kHosts[2] + kUpdater +
                        " retried -9 HTTP 503\r\nupdater.exe " + kHosts[0] + kUpdater +
                        " kept 4096\r\nhanded off "),
            std::string::npos)
      << record;
}

}  // namespace
