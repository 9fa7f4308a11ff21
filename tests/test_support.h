#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "launcher/strings.h"

// Helpers shared by the tests. Real Windows objects only: nothing here fakes
// the system.

// Makes CP_THREAD_ACP the code page of `language` until destroyed.
class ThreadCodePage {
 public:
  explicit ThreadCodePage(LANGID language);
  ~ThreadCodePage();
  ThreadCodePage(const ThreadCodePage&) = delete;
  ThreadCodePage& operator=(const ThreadCodePage&) = delete;

 private:
  LCID saved_;
};

constexpr LANGID kKorean = MAKELANGID(LANG_KOREAN, SUBLANG_KOREAN);        // Code page 949.
constexpr LANGID kEnglish = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);  // Code page 1252.

// A fresh, empty folder below the Windows temp folder, removed with all it
// holds when destroyed.
class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  // The folder's path, without a trailing separator, e.g. C:\users\x\Temp\t-12-3.
  const std::string& path() const { return path_; }
  // path() + "\" + name.
  std::string Child(const std::string& name) const { return path_ + "\\" + name; }
  // Names of the entries directly inside, sorted.
  std::vector<std::string> Entries() const;

 private:
  std::string path_;
};

std::string Text(const NarrowString& text);

// The whole file, or "<missing>" when it cannot be opened.
std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);
bool IsDirectory(const std::string& path);
