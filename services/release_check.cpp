#include "services/release_check.h"

ReleaseCheck CheckRelease(const NarrowString& file_path, const NarrowString& kept_name,
                          const NarrowString& signer_pins, FileVersion min_version,
                          const NarrowString& reference_path) {
  ReleaseCheck check;
  check.signer = CheckSigner(file_path, signer_pins);
  if (check.signer.verdict != SignatureVerdict::kPinned) return check;
  check.identity = ReadFileIdentity(file_path);
  if (!check.identity.has_version) {
    check.verdict = ReleaseVerdict::kNoVersionResource;
  } else if (!IsNamed(check.identity, kept_name)) {
    check.verdict = ReleaseVerdict::kWrongName;
  } else if (check.identity.version < min_version) {
    check.verdict = ReleaseVerdict::kBelowFloor;
  } else {
    check.verdict = ReleaseVerdict::kKept;
  }
  if (check.verdict != ReleaseVerdict::kKept || reference_path.empty()) return check;
  ReleaseCheck reference = CheckRelease(reference_path, kept_name, signer_pins, min_version, "");
  if (reference.verdict != ReleaseVerdict::kKept) return check;
  check.reference_version = reference.identity.version;
  // Equal is current: the same file is served on every run.
  if (check.identity.version < check.reference_version) {
    check.verdict = ReleaseVerdict::kOlderThanReference;
  }
  return check;
}
