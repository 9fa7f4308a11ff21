// release_check: says, for each file a publisher is about to upload, what
// every signed launcher will do with it, by running the launcher's own check
// (CheckRelease) on it. scripts/check-release.sh runs it under Wine; on
// Windows it runs by itself, and WinVerifyTrust there checks the chain too.
//
// Usage: release_check --pins "PIN[;PIN]" [--updater-min-version V]
//            [--updater FILE] [--client FILE] [--live-updater FILE] [--live-client FILE]
// Prints one line per file, and a note on an updater whose manifest requests
// no execution level; exits 0 when every upload would be kept, 1 when one
// would not, 2 on a usage error.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "launcher/service_operations.h"
#include "launcher/strings.h"
#include "services/program_image.h"
#include "services/release_check.h"

namespace {

constexpr char kUsage[] =
    "usage: release_check --pins \"PIN[;PIN]\" [--updater-min-version V] [--updater FILE] "
    "[--client FILE] [--live-updater FILE] [--live-client FILE]\n";

int UsageError(const char* message, const char* detail) {
  std::fprintf(stderr, "release_check: %s%s\n%s", message, detail, kUsage);
  return 2;
}

// "a;b" -> the pins back to back in lowercase, as a launcher holds them;
// false unless each is 64 hex digits.
bool ParsePins(const char* text, NarrowString* pins) {
  NarrowString parsed;
  const char* at = text;
  for (;;) {
    int digits = 0;
    char pin[kSignerPinLength + 1] = {};
    for (; *at != '\0' && *at != ';'; ++at, ++digits) {
      char c = *at;
      if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
      if (digits >= kSignerPinLength || !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
        return false;
      }
      pin[digits] = c;
    }
    if (digits != kSignerPinLength) return false;
    parsed = parsed + pin;
    if (*at == '\0') break;
    ++at;
  }
  *pins = parsed;
  return true;
}

// "1.2" -> 1.2.0.0; false unless 1 to 4 dot-separated numbers of 0 to 65535.
bool ParseVersion(const char* text, FileVersion* version) {
  unsigned parts[4] = {};
  int count = 0;
  const char* at = text;
  for (;;) {
    if (count == 4 || *at < '0' || *at > '9') return false;
    unsigned value = 0;
    for (; *at >= '0' && *at <= '9'; ++at) {
      value = value * 10 + static_cast<unsigned>(*at - '0');
      if (value > 0xFFFF) return false;
    }
    parts[count++] = value;
    if (*at == '\0') break;
    if (*at++ != '.') return false;
  }
  *version =
      MakeFileVersion(static_cast<std::uint16_t>(parts[0]), static_cast<std::uint16_t>(parts[1]),
                      static_cast<std::uint16_t>(parts[2]), static_cast<std::uint16_t>(parts[3]));
  return true;
}

void PrintVersion(FileVersion version) {
  std::printf("%u.%u.%u.%u", static_cast<unsigned>(version >> 48 & 0xFFFF),
              static_cast<unsigned>(version >> 32 & 0xFFFF),
              static_cast<unsigned>(version >> 16 & 0xFFFF),
              static_cast<unsigned>(version & 0xFFFF));
}

// False when the file at `path` cannot be opened for reading at all.
bool CanRead(const char* path) {
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  CloseHandle(file);
  return true;
}

// Prints why the signature was refused, after "refused: ".
void PrintSignerReason(const SignerCheck& signer) {
  switch (signer.verdict) {
    case SignatureVerdict::kNoSignature:
      std::printf("no signature");
      break;
    case SignatureVerdict::kAltered:
      std::printf("altered (changed since it was signed)");
      break;
    case SignatureVerdict::kNotPinned:
      std::printf("not a pinned signer (signer pin %s)", signer.signer_pin.c_str());
      break;
    case SignatureVerdict::kPinned:
    case SignatureVerdict::kRefused:
      std::printf("signature not accepted (WinVerifyTrust 0x%08lx)",
                  static_cast<unsigned long>(signer.trust_status));
      break;
  }
}

// Prints what a launcher makes of the file `check` is about, kept under
// `kept_name`; true when it would be kept.
bool PrintVerdict(const ReleaseCheck& check, const NarrowString& kept_name,
                  FileVersion min_version) {
  const FileVersion version = check.identity.version;
  switch (check.verdict) {
    case ReleaseVerdict::kKept:
      std::printf("kept as %s (version ", kept_name.c_str());
      PrintVersion(version);
      std::printf(", signer pin %s)\n", check.signer.signer_pin.c_str());
      return true;
    case ReleaseVerdict::kSignerRefused:
      std::printf("refused: ");
      PrintSignerReason(check.signer);
      break;
    case ReleaseVerdict::kNoVersionResource:
      std::printf("refused: no version resource");
      break;
    case ReleaseVerdict::kWrongName:
      std::printf("refused: named %s (OriginalFilename must be %s)",
                  check.identity.original_filename == nullptr
                      ? "nothing"
                      : ToNarrow(check.identity.original_filename.get()).c_str(),
                  kept_name.c_str());
      break;
    case ReleaseVerdict::kBelowFloor:
      std::printf("refused: below the floor ");
      PrintVersion(min_version);
      std::printf(" (version ");
      PrintVersion(version);
      std::printf(")");
      break;
    case ReleaseVerdict::kOlderThanReference:
      std::printf("refused: older than the live version ");
      PrintVersion(check.reference_version);
      std::printf(" (version ");
      PrintVersion(version);
      std::printf("); players' launchers keep the live %s and still start it", kept_name.c_str());
      break;
  }
  std::printf("\n");
  return false;
}

// Checks the file at `path` as a launcher checks a download that would
// replace `live_path` (empty: nothing) and prints the verdict.
bool CheckAndPrint(const char* path, const NarrowString& kept_name, const NarrowString& pins,
                   FileVersion min_version, const char* live_path) {
  // The launcher's own first check: a file that is no program never replaces one.
  if (!StartsLikeAProgram(path)) {
    std::printf(CanRead(path) ? "refused: no PE image (not a Windows program)\n"
                              : "refused: cannot be read\n");
    return false;
  }
  return PrintVerdict(CheckRelease(path, kept_name, pins, min_version, live_path), kept_name,
                      min_version);
}

// True when the program at `path` has a manifest (resource 1 of
// RT_MANIFEST) that names a requestedExecutionLevel.
bool RequestsExecutionLevel(const char* path) {
  HMODULE image =
      LoadLibraryExA(path, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (image == nullptr) return false;
  static constexpr char kLevel[] = "requestedExecutionLevel";
  HRSRC found = FindResourceA(image, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
  HGLOBAL loaded = found != nullptr ? LoadResource(image, found) : nullptr;
  const char* text = loaded != nullptr ? static_cast<const char*>(LockResource(loaded)) : nullptr;
  const char* end = text != nullptr ? text + SizeofResource(image, found) : nullptr;
  const bool requests =
      text != nullptr && std::search(text, end, kLevel, kLevel + sizeof(kLevel) - 1) != end;
  FreeLibrary(image);
  return requests;
}

// Windows takes a 32-bit program whose name holds "update" and whose
// manifest requests no execution level for an installer: says so of such
// an upload, which is no refusal.
void NoteExecutionLevel(const char* role, const char* path, const NarrowString& kept_name) {
  if (std::strstr(kept_name.c_str(), "update") == nullptr || !StartsLikeAProgram(path) ||
      RequestsExecutionLevel(path)) {
    return;
  }
  std::printf(
      "%s: note: its manifest has no requestedExecutionLevel, so Windows takes a 32-bit "
      "program named %s for an installer and asks for elevation whenever it starts "
      "unelevated (as the URL protocol starts it from a browser); give it "
      "<requestedExecutionLevel level=\"asInvoker\"/> or the level it needs\n",
      role, kept_name.c_str());
}

// A live file that a launcher would not have kept is no reference: says so,
// since players' launchers then keep any upload that passes the other checks.
void ReportLiveFile(const char* role, const char* path, const NarrowString& kept_name,
                    const NarrowString& pins, FileVersion min_version) {
  if (StartsLikeAProgram(path) &&
      CheckRelease(path, kept_name, pins, min_version, "").verdict == ReleaseVerdict::kKept) {
    return;
  }
  std::printf("live %s: no reference to compare with, since a launcher would not keep it: ", role);
  CheckAndPrint(path, kept_name, pins, min_version, "");
}

// The verdict line on one upload; true when it would be kept.
bool ReportUpload(const char* role, const char* path, const NarrowString& kept_name,
                  const NarrowString& pins, FileVersion min_version, const char* live_path) {
  if (live_path != nullptr) ReportLiveFile(role, live_path, kept_name, pins, min_version);
  std::printf("%s: ", role);
  const bool kept =
      CheckAndPrint(path, kept_name, pins, min_version, live_path != nullptr ? live_path : "");
  NoteExecutionLevel(role, path, kept_name);
  return kept;
}

}  // namespace

int main(int argc, char** argv) {
  const char* pins_text = nullptr;
  const char* min_version_text = nullptr;
  const char* updater = nullptr;
  const char* client = nullptr;
  const char* live_updater = nullptr;
  const char* live_client = nullptr;
  for (int i = 1; i < argc; i += 2) {
    const char* option = argv[i];
    const char** value = std::strcmp(option, "--pins") == 0                  ? &pins_text
                         : std::strcmp(option, "--updater-min-version") == 0 ? &min_version_text
                         : std::strcmp(option, "--updater") == 0             ? &updater
                         : std::strcmp(option, "--client") == 0              ? &client
                         : std::strcmp(option, "--live-updater") == 0        ? &live_updater
                         : std::strcmp(option, "--live-client") == 0         ? &live_client
                                                                             : nullptr;
    if (value == nullptr) return UsageError("unknown option ", option);
    if (i + 1 >= argc) return UsageError("no value after ", option);
    *value = argv[i + 1];
  }
  NarrowString pins;
  if (pins_text == nullptr) return UsageError("--pins is required", "");
  if (!ParsePins(pins_text, &pins)) {
    return UsageError(
        "--pins must be pins of 64 hex digits separated by ';' "
        "(scripts/signer-pin.sh prints the pin of a certificate or signed file): ",
        pins_text);
  }
  FileVersion min_version = kAnyVersion;
  if (min_version_text != nullptr && !ParseVersion(min_version_text, &min_version)) {
    return UsageError(
        "--updater-min-version must be 1 to 4 numbers from 0 to 65535 "
        "separated by dots: ",
        min_version_text);
  }
  if (updater == nullptr && client == nullptr) {
    return UsageError("nothing to check: give --updater, --client or both", "");
  }
  if ((live_updater != nullptr && updater == nullptr) ||
      (live_client != nullptr && client == nullptr)) {
    return UsageError("a live file needs the upload it is compared with", "");
  }
  bool all_kept = true;
  if (updater != nullptr) {
    all_kept &= ReportUpload("updater", updater, "updater.exe", pins, min_version, live_updater);
  }
  if (client != nullptr) {
    all_kept &= ReportUpload("client", client, "orvinta.exe", pins, kAnyVersion, live_client);
  }
  return all_kept ? 0 : 1;
}
