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
  // The file it would replace matters only when its version would hold this
  // one back, so its signature, the costly check, is verified only then.
  // Equal is current: the same file is served on every run.
  const FileIdentity reference = ReadFileIdentity(reference_path);
  if (!reference.has_version || reference.version <= check.identity.version) return check;
  if (CheckRelease(reference_path, kept_name, signer_pins, min_version, "").verdict !=
      ReleaseVerdict::kKept) {
    return check;
  }
  check.reference_version = reference.version;
  check.verdict = ReleaseVerdict::kOlderThanReference;
  return check;
}
