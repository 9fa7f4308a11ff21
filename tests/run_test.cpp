#include "launcher/run.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/recording_operations.h"

namespace {

using Calls = std::vector<std::string>;

// The run's tests are built twice. The publisher's build: this server over
// https, these two signer pins, an updater floor given as 1.02.3.010
// (decimal parts, never octal) and download limits of 7 s, 99 B/s and
// 123456789 bytes. The shipped default (DEFAULT_BUILD): http, no pins, no
// floor and 60 s, 1024 B/s and 2147483647 bytes, whose downloads carry no
// signature check at all.
#ifdef DEFAULT_BUILD
const std::string kScheme = "http";
const std::string kDownloadCall = "DownloadToFile ";
const std::string kSignedBy = " within 60 s at 1024 B/s up to 2147483647 bytes";
const std::string kUpdaterSignedBy = kSignedBy;
#else
const std::string kScheme = "https";
const std::string kDownloadCall = "DownloadReleaseToFile ";
const std::string kLimits = " within 7 s at 99 B/s up to 123456789 bytes";
const std::string kSignedBy = " signed by " + std::string(64, 'a') + std::string(64, '0') + kLimits;
const std::string kUpdaterSignedBy = kSignedBy + " at least 1.2.3.10";
#endif
const std::string kClientUrlText = kScheme + "://downloads.test.invalid/client/orvinta.exe";
const std::string kUpdaterUrlText = kScheme + "://downloads.test.invalid/client/tmp_updater.bin";
const std::string kHangulShortcut = "\\\xBF\xC0\xBA\xF3\xC5\xB8\xB8\xDE\xB7\xE7\xBD\xBA.lnk";

Calls Join(Calls first, const Calls& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

// The record's first line, from the recorded clock and program path, and
// the line of a download kept whole.
const std::string kHeading = "2026-12-09T07:05:03Z OrvintaLauncher.exe 0.0.0.0\r\n";
std::string KeptLine(const std::string& name, const std::string& url, int bytes) {
  return name + " " + url + " kept " + std::to_string(bytes) + "\r\n";
}
const std::string kClientKept = KeptLine("orvinta.exe", kClientUrlText, 250000);
const std::string kUpdaterKept = KeptLine("updater.exe", kUpdaterUrlText, 4096);

// The run's record written as LastRun: `lines`, then `last_line`.
Calls RecordOf(const std::string& lines, const std::string& last_line) {
  return {"CreateRegistryKey HKLM\\SOFTWARE\\ZORVIN TALLAMERE\\ORVINTA",
          "WriteRegistryString HKLM\\SOFTWARE\\ZORVIN TALLAMERE\\ORVINTA [LastRun] = " + kHeading +
              lines + last_line + "\r\n"};
}

// The registration and hand-off that follow a good updater download, with
// the record of the run written before it, and again once the recorded
// start has failed.
Calls RegistrationAndHandOff(const std::string& install_dir,
                             const std::string& lines = kUpdaterKept) {
  const std::string updater = install_dir + "\\updater.exe";
  Calls calls = {
      "CreateRegistryKey HKLM\\SOFTWARE\\ZORVIN TALLAMERE\\ORVINTA",
      "WriteRegistryString HKLM\\SOFTWARE\\ZORVIN TALLAMERE\\ORVINTA [INSTALL] = " + install_dir,
      "CreateRegistryKey HKCR\\orvinta\\shell\\open\\command",
      "WriteRegistryString HKCR\\orvinta [URL protocol] = ",
      "WriteRegistryString HKCR\\orvinta\\shell\\open\\command [] = \"" + updater + "\" \"%1\"",
  };
  calls = Join(calls, RecordOf(lines, "handed off \"" + updater + "\" -activestart"));
  calls.push_back("ExecProgram " + updater + " | \"" + updater + "\" | -activestart in " +
                  install_dir);
  return Join(calls, RecordOf(lines, "exit 1"));
}

// Every run takes the launch lock once, before anything else.
class RunTest : public ::testing::Test {
 protected:
  void SetUp() override { recorded = RecordingOperations(); }
  void TearDown() override {
    EXPECT_EQ(recorded.lock_takes, 1);
    EXPECT_EQ(recorded.calls_before_lock, 0u);
  }
};

// The download of `url_text` to `path`, asking with the kept conditions
// and keeping the answer's with a kept body.
Calls DownloadOf(const std::string& url_text, const std::string& path, const std::string& checks,
                 bool kept = true) {
  Calls calls = {"ReadKeptConditions " + path, kDownloadCall + url_text + " -> " + path + checks};
  if (kept) calls.push_back("KeepConditions " + path + " ");
  return calls;
}

TEST_F(RunTest, FirstInstallInstallsClientThenRegistersAndHandsOff) {
  const std::string dir = "C:\\Program Files (x86)\\ZORVIN TALLAMERE\\ORVINTA";
  EXPECT_EQ(RunLauncher(), 1);  // Only because the recorded hand-off "fails".
  Calls expected = {
      "ReadInstallPath",
      "InitializeCom",
      "GetKnownFolderPath Desktop",
      "GetKnownFolderPath ProgramFilesX86",
      "CreateDirectoryChain " + dir,
  };
  expected = Join(expected, DownloadOf(kClientUrlText, dir + "\\orvinta.exe", kSignedBy));
  expected = Join(expected, {
                                "CreateDesktopShortcut " + dir +
                                    "\\orvinta.exe at C:\\Users\\ana\\Desktop" + kHangulShortcut,
                                "PauseRun 1000",
                                "UninitializeCom",
                                "CreateDirectoryChain " + dir,
                            });
  expected = Join(expected, DownloadOf(kUpdaterUrlText, dir + "\\updater.exe", kUpdaterSignedBy));
  EXPECT_EQ(recorded.calls,
            Join(expected, RegistrationAndHandOff(dir, kClientKept + kUpdaterKept)));
}

// A run with the install directory D:\Games\ORVINTA recorded, up to the
// updater download, which kept nothing.
const Calls kRecordedDirectoryDownload =
    Join({"ReadInstallPath", "DropPartialDownload D:\\Games\\ORVINTA\\orvinta.exe",
          "CreateDirectoryChain D:\\Games\\ORVINTA"},
         DownloadOf(kUpdaterUrlText, "D:\\Games\\ORVINTA\\updater.exe", kUpdaterSignedBy, false));

// Registered and started: a good updater, one revalidated by a 304, and the
// verified one on disk when the download was a signed but older one (not
// kept). Only a new body's conditions replace the kept ones.
TEST_F(RunTest, RecordedDirectorySkipsComClientAndShortcut) {
  const std::string updater = "D:\\Games\\ORVINTA\\updater.exe";
  struct Row {
    DownloadResult result;
    bool revalidated;
    Calls kept;
    std::string outcome;  // On the record's line for the updater.
  };
  const Row rows[] = {
      {4096, false, {"KeepConditions " + updater + " If-None-Match: \"v2\"|"}, "kept 4096"},
      {4096, true, {}, "revalidated 4096"},
      {kInstalledIsNewer, false, {}, "older 3000"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.result);
    recorded = RecordingOperations();
    recorded.install_path = "D:\\Games\\ORVINTA";
    recorded.updater_download = row.result;
    recorded.kept_conditions = "If-None-Match: \"v1\"\r\n";
    recorded.download_report.revalidated = row.revalidated;
    recorded.download_report.conditions = "If-None-Match: \"v2\"\r\n";
    recorded.download_report.received = 3000;
    EXPECT_EQ(RunLauncher(), 1);
    Calls expected = {"ReadInstallPath", "DropPartialDownload D:\\Games\\ORVINTA\\orvinta.exe",
                      "CreateDirectoryChain D:\\Games\\ORVINTA", "ReadKeptConditions " + updater,
                      kDownloadCall + kUpdaterUrlText + " -> " + updater +
                          " if If-None-Match: \"v1\"|" + kUpdaterSignedBy};
    EXPECT_EQ(recorded.calls,
              Join(Join(expected, row.kept),
                   RegistrationAndHandOff("D:\\Games\\ORVINTA", "updater.exe " + kUpdaterUrlText +
                                                                    " " + row.outcome + "\r\n")));
  }
}

TEST_F(RunTest, RecordedDirectoryEndingInBackslashIsUsedAsStored) {
  recorded.install_path = "D:\\Games\\";
  RunLauncher();
  EXPECT_EQ(recorded.calls[4],
            kDownloadCall + kUpdaterUrlText + " -> D:\\Games\\\\updater.exe" + kUpdaterSignedBy);
  EXPECT_EQ(recorded.calls[7],
            "WriteRegistryString HKLM\\SOFTWARE\\ZORVIN TALLAMERE\\ORVINTA "
            "[INSTALL] = D:\\Games\\");
}

TEST_F(RunTest, ComFailureFallsBackToDefaultDirectoryWithoutInstalling) {
  recorded.com_initializes = false;
  const std::string dir = "C:\\Program Files (x86)\\ZORVIN TALLAMERE\\ORVINTA";
  EXPECT_EQ(RunLauncher(), 1);
  Calls expected = Join({"ReadInstallPath", "InitializeCom", "CreateDirectoryChain " + dir},
                        DownloadOf(kUpdaterUrlText, dir + "\\updater.exe", kUpdaterSignedBy));
  // No folder lookup, client, shortcut, pause or UninitializeCom.
  EXPECT_EQ(recorded.calls, Join(expected, RegistrationAndHandOff(dir)));
}

TEST_F(RunTest, FailedFolderLookupsComposePathsFromTheBareNames) {
  recorded.desktop_folder = "";
  recorded.program_files_folder = "";
  RunLauncher();
  EXPECT_EQ(recorded.calls[4], "CreateDirectoryChain \\ZORVIN TALLAMERE\\ORVINTA");
  EXPECT_EQ(recorded.calls[8],
            "CreateDesktopShortcut \\ZORVIN TALLAMERE\\ORVINTA\\orvinta.exe at " + kHangulShortcut);
}

TEST_F(RunTest, FailedClientDownloadStillMakesShortcutAndFetchesUpdater) {
  recorded.client_download = kRequestFailed;
  RunLauncher();
  ASSERT_EQ(recorded.calls.size(), 24u);
  EXPECT_EQ(recorded.calls[7].rfind("CreateDesktopShortcut ", 0), 0u);
  EXPECT_EQ(recorded.calls[21].rfind("ExecProgram ", 0), 0u);
}

// The record is written whatever becomes of it: a key that cannot be
// written changes neither the hand-off nor the exit code.
TEST_F(RunTest, RecordThatCannotBeWrittenChangesNothing) {
  for (bool fails : {false, true}) {
    SCOPED_TRACE(fails);
    recorded = RecordingOperations();
    recorded.install_path = "D:\\Games\\ORVINTA";
    recorded.last_run_write_fails = fails;
    EXPECT_EQ(RunLauncher(), 1);
    EXPECT_EQ(recorded.calls, Join(Join(kRecordedDirectoryDownload,
                                        {"KeepConditions D:\\Games\\ORVINTA\\updater.exe "}),
                                   RegistrationAndHandOff("D:\\Games\\ORVINTA")));
  }
}

// A second launch while another runs ends at once and touches nothing: no
// file, no registry value, not even the record. A lock that cannot be had
// (another user's name) changes nothing either: the run goes on as ever.
TEST_F(RunTest, LaunchWhileAnotherRunsTouchesNothing) {
  recorded.launch_lock = LaunchLock::kHeld;
  EXPECT_EQ(RunLauncher(), 1);
  EXPECT_EQ(recorded.calls, Calls{});
  recorded = RecordingOperations();
  recorded.launch_lock = LaunchLock::kUnavailable;
  recorded.install_path = "D:\\Games\\ORVINTA";
  EXPECT_EQ(RunLauncher(), 1);
  EXPECT_EQ(recorded.calls, Join(Join(kRecordedDirectoryDownload,
                                      {"KeepConditions D:\\Games\\ORVINTA\\updater.exe "}),
                                 RegistrationAndHandOff("D:\\Games\\ORVINTA")));
}

// Every result below 1000 bytes, negative codes included, is no updater.
class SmallUpdaterTest : public RunTest, public ::testing::WithParamInterface<DownloadResult> {};

TEST_P(SmallUpdaterTest, RegistersNothingAndStartsNothing) {
  recorded.install_path = "D:\\Games\\ORVINTA";
  recorded.updater_download = GetParam();
  EXPECT_EQ(RunLauncher(), 1);
  // A short body was still kept in place of the file, and its conditions with
  // it; then only the record, which ends in the exit.
  Calls expected = kRecordedDirectoryDownload;
  if (GetParam() >= 0) expected.push_back("KeepConditions D:\\Games\\ORVINTA\\updater.exe ");
  expected.push_back("CreateRegistryKey HKLM\\SOFTWARE\\ZORVIN TALLAMERE\\ORVINTA");
  ASSERT_EQ(recorded.calls.size(), expected.size() + 1);
  EXPECT_EQ(Calls(recorded.calls.begin(), recorded.calls.end() - 1), expected);
  const std::string& record = recorded.calls.back();
  EXPECT_EQ(
      record.rfind("WriteRegistryString HKLM\\SOFTWARE\\ZORVIN TALLAMERE\\ORVINTA [LastRun] = " +
                       kHeading + "updater.exe " + kUpdaterUrlText + " ",
                   0),
      0u)
      << record;
  EXPECT_EQ(record.substr(record.size() - 10), "\r\nexit 1\r\n") << record;
}

INSTANTIATE_TEST_SUITE_P(ShortAndFailedDownloads, SmallUpdaterTest,
                         ::testing::Values(999, 0, kSessionFailed, kRequestFailed, kFileOpenFailed,
                                           kReadFailed, kFileWriteFailed, kSignatureRefused,
                                           kWrongProgram));

TEST_F(RunTest, UpdaterOfExactly1000BytesIsRegisteredAndStarted) {
  recorded.install_path = "D:\\Games\\ORVINTA";
  recorded.updater_download = 1000;
  RunLauncher();
  ASSERT_EQ(recorded.calls.size(), 16u);
  EXPECT_EQ(recorded.calls[13].rfind("ExecProgram ", 0), 0u);
}

// Once installed, the client is never downloaded again: what a first
// install left of it goes, and the record says so before anything else.
TEST_F(RunTest, ClientPartialIsDroppedOnceInstalled) {
  recorded.install_path = "D:\\Games\\ORVINTA";
  recorded.partial_left = true;
  RunLauncher();
  const std::string& record = recorded.calls.back();
  EXPECT_NE(record.find(kHeading + "orvinta.exe partial dropped: not downloaded\r\nupdater.exe "),
            std::string::npos)
      << record;
}

// Nothing but the record of the run: no INSTALL, no protocol, no start.
TEST_F(RunTest, FirstInstallWithFailedUpdaterRecordsNothing) {
  recorded.updater_download = 999;
  EXPECT_EQ(RunLauncher(), 1);
  for (const std::string& call : recorded.calls) {
    EXPECT_EQ(call.find("[INSTALL]"), std::string::npos) << call;
    EXPECT_EQ(call.find("HKCR"), std::string::npos) << call;
    EXPECT_EQ(call.find("ExecProgram"), std::string::npos) << call;
  }
  EXPECT_EQ(recorded.calls.size(), 17u);
  EXPECT_EQ(recorded.calls.back(),
            RecordOf(kClientKept + KeptLine("updater.exe", kUpdaterUrlText, 999), "exit 1")[1]);
}

}  // namespace
