#include "tests/test_support.h"

#include <algorithm>
#include <atomic>
#include <cstdio>

ThreadCodePage::ThreadCodePage(LANGID language) : saved_(GetThreadLocale()) {
  SetThreadLocale(MAKELCID(language, SORT_DEFAULT));
}

ThreadCodePage::~ThreadCodePage() { SetThreadLocale(saved_); }

namespace {

void RemoveTree(const std::string& path) {
  WIN32_FIND_DATAA entry;
  HANDLE search = FindFirstFileA((path + "\\*").c_str(), &entry);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      std::string name = entry.cFileName;
      if (name == "." || name == "..") continue;
      std::string child = path + "\\" + name;
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(child);
      } else {
        DeleteFileA(child.c_str());
      }
    } while (FindNextFileA(search, &entry));
    FindClose(search);
  }
  RemoveDirectoryA(path.c_str());
}

}  // namespace

ScratchFolder::ScratchFolder() {
  static std::atomic<int> counter{0};
  char temp[MAX_PATH];
  DWORD length = GetTempPathA(MAX_PATH, temp);
  std::string base(temp, length);
  if (!base.empty() && base.back() == '\\') base.pop_back();
  path_ = base + "\\t-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++);
  RemoveTree(path_);
  CreateDirectoryA(path_.c_str(), nullptr);
}

ScratchFolder::~ScratchFolder() { RemoveTree(path_); }

std::vector<std::string> ScratchFolder::Entries() const {
  std::vector<std::string> names;
  WIN32_FIND_DATAA entry;
  HANDLE search = FindFirstFileA((path_ + "\\*").c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    std::string name = entry.cFileName;
    if (name != "." && name != "..") names.push_back(name);
  } while (FindNextFileA(search, &entry));
  FindClose(search);
  std::sort(names.begin(), names.end());
  return names;
}

std::string Text(const NarrowString& text) { return std::string(text.c_str(), text.length()); }

std::string ReadFileBytes(const std::string& path) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return "<missing>";
  std::string bytes;
  char buffer[4096];
  size_t count;
  while ((count = std::fread(buffer, 1, sizeof(buffer), file)) > 0) bytes.append(buffer, count);
  std::fclose(file);
  return bytes;
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return;
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
}

bool IsDirectory(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}
