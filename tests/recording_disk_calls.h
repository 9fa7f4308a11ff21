#pragma once

#include <functional>
#include <string>
#include <vector>

// The services tests' stand-ins for services/disk_calls.cpp: each call goes
// through to the system, after it is noted in order; a move can be refused.
struct DiskCalls {
  // "flush <bytes in the file> (record at <checkpoint recorded then>)" and
  // "move <from file name> -> <to file name>", in order.
  std::vector<std::string> log;
  // Refuses (ERROR_ACCESS_DENIED) each move it returns true for, by file names.
  std::function<bool(const std::string& from, const std::string& to)> refuse_move;
};
extern DiskCalls disk_calls;
