#pragma once

#include "launcher/service_operations.h"
#include "launcher/strings.h"
#include "services/file_identity.h"
#include "services/signer_check.h"

// Whether a file is the publisher's current program of its name: the rule a
// signed launcher applies to every download, and the one scripts/
// check-release.sh runs on a release before it is uploaded.

enum class ReleaseVerdict {
  kKept,                // Signed by a pinned key, and the current program of its name.
  kSignerRefused,       // See ReleaseCheck::signer for why.
  kNoVersionResource,   // Signed, but says nothing of what it is.
  kWrongName,           // OriginalFilename is not the name it would be kept under.
  kBelowFloor,          // Its version is below the build's floor.
  kOlderThanReference,  // Older than the verified file it would replace.
};

struct ReleaseCheck {
  ReleaseVerdict verdict = ReleaseVerdict::kSignerRefused;
  SignerCheck signer;
  FileIdentity identity;  // Read once the signer is pinned.
  // The version of the file it would replace, when that file passed the
  // same checks and is newer (kOlderThanReference); 0 otherwise.
  FileVersion reference_version = 0;
};

// Checks the closed file at `file_path` as the file to be kept under
// `kept_name` (e.g. "updater.exe"): it must be signed by one of
// `signer_pins` (CheckSigner), have a version resource whose OriginalFilename
// is `kept_name` (ignoring ASCII case) and whose version is at least
// `min_version`, and be no older than the file at `reference_path`, the one
// it would replace. That file counts only when it passes the same checks
// itself, so nothing unsigned or foreign on disk can hold updates back. An
// empty `reference_path` is no reference. Checks stop at the first failure.
ReleaseCheck CheckRelease(const NarrowString& file_path, const NarrowString& kept_name,
                          const NarrowString& signer_pins, FileVersion min_version,
                          const NarrowString& reference_path);
