#pragma once

#include "launcher/service_operations.h"
#include "launcher/strings.h"

// What a file says it is, from its own version resource (VS_VERSIONINFO).
// An Authenticode signature covers that resource, so for a verified file it
// is as trustworthy as the signature itself.
struct FileIdentity {
  bool has_version = false;      // A version resource with a VS_FIXEDFILEINFO.
  FileVersion version = 0;       // VS_FIXEDFILEINFO's file version.
  WideString original_filename;  // In the first language listed; null when none.
};

// Reads the version resource of the file at `file_path` itself
// (FILE_VER_GET_NEUTRAL: no MUI satellite file can supply it). has_version
// is false when it has none or cannot be read.
FileIdentity ReadFileIdentity(const NarrowString& file_path);

// True when `identity`'s OriginalFilename equals `name`, ignoring ASCII case
// only: no other character matches another.
bool IsNamed(const FileIdentity& identity, const NarrowString& name);
