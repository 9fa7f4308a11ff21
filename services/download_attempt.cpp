#include "services/download_attempt.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "launcher/install_layout.h"
#include "services/scoped_handles.h"
#include "services/download_body.h"
#include "services/sha256.h"
#include "services/transfer.h"

namespace {

// Sends the request with `headers` (CRLF-terminated lines) and returns its
// handle once the status and headers arrived, or null when it failed (with
// WinINet's error in transfer->result) or no answer came within one window;
// then `*outstanding` tells whether WinINet is still at it.
HINTERNET OpenRequest(const WinInetApi& wininet, HINTERNET session, const NarrowString& url,
                      const NarrowString& headers, const DownloadLimits& limits, Transfer* transfer,
                      bool* outstanding) {
  const ULONGLONG deadline =
      GetTickCount64() + 1000ULL * static_cast<ULONGLONG>(limits.stall_seconds);
  HINTERNET request = wininet.InternetOpenUrlA(
      session, url.c_str(), headers.empty() ? nullptr : headers.c_str(),
      static_cast<DWORD>(headers.length()), INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE,
      reinterpret_cast<DWORD_PTR>(transfer));
  if (request != nullptr || GetLastError() != ERROR_IO_PENDING) {
    transfer->result.dwError = GetLastError();
    return request;
  }
  if (!AwaitCompletion(*transfer, deadline)) {
    *outstanding = true;
    return nullptr;
  }
  return reinterpret_cast<HINTERNET>(transfer->result.dwResult);
}

// The size of the file at `path`, or -1 when there is no such file.
std::int64_t FileSize(const NarrowString& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data) ||
      (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return -1;
  }
  return (static_cast<std::int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// "Range: bytes=<kept>-\r\n" and the If-Range line: the rest of the body.
NarrowString RangeRequest(const PartialBody& partial) {
  char digits[12];
  char* at = digits + sizeof(digits);
  *--at = '\0';
  std::uint32_t value = partial.kept;
  do {
    *--at = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  return NarrowString("Range: bytes=") + at + "-\r\n" + partial.if_range;
}

// What to do with an opened request's answer: a 304 to the conditions sent
// (`conditional`) keeps the file at `file_path`, or the whole body an
// earlier run left, and gives its size; a 2xx body goes into
// partial->temp_path, after the kept bytes when it is a 206 that continues
// them, and gives the whole body's size. `*ended` tells whether the answer was read
// to its end.
DownloadResult ReceiveAnswer(const WinInetApi& wininet, HINTERNET request, const NarrowString& url,
                             const NarrowString& file_path, bool conditional,
                             const DownloadLimits& limits, Transfer* transfer, PartialBody* partial,
                             DownloadReport* report, bool* ended, bool* outstanding) {
  const DWORD status = AnswerStatus(wininet, request);
  if (status == 0) {
    // Reset or closed before any answer: WinINet hands out a request with
    // no status where at other times its open fails with this error.
    report->error = ERROR_INTERNET_CONNECTION_ABORTED;
    return Ended(report, DownloadEnd::kNoConnection, kRequestFailed);
  }
  if (!SentHeaders(wininet, request)) {
    return Ended(report, DownloadEnd::kNoHeaders, kRequestFailed);
  }
  if (!KeptItsSecurity(wininet, request, url)) {
    return Ended(report, DownloadEnd::kRedirectedToHttp, kRequestFailed);
  }
  report->status = status;
  if (status == HTTP_STATUS_NOT_MODIFIED) {
    *ended = true;  // A 304 has no body.
    // A file past kLargestDownload cannot be counted as a download's result
    // (it would wrap to a negative code); no download could have kept it.
    const std::int64_t size =
        conditional ? FileSize(partial->whole ? partial->temp_path : file_path) : -1;
    if (size < 0 || size > kLargestDownload) {
      return Ended(report, DownloadEnd::kBadStatus, kRequestFailed);
    }
    report->revalidated = true;
    return static_cast<DownloadResult>(size);
  }
  std::int64_t announced_length = AnnouncedLength(wininet, request);
  // Invalid framing: what follows cannot be told from the body.
  if (announced_length == kMalformedLength) {
    return Ended(report, DownloadEnd::kMalformedLength, kRequestFailed);
  }
  const std::uint32_t start = partial->kept;
  std::int64_t total = 0;
  if (start > 0 && (status == HTTP_STATUS_PARTIAL_CONTENT || status == 416)) {
    // Only the rest of the very body in hand, to its end, is spliced on.
    if (status == 416 || !ContinuesAt(wininet, request, start, &total) ||
        (partial->length != kUnknownLength && total != partial->length) ||
        (announced_length != kUnknownLength && announced_length != total - start)) {
      report->received = start;
      NoteNotContinued(status, partial, report);
      return Ended(report, DownloadEnd::kBadRange, kRequestFailed);
    }
    if (start == partial->taken_up) report->continued_from = start;
    partial->length = total;
    announced_length = total - start;
  } else if (status < 200 || status > 299 || status == HTTP_STATUS_PARTIAL_CONTENT) {
    // A part never asked for is no body either.
    report->retry_after = RetryAfterSeconds(wininet, request);
    return Ended(report, DownloadEnd::kBadStatus, kRequestFailed);
  } else {
    // A whole body: any kept bytes are dropped, and it goes by its own validators.
    NoteNotContinued(status, partial, report);
    partial->length = announced_length;
    partial->if_range = ResumeCondition(wininet, request);
    report->conditions = AnswerConditions(wininet, request);
  }
  if (announced_length > limits.max_bytes - partial->kept) {
    partial->kept = 0;
    return Ended(report, DownloadEnd::kPastCap, kReadFailed);
  }
  return ReceiveBody(wininet, request, announced_length, limits, transfer, partial, report, ended,
                     outstanding);
}

}  // namespace

HINTERNET OpenDownloadSession(const WinInetApi& wininet, DWORD access_type,
                              const DownloadLimits& limits) {
  // Asynchronous, so that a server that stops sending can be given up on: a
  // synchronous read waits for as long as the server holds the connection
  // (under Wine, whatever time-out it was given).
  HINTERNET session =
      wininet.InternetOpenA(kUserAgent, access_type, nullptr, nullptr, INTERNET_FLAG_ASYNC);
  if (session == nullptr) return nullptr;
  // Three windows: longer than any wait the window rules allow, so that
  // Windows never cuts a transfer (12002) the rules would still keep.
  DWORD timeout_ms = 3000 * static_cast<DWORD>(limits.stall_seconds);
  static constexpr DWORD kTimeoutOptions[] = {INTERNET_OPTION_CONNECT_TIMEOUT,
                                              INTERNET_OPTION_SEND_TIMEOUT,
                                              INTERNET_OPTION_RECEIVE_TIMEOUT};
  for (DWORD option : kTimeoutOptions) {
    wininet.InternetSetOptionA(session, option, &timeout_ms, sizeof(timeout_ms));
  }
  return session;
}

DownloadResult AttemptDownload(const WinInetApi& wininet, const NarrowString& url,
                               const NarrowString& file_path, const DownloadConditions& conditions,
                               const DownloadLimits& limits, DWORD access_type,
                               PartialBody* partial, DownloadReport* report) {
  UniqueTransfer transfer = NewTransfer();
  if (transfer == nullptr) return Ended(report, DownloadEnd::kNoSession, kSessionFailed);
  UniqueInternet session(OpenDownloadSession(wininet, access_type, limits));
  if (session == nullptr || wininet.InternetSetStatusCallbackA(session.get(), OnInternetStatus) ==
                                INTERNET_INVALID_STATUS_CALLBACK) {
    return Ended(report, DownloadEnd::kNoSession, kSessionFailed);
  }
  // The rest of a body in hand, or the whole one under the kept conditions.
  // Bytes that are not all in the file are never continued: the rest would
  // land at the wrong place. Those past them (written after a killed run's
  // last checkpoint) are cut off as the rest is written.
  if (partial->kept > 0 && FileSize(partial->temp_path) < partial->kept) partial->kept = 0;
  const bool resuming = partial->kept > 0;
  // A whole body an earlier run could not put in place goes by its own conditions.
  const NarrowString headers = resuming         ? RangeRequest(*partial)
                               : partial->whole ? report->conditions
                                                : conditions;
  bool outstanding = false;
  bool ended = false;
  report->end = DownloadEnd::kNoAnswer;
  DownloadResult result = kRequestFailed;
  UniqueInternet request(
      OpenRequest(wininet, session.get(), url, headers, limits, transfer.get(), &outstanding));
  if (request != nullptr) {
    report->end = DownloadEnd::kKept;
    result = ReceiveAnswer(wininet, request.get(), url, file_path, !resuming && !headers.empty(),
                           limits, transfer.get(), partial, report, &ended, &outstanding);
  } else if (!outstanding) {
    report->end = DownloadEnd::kNoConnection;
    report->error = transfer->result.dwError;
  }
  if (outstanding || (request != nullptr && !ended)) {
    // Given up on: closing the request (or the session, which closes it too)
    // would first read whatever the server still sends (Wine), so both stay
    // open, and so does the transfer an operation may still complete into.
    static_cast<void>(request.release());
    static_cast<void>(session.release());
    AbandonTransfer(&transfer);
  }
  return result;
}
