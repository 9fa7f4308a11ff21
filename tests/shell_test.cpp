#include <gtest/gtest.h>
#include <shobjidl.h>

#include <string>

#include "launcher/install_layout.h"
#include "launcher/service_operations.h"
#include "tests/test_support.h"

namespace {

class ShellTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(InitializeCom()); }
  void TearDown() override { UninitializeCom(); }
  ScratchFolder folder_;
};

// The target a saved link points at, then a space and its arguments, read
// back through the shell.
std::wstring LinkTarget(const std::wstring& link_path) {
  IShellLinkW* link = nullptr;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                              reinterpret_cast<void**>(&link)))) {
    return L"<no link object>";
  }
  std::wstring target = L"<not loaded>";
  IPersistFile* file = nullptr;
  if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
    if (SUCCEEDED(file->Load(link_path.c_str(), STGM_READ))) {
      wchar_t path[MAX_PATH] = {};
      wchar_t arguments[MAX_PATH] = {};
      link->GetPath(path, MAX_PATH, nullptr, 0);
      link->GetArguments(arguments, MAX_PATH);
      target = std::wstring(path) + L" " + arguments;
    }
    file->Release();
  }
  link->Release();
  return target;
}

std::wstring Wide(const std::string& text) { return std::wstring(ToWide(text.c_str()).get()); }

TEST_F(ShellTest, RepeatedInitializationCountsAsSuccess) {
  EXPECT_TRUE(InitializeCom());
  UninitializeCom();
}

TEST_F(ShellTest, FindsDesktopAndProgramFilesX86) {
  std::string desktop = Text(GetKnownFolderPath(FOLDERID_Desktop));
  EXPECT_TRUE(IsDirectory(desktop)) << desktop;
  EXPECT_EQ(desktop.substr(desktop.size() - 8), "\\Desktop");
  EXPECT_EQ(Text(GetKnownFolderPath(FOLDERID_ProgramFilesX86)), "C:\\Program Files (x86)");
}

TEST_F(ShellTest, UnknownFolderGivesEmpty) {
  const KNOWNFOLDERID unknown = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
  EXPECT_TRUE(GetKnownFolderPath(unknown).empty());
}

TEST_F(ShellTest, SavesHangulShortcutUnderCodePage949) {
  ThreadCodePage korean(kKorean);
  NarrowString target = (folder_.Child("orvinta.exe")).c_str();
  WriteFileBytes(Text(target), "MZ");
  NarrowString shortcut = ComposeShortcutPath(folder_.path().c_str());
  CreateDesktopShortcut(target, shortcut);
  std::wstring wide_shortcut = Wide(folder_.path()) + L"\\오빈타메루스.lnk";
  EXPECT_NE(GetFileAttributesW(wide_shortcut.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(LinkTarget(wide_shortcut), Wide(Text(target)) + L" ");  // No arguments.
}

TEST_F(ShellTest, SavesNothingUnderCodePage1252) {
  ThreadCodePage english(kEnglish);
  NarrowString shortcut = ComposeShortcutPath(folder_.path().c_str());
  EXPECT_EQ(Text(shortcut), folder_.path() + "\\??????.lnk");
  CreateDesktopShortcut(folder_.Child("orvinta.exe").c_str(), shortcut);
  EXPECT_TRUE(folder_.Entries().empty());
}

// A failed desktop lookup leaves the shortcut path without its folder: the
// save is made on the bare name at the root of the current drive.
TEST_F(ShellTest, ShortcutWithoutAFolderIsSavedAtTheCurrentDriveRoot) {
  char saved[MAX_PATH];
  GetCurrentDirectoryA(MAX_PATH, saved);
  ASSERT_TRUE(SetCurrentDirectoryA(folder_.path().c_str()));
  const std::string name = "\\orvinta-" + std::to_string(GetCurrentProcessId()) + ".lnk";
  CreateDesktopShortcut(folder_.Child("orvinta.exe").c_str(), name.c_str());
  SetCurrentDirectoryA(saved);
  const std::string at_root = folder_.path().substr(0, 2) + name;
  EXPECT_EQ(LinkTarget(Wide(at_root)), Wide(folder_.Child("orvinta.exe")) + L" ");
  DeleteFileA(at_root.c_str());
}

TEST_F(ShellTest, LinksToATargetThatDoesNotExist) {
  std::string missing = folder_.Child("absent\\orvinta.exe");
  CreateDesktopShortcut(missing.c_str(), folder_.Child("client.lnk").c_str());
  EXPECT_EQ(LinkTarget(Wide(folder_.Child("client.lnk"))), Wide(missing) + L" ");
}

}  // namespace
