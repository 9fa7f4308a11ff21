#include "services/partial_download.h"

#include <cstring>

#include "launcher/install_layout.h"
#include "services/scoped_handles.h"

namespace {

constexpr char kPartialEnd[] = ".partial";

// A record as stored: its head, then its three texts.
struct StoredRecord {
  PartialRecord head;
  char texts[2048];  // The URL, and two lines of at most 1200 bytes in all.
};

ULONGLONG Ticks(const FILETIME& time) {
  return (ULONGLONG{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}

// Reads the record kept for `target`, its texts into `texts`; false when
// there is none. Texts cut off end at the buffer's zeros.
bool ReadRecord(const NarrowString& target, StoredRecord* record, const char* texts[3]) {
  DWORD size = sizeof(*record) - 3;
  std::memset(record, 0, sizeof(*record));
  if (RegGetValueA(HKEY_LOCAL_MACHINE, kPartialsKey, FileNameIn(target.c_str()), RRF_RT_REG_BINARY,
                   nullptr, record, &size) != ERROR_SUCCESS ||
      size < sizeof(PartialRecord)) {
    return false;
  }
  const char* at = record->texts;
  for (int index = 0; index < 3; ++index) {
    texts[index] = at;
    at += std::strlen(at) + 1;
  }
  return true;
}

// Hashes the first `checkpoint` bytes of the partial into partial->sha;
// true when they hash to `expected` (and, for a whole body, are all of it).
bool HashesAsRecorded(PartialBody* partial, std::uint32_t checkpoint, bool whole,
                      const BYTE* expected) {
  HANDLE opened = CreateFileA(partial->temp_path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  UniqueKernelHandle file(opened == INVALID_HANDLE_VALUE ? nullptr : opened);
  LARGE_INTEGER size;
  BodyDigest digest;
  if (file == nullptr || !GetFileSizeEx(file.get(), &size) ||
      (whole && size.QuadPart != checkpoint) || !StartSha256(&partial->sha) ||
      !AddFileBytesToSha256(&partial->sha, file.get(), checkpoint)) {
    return false;
  }
  DigestSoFar(partial->sha, &digest);
  return digest.known && std::memcmp(digest.bytes, expected, sizeof(digest.bytes)) == 0;
}

// Drops the partial of `target` and notes why.
void Drop(const NarrowString& target, PartialDrop why, DownloadReport* report) {
  DropPartialDownload(target);
  report->partial_dropped = why;
}

}  // namespace

bool DropPartialDownload(const NarrowString& file_path) {
  const NarrowString partial_path = file_path + kPartialEnd;
  const bool recorded = RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, kPartialsKey,
                                           FileNameIn(file_path.c_str())) == ERROR_SUCCESS;
  // One still held stays until a later run writes over it: it is never
  // scheduled for removal, which could strike a later body of that name.
  return DeleteFileA(partial_path.c_str()) || recorded;
}

void TakeUpPartial(const NarrowString& url, const NarrowString& file_path, PartialBody* partial,
                   DownloadReport* report) {
  partial->target = &file_path;
  partial->temp_path = file_path + kPartialEnd;
  partial->url = &url;
  StoredRecord record;
  const char* texts[3];
  if (!ReadRecord(file_path, &record, texts)) return;
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const PartialRecord& head = record.head;
  // A clock set back makes the record look older still: it goes too.
  if (Ticks(now) - Ticks(head.progress) > kPartialLifetime100ns) {
    return Drop(file_path, PartialDrop::kOld, report);
  }
  if (url != texts[0]) return;  // Another URL's, for a download of that one.
  const bool whole = head.whole != 0;
  if (head.checkpoint == 0 || head.checkpoint > head.length ||
      (whole && head.checkpoint != head.length) ||
      !HashesAsRecorded(partial, head.checkpoint, whole, head.sha256)) {
    return Drop(file_path, PartialDrop::kChanged, report);
  }
  partial->owned = partial->hashing = true;
  partial->whole = whole;
  partial->kept = whole ? 0 : head.checkpoint;
  partial->if_range = texts[1];
  partial->length = head.length;
  partial->taken_up = partial->checkpoint = head.checkpoint;
  partial->idle_runs = head.idle_runs;
  partial->progress = head.progress;
  report->conditions = texts[2];
  if (whole) DigestSoFar(partial->sha, &report->digest);
}

bool OutlivesItsRun(const PartialBody& partial) {
  return !partial.if_range.empty() && partial.length != kUnknownLength &&
         partial.kept < partial.length && partial.hashing;
}

void RecordCheckpoint(PartialBody* partial, std::uint32_t bytes, const BodyDigest& digest,
                      const DownloadConditions& conditions, bool whole) {
  if (!digest.known || (!whole && !OutlivesItsRun(*partial)) || conditions.empty()) return;
  StoredRecord record;
  PartialRecord& head = record.head;
  head.checkpoint = bytes;
  head.length = whole ? bytes : static_cast<std::uint32_t>(partial->length);
  std::memcpy(head.sha256, digest.bytes, sizeof(head.sha256));
  // Anything else counts one more run without progress.
  const bool progress = bytes > partial->taken_up;
  head.progress = partial->progress;
  if (progress) GetSystemTimeAsFileTime(&head.progress);
  head.idle_runs = progress ? 0 : partial->idle_runs + 1;
  head.whole = whole ? 1 : 0;
  std::size_t size = 0;
  const NarrowString* const texts[] = {partial->url, &partial->if_range, &conditions};
  for (const NarrowString* text : texts) {
    const auto length = static_cast<std::size_t>(text->length()) + 1;
    if (size + length > sizeof(record.texts)) return;
    std::memcpy(record.texts + size, text->c_str(), length);
    size += length;
  }
  if (RegSetKeyValueA(HKEY_LOCAL_MACHINE, kPartialsKey, FileNameIn(partial->target->c_str()),
                      REG_BINARY, &record,
                      static_cast<DWORD>(sizeof(head) + size)) == ERROR_SUCCESS) {
    partial->checkpoint = bytes;
    partial->checkpoint_tick = GetTickCount64();
  }
}

// Notes that a body an earlier run left was not continued by an answer of
// `status`, and forgets it: what follows starts over.
void NoteNotContinued(std::uint32_t status, PartialBody* partial, DownloadReport* report) {
  if (partial->taken_up > 0) {
    report->partial_dropped = PartialDrop::kNotContinued;
    report->dropped_status = status;
  }
  ForgetCheckpoint(*partial);
  partial->kept = partial->checkpoint = partial->taken_up = 0;
  partial->whole = false;
  report->continued_from = 0;
}

void ForgetCheckpoint(const PartialBody& partial) {
  RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, kPartialsKey, FileNameIn(partial.target->c_str()));
}

void SettlePartial(PartialBody* partial, bool keep, DownloadReport* report) {
  if (!partial->owned) return;
  const std::uint32_t bytes =
      partial->whole ? static_cast<std::uint32_t>(partial->length) : partial->kept;
  if (keep && bytes > 0 && partial->checkpoint == bytes) {
    if (bytes <= partial->taken_up) {
      if (partial->idle_runs + 1 >= kMostIdleRuns) {
        return Drop(*partial->target, PartialDrop::kIdle, report);
      }
      BodyDigest digest;
      DigestSoFar(partial->sha, &digest);
      RecordCheckpoint(partial, bytes, digest, report->conditions, partial->whole);
    }
    report->partial_kept = bytes;
    report->partial_length = static_cast<std::uint32_t>(partial->length);
    return;
  }
  DropPartialDownload(*partial->target);
}
