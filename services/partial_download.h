#pragma once

#include <windows.h>

#include <cstdint>

#include "launcher/service_operations.h"
#include "services/http_answer.h"
#include "services/sha256.h"

// A body on its way to its target, written to "<target>.partial" from its
// first byte: the next attempt asks only for the rest of it, and so does the
// next run, from the last checkpoint this one recorded (the install folder
// is writable by administrators only, so no one else can change what an
// elevated run continues).

// A body as far as it arrived.
struct PartialBody {
  const NarrowString* target = nullptr;  // The file it is for.
  NarrowString temp_path;                // "<target>.partial".
  const NarrowString* url = nullptr;     // The URL it comes from.
  // Bytes of it the next attempt asks only for the rest of, under
  // `if_range`; 0 when it starts over.
  std::uint32_t kept = 0;
  DownloadConditions if_range;           // "If-Range: <validator>\r\n" of its answer.
  std::int64_t length = kUnknownLength;  // The whole body's, when its answer gave it.
  // The whole body, left by a run that could not put it in place: asked
  // for again with its own conditions, and put in place on a 304.
  bool whole = false;
  // The SHA-256 of the first `kept` bytes (of all of them when `whole`),
  // carried on as the body is written, when `hashing`.
  Sha256 sha;
  bool hashing = false;
  // Whether this download took up the file and its record, or wrote to it:
  // only then does it keep or drop them at its end.
  bool owned = false;
  // The checkpoint an earlier run left (0: none), and what its record said.
  std::uint32_t taken_up = 0;
  std::uint32_t idle_runs = 0;
  FILETIME progress = {};
  // The last checkpoint this run recorded, and when (GetTickCount64).
  std::uint32_t checkpoint = 0;
  ULONGLONG checkpoint_tick = 0;
};

// The head of a partial's record: a REG_BINARY value under
// kPartialsKey, named by the target's file name, followed by the URL, the
// If-Range line and the body's conditions, each ended by a NUL.
struct PartialRecord {
  std::uint32_t checkpoint;  // Bytes of the file flushed to disk and hashed.
  std::uint32_t length;      // The whole body's.
  BYTE sha256[32];           // Of the first `checkpoint` bytes.
  FILETIME progress;         // When the checkpoint last grew (UTC).
  std::uint32_t idle_runs;   // Runs since that downloaded it without progress.
  std::uint32_t whole;       // 1: the whole body, which was held when it was to be placed.
};

// The most checkpoints may lag behind the bytes written: a second of
// transfer or a megabyte, whichever is more.
constexpr ULONGLONG kCheckpointMs = 1000;
constexpr std::uint32_t kCheckpointBytes = 1024 * 1024;
// A partial idle for this long, or for this many runs that downloaded it, is dropped.
constexpr ULONGLONG kPartialLifetime100ns = 7ULL * 24 * 3600 * 10000000;
constexpr std::uint32_t kMostIdleRuns = 2;

// Sets up `partial` for a download of `url` to `file_path` (both outlive
// it), and takes up
// what an earlier run left for it from that URL: a body cut off, when the
// bytes up to its checkpoint still hash as recorded (the file is truncated
// there and report->conditions are its body's), or a whole body that was
// held. A partial that changed, or made no progress for a week, is dropped
// (report->partial_dropped); one from another URL is left alone.
void TakeUpPartial(const NarrowString& url, const NarrowString& file_path, PartialBody* partial,
                   DownloadReport* report);

// True when the body in `partial` can be continued by a later run: under
// an If-Range validator, with a known whole length of which more than the
// `kept` bytes are to come, and hashed.
bool OutlivesItsRun(const PartialBody& partial);

// Records that the first `bytes` of the partial, flushed to disk, hash to
// `digest`, with `conditions`, the body's own: a checkpoint the next run
// continues from (the whole body when `whole`). A checkpoint past the one
// taken up is progress; any other counts one more run without it.
void RecordCheckpoint(PartialBody* partial, std::uint32_t bytes, const BodyDigest& digest,
                      const DownloadConditions& conditions, bool whole);

// Forgets the partial's record, so that no run continues the bytes in the
// file; the file stays.
void ForgetCheckpoint(const PartialBody& partial);

// Notes that a body an earlier run left was not continued by an answer of
// `status` (report->partial_dropped), and forgets any checkpoint: what
// follows starts over.
void NoteNotContinued(std::uint32_t status, PartialBody* partial, DownloadReport* report);

// Ends the partial with its download: when `keep` (bytes that outlive the
// run, or a whole body held) the file and record stay for the next run,
// unless this run made no progress on them and none was made in the run
// before either (report->partial_dropped); otherwise both go. A partial
// the download never owned stays as it is.
void SettlePartial(PartialBody* partial, bool keep, DownloadReport* report);
