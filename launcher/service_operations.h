#pragma once

#include <windows.h>
#include <shlobj.h>

#include <cstdint>

#include "launcher/strings.h"

// The operations the run performs on the system, implemented in services/.
// Each reports failure only through its result (a failed string operation
// ends the process: RaiseStringError), and each releases every handle it
// opened before it returns.

// Bytes received (0 or more), or one of the negative stage codes below.
using DownloadResult = std::int32_t;
constexpr DownloadResult kSessionFailed = -1;  // InternetOpenA failed.
// No (secure) connection, no answer in time, no 2xx, no headers or a malformed length.
constexpr DownloadResult kRequestFailed = -2;
constexpr DownloadResult kFileOpenFailed = -3;  // The temporary file could not be created.
constexpr DownloadResult kReadFailed =
    -4;  // A read failed; cut short, stalled, too slow or too long.
constexpr DownloadResult kFileWriteFailed = -5;   // Writing or moving the local file failed.
constexpr DownloadResult kSignatureRefused = -6;  // Not signed by a pinned key.
constexpr DownloadResult kWrongProgram = -7;  // Signed, but not the program of its name (below).
// Not a failure: the download was signed and of the right program, but older
// than the verified file already at the target, which stays and is current.
constexpr DownloadResult kInstalledIsNewer = -8;
// The body does not start like a Windows program (MZ, then PE\0\0 where it
// points): an error page served as a program, say.
constexpr DownloadResult kNotAProgram = -9;

// The largest body a download can report.
constexpr DownloadResult kLargestDownload = INT32_MAX;

// What a server can cost a download, so that every download ends in bounded
// time and space. The answer's status and headers must arrive within one
// window of `stall_seconds` after the request; from then on every window
// must bring at least `min_rate` x `stall_seconds` bytes of body, except
// the one in which the body ends; and the body may not pass `max_bytes`.
// A download makes at most `attempts` attempts, each held to those rules,
// with at most kMostRetryWaitSeconds of waits between them in all.
struct DownloadLimits {
  std::int32_t stall_seconds;  // 1 to 3600.
  std::int32_t min_rate;       // Bytes a second, at least 1.
  DownloadResult max_bytes;    // 1 to kLargestDownload.
  std::int32_t attempts = 3;   // 1 to kMostAttempts.
};
constexpr std::int32_t kMostAttempts = 3;
constexpr std::int32_t kMostRetryWaitSeconds = 10;

// A file version as VS_FIXEDFILEINFO holds it: four 16-bit parts, most
// significant first, so that numeric order is version order (1.10 > 1.2).
using FileVersion = std::uint64_t;
constexpr FileVersion MakeFileVersion(std::uint16_t major, std::uint16_t minor, std::uint16_t build,
                                      std::uint16_t revision) {
  return (FileVersion{major} << 48) | (FileVersion{minor} << 32) | (FileVersion{build} << 16) |
         revision;
}
// No floor: any version will do.
constexpr FileVersion kAnyVersion = 0;

// What a download sends to get a body only when it changed: the header lines
// If-None-Match and If-Modified-Since, made from the ETag (weak ones too) and
// the Last-Modified of the answer that brought the body, each exactly as the
// server sent it; a server answers them with 304 Not Modified while the body
// is unchanged. Empty: none.
using DownloadConditions = NarrowString;

// The SHA-256 of a body, computed as its bytes were written; `known` is
// false when none was (no body yet, or the CryptoAPI failed).
struct BodyDigest {
  bool known = false;
  BYTE bytes[32] = {};
};

// What ended an attempt of a download, for the run's record; its result
// alone says whether the file was kept.
enum class DownloadEnd : std::uint8_t {
  kKept,               // The body was kept, or on a 304 the file as it was.
  kNoSession,          // No WinINet, transfer or session.
  kNoConnection,       // No (secure) connection: `error` is WinINet's.
  kNoAnswer,           // No status and headers within a window.
  kBadStatus,          // `status` is no 2xx, or a 304 to no condition or file.
  kNoHeaders,          // No status line, or one without headers.
  kMalformedLength,    // A Content-Length that is not a plain number.
  kRedirectedToHttp,   // An https URL answered over plain http.
  kTempFile,           // The temporary file could not be made.
  kStalled,            // A window brought no byte, after `received`.
  kTooSlow,            // A window brought only `window_bytes`.
  kPastCap,            // The body, or its announced length, passed the cap.
  kCutShort,           // Only `received` of `expected` announced bytes came.
  kReadError,          // A read failed (a reset, say) after `received`.
  kWriteFailed,        // Writing, closing or moving the file failed.
  kNotSigned,          // Not signed by a pinned key.
  kNoVersionResource,  // Signed, but it says nothing of what it is.
  kWrongName,          // Its OriginalFilename is `name`.
  kBelowFloor,         // Its version, `version`, is below the floor.
  kOlder,              // Older than the verified file on disk, which stays.
  kNoPeImage,          // The body does not start like a Windows program.
  kBadRange,           // `status` (a 206 or 416) does not continue byte `received`.
};

// What one attempt of a download saw.
struct AttemptReport {
  DownloadResult result = kSessionFailed;
  DownloadEnd end = DownloadEnd::kNoSession;
  std::uint32_t status = 0;        // The answer's HTTP status, once one came.
  std::uint32_t received = 0;      // Bytes of the whole body in hand.
  std::uint32_t expected = 0;      // The whole body's announced length, when cut short.
  std::uint32_t window_bytes = 0;  // What the window that was too slow brought.
  DWORD error = 0;                 // WinINet's error, when no connection.
  std::int32_t retry_after = -1;   // The seconds a Retry-After asked for; -1: none.
};

// Why a body an earlier run left in "<file>.partial" was dropped.
enum class PartialDrop : std::uint8_t {
  kNone,
  kChanged,        // Its bytes on disk no longer hash as recorded.
  kIdle,           // No progress in two runs that downloaded it.
  kOld,            // No progress for a week.
  kNotContinued,   // Its Range was answered `dropped_status`: another body, or none.
  kNotDownloaded,  // The run did not download that file.
};

// What a download saw, beside its result: its last attempt's report, and
// those of the attempts that were followed by another, in order.
struct DownloadReport : AttemptReport {
  // A 304 to the conditions sent: the file at the target was kept as it was.
  bool revalidated = false;
  // The file at the target was in use (a running updater, say) and was
  // moved aside for the new one.
  bool moved_aside = false;
  // The conditions that ask for the body of this answer (a 2xx or a 304)
  // again only when it changed; empty when it had no validator.
  DownloadConditions conditions;
  // The kept body's, whole (a resumed one's too), when it came with
  // conditions to keep; unknown otherwise and on a 304.
  BodyDigest digest;
  // Continued from this byte of a body an earlier run left; 0: none.
  std::uint32_t continued_from = 0;
  // A body an earlier run left, dropped, and why.
  PartialDrop partial_dropped = PartialDrop::kNone;
  std::uint32_t dropped_status = 0;
  // Bytes kept in "<file>.partial" for the next run, of `partial_length`;
  // all of them when the whole body was held where it was to be placed.
  std::uint32_t partial_kept = 0;
  std::uint32_t partial_length = 0;
  // The good copy a failed replace had kept as "<file>.previous" was put back.
  bool put_back = false;
  NarrowString name;        // The OriginalFilename, when wrongly named.
  FileVersion version = 0;  // The file's version, when below the floor.
  std::int32_t retried_count = 0;
  AttemptReport retried[kMostAttempts - 1];
};

// What TakeLaunchLock found of the machine's one launch at a time.
enum class LaunchLock : std::uint8_t {
  kTaken,        // This run holds it until its process ends.
  kHeld,         // Another launcher's run holds it.
  kUnavailable,  // None can be had: the name is another's, or the system refused.
};

// Takes the machine-wide launch lock (kLaunchMutexName), a mutex that only
// administrators may own or open, and holds it for the rest of the process,
// which passes it to no child. One that exists but that administrators do
// not own (made first by another user) is no lock: kUnavailable.
LaunchLock TakeLaunchLock();

// Returns the "INSTALL" value of the product key under HKLM, or an empty
// string when there is none or it is unreadable, of the wrong type, longer
// than 1024 bytes or not NUL-terminated. Stops at the first NUL.
NarrowString ReadInstallPath();

// Initialises COM on this thread (single-threaded apartment). True when COM
// is usable, including when it was already initialised. The caller balances
// each true with one UninitializeCom.
bool InitializeCom();

// Balances one successful InitializeCom.
void UninitializeCom();

// Returns the known folder's path in the thread's code page, or an empty
// string when the lookup fails. The shell's buffer is freed before returning.
NarrowString GetKnownFolderPath(REFKNOWNFOLDERID folder);

// Creates every level of `path` (backslash-separated), outermost first.
// Levels that exist or cannot be created do not stop the rest. Paths longer
// than 254 bytes create nothing.
void CreateDirectoryChain(NarrowString path);

// GETs `url` (direct connection, fetched from the server and kept in no
// cache; an https URL must pass WinINet's certificate checks and must not be
// redirected to plain http) and stores the body at `file_path`. A download
// that breaks `limits` fails: kRequestFailed when no answer came in time,
// kReadFailed when the body stalled, came too slowly or grew too long (an
// announced length past the cap fails before any file is created); it is
// given up on at most two windows after the feed slowed. A download given
// up on before its answer ended returns at once, however long the server
// goes on: it leaves its session and request open, and WinINet may go on
// with an operation given up on, without harm, for the rest of the process.
// A failure that another attempt may not meet (no connection, a reset or a
// body cut short, a 5xx, 408 or 429) is tried again, up to
// `limits.attempts` in all: 1 s later, then 2 s, or after the seconds a
// Retry-After asks for, but never when the waits would pass
// kMostRetryWaitSeconds. After no connection at all (the name did not
// resolve, nothing accepted, or a reset before any answer) the next attempt
// comes at once, and it and the rest of the download go through the
// system's proxy settings (INTERNET_OPEN_TYPE_PRECONFIG). A body broken
// off under a strong ETag or a Last-Modified is continued with Range and
// If-Range, and only a 206 that continues exactly that body is appended to
// it; any other answer drops it. The body is written to
// "<file_path>.partial"; one with a known length under such a validator is
// flushed and checkpointed under kPartialsKey at least every second or
// megabyte, whichever is longer, and when its download fails, so that a
// later run (even after a kill or a power cut) continues it from its last
// checkpoint when those bytes still hash as recorded (report->continued_from,
// report->partial_kept; why one was dropped: report->partial_dropped).
// The file is replaced only when the whole body arrived with a 2xx status
// and starts like a Windows program (else kNotAProgram) as long as its
// headers say (else kReadFailed, cut short), and only once it is flushed to
// disk. A file in use at `file_path` is moved aside for it
// (report->moved_aside); a new file held by another process is waited for a
// few seconds, after which it fails with kFileWriteFailed and stays whole
// for the next run, which asks for it with its own conditions and puts it
// in place on a 304. What earlier downloads moved aside is removed once
// nothing holds it, and a good copy a failed replace could not put back
// ("<file_path>.previous") is put back first (report->put_back).
// Non-empty `conditions` (those kept with the file now at `file_path`) are
// sent with the request; a 304 to them keeps that file as it is, counts as a
// download of its size and sets `report->revalidated`. A 304 to a request
// without conditions, or with no file at `file_path`, is kRequestFailed.
// `report` receives the conditions for the answer's body. Whenever the file
// is not replaced, an existing file keeps its content, and nothing is left
// beside it but a "<file_path>.partial" kept for the next run.
DownloadResult DownloadToFile(const NarrowString& url, const NarrowString& file_path,
                              const DownloadConditions& conditions, const DownloadLimits& limits,
                              DownloadReport* report);

// DownloadToFile for a signed build: the whole body, or on a 304 the file
// kept at `file_path`, is kept only when it is also the publisher's current
// program of its name (CheckRelease): signed by one of `signer_pins` (64
// lowercase hex digits per pin, the SHA-256 of a key's DER
// SubjectPublicKeyInfo, back to back; at least one), else
// kSignatureRefused; with a version resource whose OriginalFilename is the
// file name of `file_path` and whose version is at least `min_version`, else
// kWrongProgram; and, for a body, not older than a verified file already at
// `file_path`, else kInstalledIsNewer. A refused file at `file_path` stays
// as it is. A separate operation so that a build without pins carries none
// of this.
DownloadResult DownloadReleaseToFile(const NarrowString& url, const NarrowString& file_path,
                                     const DownloadConditions& conditions,
                                     const NarrowString& signer_pins, FileVersion min_version,
                                     const DownloadLimits& limits, DownloadReport* report);

// The conditions kept for the file at `file_path` (by its file name, under
// the product key in HKLM), when that file still holds the bytes they were
// kept with (the same SHA-256); empty when none are kept or it does not.
DownloadConditions ReadKeptConditions(const NarrowString& file_path);

// Keeps `conditions` for the file now at `file_path`, tied to `digest`, the
// SHA-256 of its bytes as the download wrote them (the file is not read
// again); with no conditions, an unknown digest or a record that cannot be
// written, removes what was kept for it, so that no condition is ever sent
// for other bytes.
void KeepConditions(const NarrowString& file_path, const DownloadConditions& conditions,
                    const BodyDigest& digest);

// Drops what a run left of a download to `file_path` for the next (the
// file "<file_path>.partial" and its record); true when there was any.
bool DropPartialDownload(const NarrowString& file_path);

// Saves a shell link at `shortcut_path` that points at `target_path` (which
// need not exist). Failures leave no shortcut and are not reported. Needs COM.
void CreateDesktopShortcut(const NarrowString& target_path, const NarrowString& shortcut_path);

// Creates `subkey` under `root`, with its intermediate keys, if it can.
void CreateRegistryKey(HKEY root, const NarrowString& subkey);

// Stores `data` as REG_SZ (its bytes and one NUL) in the existing key
// `subkey` under `root`; an empty `value_name` is the default value. True when
// stored; false when the key does not exist or the write fails.
bool WriteRegistryString(HKEY root, const NarrowString& subkey, const NarrowString& value_name,
                         const NarrowString& data);
