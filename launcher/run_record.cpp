#include "launcher/run_record.h"

#include <cstring>

#include "launcher/install_layout.h"

namespace {

// `pattern` with each "%" and a character from '0' replaced by the value
// that many places into `values` in decimal, each "%" and a letter from 'a'
// by the value that many places in with at least two digits, each "%s" by
// the next of `texts` and each "%p" by the next of `texts` read as a pattern
// itself (one level deep). 32-bit values: a download's numbers fit, and
// i686 then needs no 64-bit division routine.
NarrowString Fill(const char* pattern, const std::uint32_t* values, std::size_t value_count,
                  const char* const* texts = nullptr) {
  char filled[kLineCapacity];
  std::size_t length = 0;
  const char* resume = nullptr;  // Where the outer pattern goes on after a "%p".
  for (const char* at = pattern; length + 12 < sizeof(filled); ++at) {
    if (*at == '\0') {
      if (resume == nullptr) break;
      at = resume;
      resume = nullptr;
      continue;
    }
    if (*at != '%') {
      filled[length++] = *at;
      continue;
    }
    const char code = *++at;
    if (code == 'p' && resume == nullptr) {
      resume = at;
      at = *texts++ - 1;
      continue;
    }
    if (code == 's') {
      for (const char* from = *texts++; *from != '\0' && length + 12 < sizeof(filled); ++from) {
        filled[length++] = *from;
      }
      continue;
    }
    const bool padded = code >= 'a';
    const auto index = static_cast<std::size_t>(code - (padded ? 'a' : '0'));
    std::uint32_t value = index < value_count ? values[index] : 0;
    char digits[10];
    int count = 0;
    do {
      digits[count++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0 || (padded && count < 2));
    while (count > 0) filled[length++] = digits[--count];
  }
  return NarrowString(filled, length);
}

// What each end says after a failed or refused download's code, in the
// order of DownloadEnd, each ended by a NUL (one string rather than a table
// of pointers: fewer bytes in the image); the numbers are those of
// ComposeDownloadLine's values.
constexpr char kEndWords[] =
    "\0"  // kKept
    "no session\0"
    "no connection: error %5\0"
    "no answer in %6 s\0"
    "HTTP %4\0"
    "no headers\0"
    "malformed Content-Length\0"
    "redirected to http\0"
    "temporary file\0"
    "stalled after %1 bytes\0"
    "too slow: %3 bytes in %6 s\0"
    "past the cap of %7 bytes\0"
    "cut short: %1 of %2 bytes\0"
    "read failed after %1 bytes\0"
    "write failed\0"
    "not signed by a pinned key\0"
    "no version resource\0"
    "wrong name %s\0"
    "below the floor %8.%9.%:.%;\0"  // ':' and ';' follow '9': values 10 and 11.
    "\0"                             // kOlder
    "not a Windows program\0"
    "HTTP %4 does not continue byte %1";

// The words of `end`, or none for an end past the last.
const char* EndWords(DownloadEnd end) {
  const char* words = kEndWords;
  for (auto count = static_cast<int>(end); count > 0 && words < kEndWords + sizeof(kEndWords) - 1;
       --count) {
    words += std::strlen(words) + 1;
  }
  return words < kEndWords + sizeof(kEndWords) - 1 ? words : "";
}

// "<file name> <url> <outcome>\r\n" for one attempt that gave `result` and
// `seen`, or the last one when `report` is the whole download's. An attempt
// `followed` by another, on this host or the next, says "retried" instead,
// and never what a Retry-After asked for: it was waited for, or the next
// host was asked.
NarrowString ComposeAttemptLine(const NarrowString& file_path, const char* url,
                                DownloadResult result, const AttemptReport& seen,
                                const DownloadReport* report, const DownloadLimits& limits,
                                bool followed) {
  const FileVersion version = report != nullptr ? report->version : 0;
  const std::uint32_t values[] = {
      static_cast<std::uint32_t>(result < 0 ? -result : result),
      seen.received,
      seen.expected,
      seen.window_bytes,
      seen.status,
      seen.error,
      static_cast<std::uint32_t>(limits.stall_seconds),
      static_cast<std::uint32_t>(limits.max_bytes),
      static_cast<std::uint32_t>(version >> 48),
      static_cast<std::uint32_t>(version >> 32) & 0xFFFF,
      static_cast<std::uint32_t>(version >> 16) & 0xFFFF,
      static_cast<std::uint32_t>(version) & 0xFFFF,
      static_cast<std::uint32_t>(seen.retry_after),
      report != nullptr ? report->continued_from : 0,  // '=' follows '<': value 13.
  };
  constexpr std::size_t kValueCount = sizeof(values) / sizeof(values[0]);
  if (result >= 0 && report != nullptr) {
    const char* const kept[] = {FileNameIn(file_path.c_str()), url,
                                report->revalidated ? "revalidated %0" : "kept %0",
                                report->moved_aside ? " (the one in use moved aside)" : "",
                                report->continued_from > 0 ? " (continued from byte %=)" : ""};
    return Fill("%s %s %p%p%p\r\n", values, kValueCount, kept);
  }
  const char* outcome = followed ? "retried -%0 " : "failed -%0 ";
  if (result == kInstalledIsNewer) {
    outcome = "older %1";
  } else if (!followed &&
             (result == kSignatureRefused || result == kWrongProgram || result == kNotAProgram)) {
    outcome = "refused -%0 ";
  }
  const char* words = result >= 0 || result == kInstalledIsNewer ? "" : EndWords(seen.end);
  const char* const texts[] = {FileNameIn(file_path.c_str()), url, outcome, words,
                               report != nullptr ? report->name.c_str() : ""};
  // '<' follows ';': value 12.
  return Fill(!followed && result < 0 && seen.retry_after >= 0 ? "%s %s %p%p (retry after %< s)\r\n"
                                                               : "%s %s %p%p\r\n",
              values, kValueCount, texts);
}

}  // namespace

NarrowString ComposeRunHeading(const SYSTEMTIME& utc, const NarrowString& program_path,
                               const char* version) {
  const std::uint32_t values[] = {utc.wYear, utc.wMonth,  utc.wDay,
                                  utc.wHour, utc.wMinute, utc.wSecond};
  const char* const texts[] = {FileNameIn(program_path.c_str()), version};
  return Fill("%0-%b-%cT%d:%e:%fZ %s %s\r\n", values, 6, texts);
}

NarrowString ComposePartialDroppedLine(const NarrowString& file_path, PartialDrop why,
                                       std::uint32_t status) {
  const char* const texts[] = {FileNameIn(file_path.c_str()),
                               why == PartialDrop::kChanged        ? "changed on disk"
                               : why == PartialDrop::kIdle         ? "no progress in two runs"
                               : why == PartialDrop::kOld          ? "no progress for a week"
                               : why == PartialDrop::kNotContinued ? "HTTP %0"
                                                                   : "not downloaded"};
  return Fill("%s partial dropped: %p\r\n", &status, 1, texts);
}

NarrowString ComposeDownloadLine(const NarrowString& file_path, const char* url,
                                 DownloadResult result, const DownloadReport& report,
                                 const DownloadLimits& limits, bool another_host_follows) {
  const char* const name[] = {FileNameIn(file_path.c_str())};
  NarrowString lines;
  if (report.put_back) lines = Fill("%s previous copy put back\r\n", nullptr, 0, name);
  if (report.partial_dropped != PartialDrop::kNone) {
    lines =
        lines + ComposePartialDroppedLine(file_path, report.partial_dropped, report.dropped_status);
  }
  for (std::int32_t at = 0; at < report.retried_count && at < kMostAttempts - 1; ++at) {
    const AttemptReport& retried = report.retried[at];
    lines =
        lines + ComposeAttemptLine(file_path, url, retried.result, retried, nullptr, limits, true);
  }
  lines = lines +
          ComposeAttemptLine(file_path, url, result, report, &report, limits, another_host_follows);
  if (report.partial_kept == 0) return lines;
  const std::uint32_t sizes[] = {report.partial_kept, report.partial_length};
  return lines + Fill(report.partial_kept == report.partial_length
                          ? "%s partial kept for the next run: %0 of %1 bytes (held)\r\n"
                          : "%s partial kept for the next run: %0 of %1 bytes\r\n",
                      sizes, 2, name);
}

NarrowString ComposeHandOffLine(const NarrowString& program, const char* option) {
  const char* const texts[] = {program.c_str(), option};
  return Fill("handed off %s %s\r\n", nullptr, 0, texts);
}

NarrowString BoundRunRecord(const NarrowString& lines, const NarrowString& last_line) {
  const std::int32_t room = kLastRunCapacity - 1 - last_line.length();
  if (room < 0) return NarrowString(last_line.c_str(), kLastRunCapacity - 1);
  std::int32_t kept = lines.length();
  if (kept > room) {
    kept = 0;
    for (std::int32_t at = 0; at + 2 <= room; ++at) {
      if (lines.c_str()[at] == '\r' && lines.c_str()[at + 1] == '\n') kept = at + 2;
    }
  }
  return NarrowString(lines.c_str(), static_cast<std::size_t>(kept)) + last_line;
}
