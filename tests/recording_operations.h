#pragma once

#include <map>
#include <string>
#include <vector>

#include "launcher/service_operations.h"

// Stand-ins for the system operations and the process calls, linked into the
// run's tests instead of the real ones. Every call is appended to `calls` as
// one readable line; results come from the fields below.
struct RecordingOperations {
  LaunchLock launch_lock = LaunchLock::kTaken;  // What TakeLaunchLock returns.
  // TakeLaunchLock is counted here, not in `calls`: how often it was taken,
  // and how many calls came before the first time.
  int lock_takes = 0;
  size_t calls_before_lock = 0;
  NarrowString install_path;  // What ReadInstallPath returns.
  bool com_initializes = true;
  NarrowString desktop_folder = "C:\\Users\\ana\\Desktop";
  NarrowString program_files_folder = "C:\\Program Files (x86)";
  DownloadResult client_download = 250000;
  DownloadResult updater_download = 4096;
  // What both downloads report, and what ReadKeptConditions returns.
  DownloadReport download_report;
  DownloadConditions kept_conditions;
  bool last_run_write_fails = false;  // WriteRegistryString of LastRun returns false.
  bool partial_left = false;          // DropPartialDownload finds something to drop.
  // Results by URL, before client_download and updater_download.
  std::map<std::string, DownloadResult> by_url;
  std::vector<std::string> calls;
};

// The state the stand-ins read and write; reset it at the start of each test.
extern RecordingOperations recorded;
