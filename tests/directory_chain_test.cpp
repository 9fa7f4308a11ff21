#include <gtest/gtest.h>

#include <string>

#include "launcher/service_operations.h"
#include "tests/test_support.h"

namespace {

// Runs each case with the scratch folder as the current directory, so that
// relative and root-relative paths land inside it (a process started from a
// shell begins on Z:, the Unix root).
class DirectoryChainTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char saved[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, saved);
    saved_ = saved;
    ASSERT_TRUE(SetCurrentDirectoryA(folder_.path().c_str()));
  }
  void TearDown() override { SetCurrentDirectoryA(saved_.c_str()); }

  ScratchFolder folder_;
  std::string saved_;
};

TEST_F(DirectoryChainTest, CreatesEveryLevelOfAnAbsolutePath) {
  CreateDirectoryChain(folder_.Child("A\\B\\C").c_str());
  EXPECT_TRUE(IsDirectory(folder_.Child("A\\B\\C")));
  // Existing levels do not stop the rest.
  CreateDirectoryChain(folder_.Child("A\\B\\D").c_str());
  EXPECT_TRUE(IsDirectory(folder_.Child("A\\B\\D")));
}

TEST_F(DirectoryChainTest, LeadingBackslashStartsAtTheCurrentDriveRoot) {
  std::string without_drive = folder_.path().substr(2);  // "C:" removed.
  ASSERT_EQ(without_drive[0], '\\');
  CreateDirectoryChain((without_drive + "\\R\\S").c_str());
  EXPECT_TRUE(IsDirectory(folder_.Child("R\\S")));
}

// "C:" alone names drive C's current directory, not its root: with this
// process on another drive, that is the folder "=C:" names. A drive is no
// level of its own, so nothing is made there. (Windows falls back to the
// root when that folder is missing; Wine makes it, which shows the call.)
TEST_F(DirectoryChainTest, DriveIsNoLevelOfItsOwn) {
  const std::string drive = folder_.path().substr(0, 2);
  ASSERT_EQ(drive[1], ':');
  ASSERT_TRUE(SetCurrentDirectoryA("Z:\\"));
  ASSERT_TRUE(SetEnvironmentVariableA(("=" + drive).c_str(), folder_.Child("drive").c_str()));
  CreateDirectoryChain(folder_.Child("A\\B").c_str());
  SetEnvironmentVariableA(("=" + drive).c_str(), nullptr);
  EXPECT_TRUE(IsDirectory(folder_.Child("A\\B")));
  EXPECT_FALSE(IsDirectory(folder_.Child("drive")));
}

TEST_F(DirectoryChainTest, RelativePathGrowsFromTheCurrentDirectory) {
  CreateDirectoryChain("A\\B");
  EXPECT_TRUE(IsDirectory(folder_.Child("A\\B")));
}

TEST_F(DirectoryChainTest, EmptyPathCreatesNothing) {
  CreateDirectoryChain("");
  EXPECT_TRUE(folder_.Entries().empty());
}

TEST_F(DirectoryChainTest, DoubledAndTrailingSeparatorsStillCreateTheChain) {
  CreateDirectoryChain((folder_.path() + "\\A\\\\B\\").c_str());
  EXPECT_TRUE(IsDirectory(folder_.Child("A\\B")));
}

TEST_F(DirectoryChainTest, PathsOver254BytesCreateNothing) {
  std::string prefix = folder_.Child("L");
  // 254 bytes fit the work buffer with the appended separator and the NUL.
  std::string longest = prefix + "\\" + std::string(254 - prefix.size() - 1, 'x');
  ASSERT_EQ(longest.size(), 254u);
  CreateDirectoryChain(longest.c_str());
  EXPECT_TRUE(IsDirectory(longest));

  std::string too_long = folder_.Child("M") + "\\" + std::string(254 - prefix.size(), 'x');
  ASSERT_EQ(too_long.size(), 255u);
  CreateDirectoryChain(too_long.c_str());
  EXPECT_FALSE(IsDirectory(folder_.Child("M")));
}

}  // namespace
