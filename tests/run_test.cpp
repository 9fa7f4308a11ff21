#include "launcher/run.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/recording_operations.h"

namespace {

using Calls = std::vector<std::string>;

// The run's tests are built for this server, these two signer pins, an
// updater floor given as 1.02.3.010 (decimal parts, never octal) and
// download limits of 7 s, 99 B/s and 123456789 bytes (the shipped default
// is http, no pins, no floor and 60 s, 1024 B/s and 2147483647 bytes: the
// end-to-end tests run that build, with a shorter window).
const std::string kClientUrlText = "https://downloads.test.invalid/client/orvinta.exe";
const std::string kUpdaterUrlText = "https://downloads.test.invalid/client/tmp_updater.bin";
const std::string kLimits = " within 7 s at 99 B/s up to 123456789 bytes";
const std::string kSignedBy = " signed by " + std::string(64, 'a') + std::string(64, '0') + kLimits;
const std::string kUpdaterSignedBy = kSignedBy + " at least 1.2.3.10";
const std::string kHangulShortcut = "\\\xBF\xC0\xBA\xF3\xC5\xB8\xB8\xDE\xB7\xE7\xBD\xBA.lnk";

// The registration and hand-off that follow a good updater download.
Calls RegistrationAndHandOff(const std::string& install_dir) {
  const std::string updater = install_dir + "\\updater.exe";
  return {
      "CreateRegistryKey HKLM\\SOFTWARE\\ZORVIN TALLAMERE\\ORVINTA",
      "WriteRegistryString HKLM\\SOFTWARE\\ZORVIN TALLAMERE\\ORVINTA [INSTALL] = " + install_dir,
      "CreateRegistryKey HKCR\\orvinta\\shell\\open\\command",
      "WriteRegistryString HKCR\\orvinta [URL protocol] = ",
      "WriteRegistryString HKCR\\orvinta\\shell\\open\\command [] = \"" + updater + "\" \"%1\"",
      "ExecProgram " + updater + " | \"" + updater + "\" | -activestart",
  };
}

Calls Join(Calls first, const Calls& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

class RunTest : public ::testing::Test {
 protected:
  void SetUp() override { recorded = RecordingOperations(); }
};

TEST_F(RunTest, FirstInstallInstallsClientThenRegistersAndHandsOff) {
  const std::string dir = "C:\\Program Files (x86)\\ZORVIN TALLAMERE\\ORVINTA";
  EXPECT_EQ(RunLauncher(), 1);  // Only because the recorded hand-off "fails".
  Calls expected = {
      "ReadInstallPath",
      "InitializeCom",
      "GetKnownFolderPath Desktop",
      "GetKnownFolderPath ProgramFilesX86",
      "CreateDirectoryChain " + dir,
      "DownloadReleaseToFile " + kClientUrlText + " -> " + dir + "\\orvinta.exe" + kSignedBy,
      "CreateDesktopShortcut " + dir + "\\orvinta.exe at C:\\Users\\ana\\Desktop" + kHangulShortcut,
      "PauseRun 1000",
      "UninitializeCom",
      "CreateDirectoryChain " + dir,
      "DownloadReleaseToFile " + kUpdaterUrlText + " -> " + dir + "\\updater.exe" +
          kUpdaterSignedBy,
  };
  EXPECT_EQ(recorded.calls, Join(expected, RegistrationAndHandOff(dir)));
}

// A run with the install directory D:\Games\ORVINTA recorded, up to the updater download.
const Calls kRecordedDirectoryDownload = {
    "ReadInstallPath",
    "CreateDirectoryChain D:\\Games\\ORVINTA",
    "DownloadReleaseToFile " + kUpdaterUrlText + " -> D:\\Games\\ORVINTA\\updater.exe" +
        kUpdaterSignedBy,
};

// Registered and started: a good updater, and the verified
// one on disk when the download was a signed but older one (not kept).
TEST_F(RunTest, RecordedDirectorySkipsComClientAndShortcut) {
  for (DownloadResult result : {DownloadResult{4096}, kInstalledIsNewer}) {
    SCOPED_TRACE(result);
    recorded = RecordingOperations();
    recorded.install_path = "D:\\Games\\ORVINTA";
    recorded.updater_download = result;
    EXPECT_EQ(RunLauncher(), 1);
    EXPECT_EQ(recorded.calls,
              Join(kRecordedDirectoryDownload, RegistrationAndHandOff("D:\\Games\\ORVINTA")));
  }
}

TEST_F(RunTest, RecordedDirectoryEndingInBackslashIsUsedAsStored) {
  recorded.install_path = "D:\\Games\\";
  RunLauncher();
  EXPECT_EQ(recorded.calls[2], "DownloadReleaseToFile " + kUpdaterUrlText +
                                   " -> D:\\Games\\\\updater.exe" + kUpdaterSignedBy);
  EXPECT_EQ(recorded.calls[4],
            "WriteRegistryString HKLM\\SOFTWARE\\ZORVIN TALLAMERE\\ORVINTA "
            "[INSTALL] = D:\\Games\\");
}

TEST_F(RunTest, ComFailureFallsBackToDefaultDirectoryWithoutInstalling) {
  recorded.com_initializes = false;
  const std::string dir = "C:\\Program Files (x86)\\ZORVIN TALLAMERE\\ORVINTA";
  EXPECT_EQ(RunLauncher(), 1);
  Calls expected = {
      "ReadInstallPath",
      "InitializeCom",
      "CreateDirectoryChain " + dir,
      "DownloadReleaseToFile " + kUpdaterUrlText + " -> " + dir + "\\updater.exe" +
          kUpdaterSignedBy,
  };
  // No folder lookup, client, shortcut, pause or UninitializeCom.
  EXPECT_EQ(recorded.calls, Join(expected, RegistrationAndHandOff(dir)));
}

TEST_F(RunTest, FailedFolderLookupsComposePathsFromTheBareNames) {
  recorded.desktop_folder = "";
  recorded.program_files_folder = "";
  RunLauncher();
  EXPECT_EQ(recorded.calls[4], "CreateDirectoryChain \\ZORVIN TALLAMERE\\ORVINTA");
  EXPECT_EQ(recorded.calls[6],
            "CreateDesktopShortcut \\ZORVIN TALLAMERE\\ORVINTA\\orvinta.exe at " + kHangulShortcut);
}

TEST_F(RunTest, FailedClientDownloadStillMakesShortcutAndFetchesUpdater) {
  recorded.client_download = kRequestFailed;
  RunLauncher();
  ASSERT_EQ(recorded.calls.size(), 17u);
  EXPECT_EQ(recorded.calls[6].rfind("CreateDesktopShortcut ", 0), 0u);
  EXPECT_EQ(recorded.calls.back().rfind("ExecProgram ", 0), 0u);
}

// Every result below 1000 bytes, negative codes included, is no updater.
class SmallUpdaterTest : public RunTest, public ::testing::WithParamInterface<DownloadResult> {};

TEST_P(SmallUpdaterTest, RegistersNothingAndStartsNothing) {
  recorded.install_path = "D:\\Games\\ORVINTA";
  recorded.updater_download = GetParam();
  EXPECT_EQ(RunLauncher(), 1);
  EXPECT_EQ(recorded.calls, kRecordedDirectoryDownload);
}

INSTANTIATE_TEST_SUITE_P(ShortAndFailedDownloads, SmallUpdaterTest,
                         ::testing::Values(999, 0, kSessionFailed, kRequestFailed, kFileOpenFailed,
                                           kReadFailed, kFileWriteFailed, kSignatureRefused,
                                           kWrongProgram));

TEST_F(RunTest, UpdaterOfExactly1000BytesIsRegisteredAndStarted) {
  recorded.install_path = "D:\\Games\\ORVINTA";
  recorded.updater_download = 1000;
  RunLauncher();
  ASSERT_EQ(recorded.calls.size(), 9u);
  EXPECT_EQ(recorded.calls.back().rfind("ExecProgram ", 0), 0u);
}

TEST_F(RunTest, FirstInstallWithFailedUpdaterRecordsNothing) {
  recorded.updater_download = 999;
  EXPECT_EQ(RunLauncher(), 1);
  for (const std::string& call : recorded.calls) {
    EXPECT_EQ(call.find("Registry"), std::string::npos) << call;
    EXPECT_EQ(call.find("ExecProgram"), std::string::npos) << call;
  }
  EXPECT_EQ(recorded.calls.size(), 11u);
}

}  // namespace
