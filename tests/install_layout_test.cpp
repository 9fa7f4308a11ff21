#include "launcher/install_layout.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/test_support.h"

namespace {

TEST(InstallLayoutTest, LiteralsAreExact) {
  EXPECT_EQ(std::string(kDefaultInstallDir).size(), 47u);
  EXPECT_EQ(std::wstring(kShortcutFileName), L"\\오빈타메루스.lnk");
  EXPECT_EQ(std::string(kOpenCommandTail), "\" \"%1\"");
  EXPECT_EQ(std::string(kOpenCommandTail).size(), 6u);
}

TEST(InstallLayoutTest, RecordedDirectoryComposesClientUpdaterAndCommand) {
  NarrowString dir = "D:\\Games\\ORVINTA";
  EXPECT_EQ(Text(ComposeClientExePath(dir)), "D:\\Games\\ORVINTA\\orvinta.exe");
  NarrowString updater = ComposeUpdaterPath(dir);
  EXPECT_EQ(Text(updater), "D:\\Games\\ORVINTA\\updater.exe");
  EXPECT_EQ(Text(ComposeOpenCommand(updater)), "\"D:\\Games\\ORVINTA\\updater.exe\" \"%1\"");
}

TEST(InstallLayoutTest, ProgramFilesFolderGetsProductSubPath) {
  EXPECT_EQ(Text(ComposeInstallDir("C:\\Program Files (x86)")),
            "C:\\Program Files (x86)\\ZORVIN TALLAMERE\\ORVINTA");
}

TEST(InstallLayoutTest, EmptyFoldersLeaveTheBareNamesWithTheirSeparator) {
  ThreadCodePage korean(kKorean);
  EXPECT_EQ(Text(ComposeInstallDir("")), "\\ZORVIN TALLAMERE\\ORVINTA");
  EXPECT_EQ(Text(ComposeShortcutPath("")),
            "\\\xBF\xC0\xBA\xF3\xC5\xB8\xB8\xDE\xB7\xE7\xBD\xBA.lnk");
}

TEST(InstallLayoutTest, StoredTrailingSeparatorIsKeptAndDoubled) {
  NarrowString dir = "D:\\Games\\";
  EXPECT_EQ(Text(ComposeClientExePath(dir)), "D:\\Games\\\\orvinta.exe");
  EXPECT_EQ(Text(ComposeUpdaterPath(dir)), "D:\\Games\\\\updater.exe");
}

TEST(InstallLayoutTest, ShortcutNameSurvivesOnlyUnderAHangulCodePage) {
  {
    ThreadCodePage korean(kKorean);  // Code page 949.
    NarrowString path = ComposeShortcutPath("C:\\Users\\ana\\Desktop");
    EXPECT_EQ(Text(path),
              "C:\\Users\\ana\\Desktop\\\xBF\xC0\xBA\xF3\xC5\xB8\xB8\xDE\xB7\xE7\xBD\xBA.lnk");
    EXPECT_EQ(std::wstring(ToWide(path).get()), L"C:\\Users\\ana\\Desktop\\오빈타메루스.lnk");
  }
  {
    ThreadCodePage english(kEnglish);  // Code page 1252.
    EXPECT_EQ(Text(ComposeShortcutPath("C:\\Users\\ana\\Desktop")),
              "C:\\Users\\ana\\Desktop\\??????.lnk");
  }
}

TEST(InstallLayoutTest, OpenCommandDoesNotExamineThePath) {
  EXPECT_EQ(Text(ComposeOpenCommand("C:\\a \"b\\updater.exe")),
            "\"C:\\a \"b\\updater.exe\" \"%1\"");
}

}  // namespace
