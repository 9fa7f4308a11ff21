#include "services/download_body.h"

#include <cstdio>

#include "services/disk_calls.h"
#include "services/download_attempt.h"
#include "services/program_image.h"
#include "services/scoped_handles.h"

namespace {

// Opens the partial body's file for writing, its end set at `start`; null
// when it cannot be.
UniqueKernelHandle OpenPartialAt(const NarrowString& path, std::uint32_t start) {
  HANDLE opened = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  UniqueKernelHandle file(opened == INVALID_HANDLE_VALUE ? nullptr : opened);
  LARGE_INTEGER at;
  at.QuadPart = start;
  if (file != nullptr &&
      (!SetFilePointerEx(file.get(), at, nullptr, FILE_BEGIN) || !SetEndOfFile(file.get()))) {
    file.reset();
  }
  return file;
}

// Flushes the first `bytes` of the body to disk and records them as the
// point the next run continues from, when it can continue this body at all.
void Checkpoint(HANDLE file, std::uint32_t bytes, const DownloadReport& report,
                PartialBody* partial) {
  BodyDigest digest;
  if (!OutlivesItsRun(*partial) || !FlushToDisk(file)) return;
  DigestSoFar(partial->sha, &digest);
  RecordCheckpoint(partial, bytes, digest, report.conditions, false);
}

// Writes the body after the partial->kept bytes already in `file` and
// returns the whole body's size, or a negative code; hashes what it writes
// into partial->sha while partial->hashing. `*ended` tells whether the body
// was read to its end; when a wait was given up on, `*outstanding` is true.
DownloadResult ReceiveBytes(const WinInetApi& wininet, HINTERNET request, HANDLE file,
                            std::int64_t announced_length, const DownloadLimits& limits,
                            Transfer* transfer, PartialBody* partial, DownloadReport* report,
                            bool* ended, bool* outstanding) {
  const std::uint32_t start = partial->kept;
  const ULONGLONG window_ms = 1000ULL * static_cast<ULONGLONG>(limits.stall_seconds);
  const std::int64_t quota = std::int64_t{limits.min_rate} * limits.stall_seconds;
  Pace pace{window_ms, quota, GetTickCount64() + window_ms, 0};
  // The running total of the whole body: at most max_bytes plus one read,
  // well within 32 bits.
  std::uint32_t& total = report->received;
  total = start;
  for (;;) {
    const Taken taken = TakeArrivedBytes(wininet, request, transfer, &pace);
    if (taken == Taken::kFailed) return Ended(report, DownloadEnd::kReadError, kReadFailed);
    *outstanding = taken == Taken::kOutOfPace;  // Stalled or too slow: the wait goes on.
    // The window in which the body ends need not be full; those before it must.
    const ULONGLONG now = GetTickCount64();
    if (*outstanding || !KeepsPace(&pace, now)) {
      report->window_bytes = static_cast<std::uint32_t>(pace.window_bytes);
      return Ended(report, pace.window_bytes == 0 ? DownloadEnd::kStalled : DownloadEnd::kTooSlow,
                   kReadFailed);
    }
    if (taken == Taken::kEnd) break;
    const DWORD count = transfer->read.dwBufferLength;
    if (total + count > static_cast<std::uint32_t>(limits.max_bytes)) {
      return Ended(report, DownloadEnd::kPastCap, kReadFailed);
    }
    DWORD written = 0;
    if (!WriteFile(file, transfer->buffer, count, &written, nullptr) || written != count) {
      return Ended(report, DownloadEnd::kWriteFailed, kFileWriteFailed);
    }
    partial->hashing = partial->hashing && AddToSha256(&partial->sha, transfer->buffer, count);
    total += count;
    pace.window_bytes += count;
    if (total - partial->checkpoint >= kCheckpointBytes &&
        now - partial->checkpoint_tick >= kCheckpointMs) {
      Checkpoint(file, total, *report, partial);
    }
  }
  *ended = true;
  // WinINet reports a connection the server closed early as a normal end,
  // and a chunked body cut after a whole chunk too: a program is as long as
  // its headers say.
  std::uint64_t expected = announced_length != kUnknownLength ? start + announced_length : 0;
  if (expected <= total) {
    // The file is open for writing only: its head is read through a stream.
    UniqueFile reader(std::fopen(partial->temp_path.c_str(), "rb"));
    const std::size_t head =
        reader == nullptr ? 0 : std::fread(transfer->buffer, 1, kTransferBufferSize, reader.get());
    expected = ProgramImageEnd(reinterpret_cast<unsigned char*>(transfer->buffer),
                               static_cast<std::uint32_t>(head));
  }
  if (expected > total) {
    report->expected = static_cast<std::uint32_t>(expected < UINT32_MAX ? expected : UINT32_MAX);
    return Ended(report, DownloadEnd::kCutShort, kReadFailed);
  }
  return static_cast<DownloadResult>(total);  // At most max_bytes.
}

}  // namespace

DownloadResult ReceiveBody(const WinInetApi& wininet, HINTERNET request,
                           std::int64_t announced_length, const DownloadLimits& limits,
                           Transfer* transfer, PartialBody* partial, DownloadReport* report,
                           bool* ended, bool* outstanding) {
  if (partial->kept == 0) {
    // A body from its first byte: what was recorded of another is forgotten
    // before any of its bytes is overwritten. Only a body kept with
    // validators needs its hash, for the next run's 304 and for checkpoints.
    ForgetCheckpoint(*partial);
    partial->owned = true;
    partial->checkpoint = partial->taken_up = 0;
    partial->hashing = !report->conditions.empty() && StartSha256(&partial->sha);
  }
  UniqueKernelHandle file = OpenPartialAt(partial->temp_path, partial->kept);
  if (file == nullptr) return Ended(report, DownloadEnd::kTempFile, kFileOpenFailed);
  partial->checkpoint_tick = GetTickCount64();
  const DownloadResult result = ReceiveBytes(wininet, request, file.get(), announced_length, limits,
                                             transfer, partial, report, ended, outstanding);
  if (result >= 0) {
    // On disk before it replaces anything: a power cut then leaves the old
    // file or the new one, never a torn one.
    if (!FlushToDisk(file.get()) || !CloseHandle(file.release())) {
      return Ended(report, DownloadEnd::kWriteFailed, kFileWriteFailed);
    }
    if (partial->hashing) DigestSoFar(partial->sha, &report->digest);
    partial->kept = 0;
    return result;
  }
  const DownloadEnd end = report->end;
  const bool broken = end == DownloadEnd::kReadError || end == DownloadEnd::kCutShort ||
                      end == DownloadEnd::kStalled || end == DownloadEnd::kTooSlow;
  partial->kept = broken && !partial->if_range.empty() ? report->received : 0;
  if (partial->kept > partial->checkpoint) Checkpoint(file.get(), partial->kept, *report, partial);
  return result;
}
