#pragma once

#include <windows.h>
#include <tlhelp32.h>

// Calls `visit` with the file name of each running process of the prefix;
// false when no snapshot could be taken.
template <typename Visit>
bool ForEachProcess(Visit visit) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return false;
  PROCESSENTRY32 entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
    visit(entry.szExeFile);
  }
  CloseHandle(snapshot);
  return true;
}
