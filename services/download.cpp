#include <cstdint>
#include <cstdio>
#include <cstring>

#include "launcher/install_layout.h"
#include "launcher/service_operations.h"
#include "services/http_answer.h"
#include "services/release_check.h"
#include "services/scoped_handles.h"
#include "services/transfer.h"
#include "services/wininet_api.h"

namespace {

// Notes in `report` what ended the download, and returns `result`.
DownloadResult Ended(DownloadReport* report, DownloadEnd end, DownloadResult result) {
  report->end = end;
  return result;
}

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

// Creates an empty, uniquely named file in the folder of `file_path`, so the
// final move is a rename on one volume. Empty result when that fails.
NarrowString CreateTempFileBeside(const NarrowString& file_path) {
  const char* path = file_path.c_str();
  const char* name = FileNameIn(path);
  NarrowString folder = name == path ? NarrowString(".") : NarrowString(path, name - path);
  NarrowString temp_path;
  temp_path.resize(MAX_PATH);
  if (GetTempFileNameA(folder.c_str(), "dl", 0, temp_path.data()) == 0) return NarrowString();
  temp_path.resize(std::strlen(temp_path.c_str()));
  return temp_path;
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

// The download's result for a received file that a signed build refused,
// with what ended it noted in `report`.
DownloadResult Refusal(ReleaseVerdict verdict, DownloadReport* report) {
  switch (verdict) {
    case ReleaseVerdict::kKept:
    case ReleaseVerdict::kSignerRefused:
      break;
    case ReleaseVerdict::kNoVersionResource:
      return Ended(report, DownloadEnd::kNoVersionResource, kWrongProgram);
    case ReleaseVerdict::kWrongName:
      return Ended(report, DownloadEnd::kWrongName, kWrongProgram);
    case ReleaseVerdict::kBelowFloor:
      return Ended(report, DownloadEnd::kBelowFloor, kWrongProgram);
    case ReleaseVerdict::kOlderThanReference:
      return Ended(report, DownloadEnd::kOlder, kInstalledIsNewer);
  }
  return Ended(report, DownloadEnd::kNotSigned, kSignatureRefused);
}

// Writes the body to `temp_path` and returns its size, or a negative code.
// `*ended` tells whether the body was read to its end; when a read was
// given up on, `*outstanding` is true.
DownloadResult ReceiveBody(const WinInetApi& wininet, HINTERNET request,
                           const NarrowString& temp_path, std::int64_t announced_length,
                           const DownloadLimits& limits, Transfer* transfer, DownloadReport* report,
                           bool* ended, bool* outstanding) {
  UniqueFile file(std::fopen(temp_path.c_str(), "wb"));
  if (file == nullptr) return Ended(report, DownloadEnd::kTempFile, kFileOpenFailed);
  const ULONGLONG window_ms = 1000ULL * static_cast<ULONGLONG>(limits.stall_seconds);
  const std::int64_t quota = std::int64_t{limits.min_rate} * limits.stall_seconds;
  Pace pace{window_ms, quota, GetTickCount64() + window_ms, 0};
  // A read completes only when its buffer is full or the body ends, so none
  // may ask for more than a window's quota: an honest link at the lowest
  // rate still completes a read in every window.
  const DWORD read_size =
      quota < kTransferBufferSize ? static_cast<DWORD>(quota) : kTransferBufferSize;
  // The running total: at most max_bytes plus one read, well within 32 bits.
  std::uint32_t& total = report->received;
  for (;;) {
    // InternetReadFileExA, not InternetReadFile: Wine's InternetReadFile
    // zeroes the count after queuing the read, and so loses the bytes of a
    // read that completed in between (measured: 1 run in 6 over a paced
    // body); the count of InternetReadFileExA is the completion's own.
    transfer->read = {};
    transfer->read.dwStructSize = sizeof(transfer->read);
    transfer->read.lpvBuffer = transfer->buffer;
    transfer->read.dwBufferLength = read_size;
    if (!wininet.InternetReadFileExA(request, &transfer->read, IRF_ASYNC,
                                     reinterpret_cast<DWORD_PTR>(transfer))) {
      if (GetLastError() != ERROR_IO_PENDING) {
        return Ended(report, DownloadEnd::kReadError, kReadFailed);
      }
      bool keeps_pace = true;
      while (keeps_pace && !AwaitCompletion(*transfer, pace.window_end)) {
        keeps_pace = KeepsPace(&pace, GetTickCount64());
      }
      *outstanding = !keeps_pace;  // Stalled or too slow: the read goes on.
      // A connection reset mid-body fails the read; without this check a
      // chunked body cut that way would count as whole.
      if (keeps_pace && transfer->result.dwResult == 0) {
        return Ended(report, DownloadEnd::kReadError, kReadFailed);
      }
    }
    // The window in which the body ends need not be full; those before it must.
    if (*outstanding || !KeepsPace(&pace, GetTickCount64())) {
      report->window_bytes = static_cast<std::uint32_t>(pace.window_bytes);
      return Ended(report, pace.window_bytes == 0 ? DownloadEnd::kStalled : DownloadEnd::kTooSlow,
                   kReadFailed);
    }
    const DWORD count = transfer->read.dwBufferLength;
    if (count == 0) break;
    if (total + count > static_cast<std::uint32_t>(limits.max_bytes)) {
      return Ended(report, DownloadEnd::kPastCap, kReadFailed);
    }
    if (std::fwrite(transfer->buffer, count, 1, file.get()) != 1) {
      return Ended(report, DownloadEnd::kWriteFailed, kFileWriteFailed);
    }
    total += count;
    pace.window_bytes += count;
  }
  *ended = true;
  // WinINet reports a connection the server closed early as a normal end.
  if (announced_length != kUnknownLength && total < announced_length) {
    report->expected = static_cast<std::uint32_t>(announced_length);  // At most max_bytes.
    return Ended(report, DownloadEnd::kCutShort, kReadFailed);
  }
  if (std::fclose(file.release()) != 0) {
    return Ended(report, DownloadEnd::kWriteFailed, kFileWriteFailed);
  }
  return static_cast<DownloadResult>(total);  // At most max_bytes.
}

// What to do with an opened request's answer: a 304 to `conditions` keeps
// the file at `file_path` and gives its size; a 2xx body goes into a new
// temporary file beside it (set in `*temp_path`) and gives the body's size.
// `*ended` tells whether the answer was read to its end.
DownloadResult ReceiveAnswer(const WinInetApi& wininet, HINTERNET request, const NarrowString& url,
                             const NarrowString& file_path, const DownloadConditions& conditions,
                             const DownloadLimits& limits, Transfer* transfer,
                             NarrowString* temp_path, DownloadReport* report, bool* ended,
                             bool* outstanding) {
  if (!SentHeaders(wininet, request)) {
    return Ended(report, DownloadEnd::kNoHeaders, kRequestFailed);
  }
  if (!KeptItsSecurity(wininet, request, url)) {
    return Ended(report, DownloadEnd::kRedirectedToHttp, kRequestFailed);
  }
  const DWORD status = report->status = AnswerStatus(wininet, request);
  if (status == HTTP_STATUS_NOT_MODIFIED) {
    *ended = true;  // A 304 has no body.
    const std::int64_t size = conditions.empty() ? -1 : FileSize(file_path);
    if (size < 0 || size > kLargestDownload) {
      return Ended(report, DownloadEnd::kBadStatus, kRequestFailed);
    }
    report->revalidated = true;
    return static_cast<DownloadResult>(size);
  }
  if (status < 200 || status > 299) return Ended(report, DownloadEnd::kBadStatus, kRequestFailed);
  report->conditions = AnswerConditions(wininet, request);
  const std::int64_t announced_length = AnnouncedLength(wininet, request);
  // Invalid framing: what follows cannot be told from the body.
  if (announced_length == kMalformedLength) {
    return Ended(report, DownloadEnd::kMalformedLength, kRequestFailed);
  }
  if (announced_length > limits.max_bytes) {
    return Ended(report, DownloadEnd::kPastCap, kReadFailed);
  }
  *temp_path = CreateTempFileBeside(file_path);
  if (temp_path->empty()) return Ended(report, DownloadEnd::kTempFile, kFileOpenFailed);
  return ReceiveBody(wininet, request, *temp_path, announced_length, limits, transfer, report,
                     ended, outstanding);
}

// Downloads `url` to `file_path` (DownloadToFile), keeping the received
// body, or the revalidated file, only when `check_kept(path, size)` returns
// its size; any other result is the download's. A template, so that the
// plain download carries no check and each build links only the one it calls.
template <typename CheckKept>
DownloadResult Download(const NarrowString& url, const NarrowString& file_path,
                        const DownloadConditions& conditions, const DownloadLimits& limits,
                        DownloadReport* report, CheckKept check_kept) {
  *report = DownloadReport();
  const WinInetApi* wininet = LoadWinInet();
  if (wininet == nullptr) return kSessionFailed;
  UniqueTransfer transfer = NewTransfer();
  if (transfer == nullptr) return kSessionFailed;
  // Asynchronous, so that a server that stops sending can be given up on: a
  // synchronous read waits for as long as the server holds the connection
  // (under Wine, whatever time-out it was given).
  UniqueInternet session(wininet->InternetOpenA(kUserAgent, INTERNET_OPEN_TYPE_DIRECT, nullptr,
                                                nullptr, INTERNET_FLAG_ASYNC));
  if (session == nullptr || wininet->InternetSetStatusCallbackA(session.get(), OnInternetStatus) ==
                                INTERNET_INVALID_STATUS_CALLBACK) {
    return kSessionFailed;
  }
  NarrowString temp_path;
  bool outstanding = false;
  bool ended = false;
  report->end = DownloadEnd::kNoAnswer;
  DownloadResult result = kRequestFailed;
  UniqueInternet request(
      OpenRequest(*wininet, session.get(), url, conditions, limits, transfer.get(), &outstanding));
  if (request != nullptr) {
    report->end = DownloadEnd::kKept;
    result = ReceiveAnswer(*wininet, request.get(), url, file_path, conditions, limits,
                           transfer.get(), &temp_path, report, &ended, &outstanding);
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
  if (result >= 0) result = check_kept(report->revalidated ? file_path : temp_path, result);
  if (result >= 0 && !report->revalidated &&
      !MoveFileExA(temp_path.c_str(), file_path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    result = Ended(report, DownloadEnd::kWriteFailed, kFileWriteFailed);
  }
  // The previous file stays as it was unless the whole body arrived.
  if (result < 0 && !temp_path.empty()) DeleteFileA(temp_path.c_str());
  return result;
}

}  // namespace

DownloadResult DownloadToFile(const NarrowString& url, const NarrowString& file_path,
                              const DownloadConditions& conditions, const DownloadLimits& limits,
                              DownloadReport* report) {
  return Download(url, file_path, conditions, limits, report,
                  [](const NarrowString&, DownloadResult size) { return size; });
}

DownloadResult DownloadReleaseToFile(const NarrowString& url, const NarrowString& file_path,
                                     const DownloadConditions& conditions,
                                     const NarrowString& signer_pins, FileVersion min_version,
                                     const DownloadLimits& limits, DownloadReport* report) {
  // Checked before the file is kept: a body cut short, changed, signed by
  // anyone else, or another or an older program of the publisher's never
  // replaces the target. A revalidated file is the one at the target, so it
  // is checked by the rules alone: a launcher with new pins or a higher
  // floor never hands off to a file it would not download.
  return Download(url, file_path, conditions, limits, report,
                  [&](const NarrowString& candidate, DownloadResult size) {
                    ReleaseCheck check =
                        CheckRelease(candidate, FileNameIn(file_path.c_str()), signer_pins,
                                     min_version, report->revalidated ? NarrowString() : file_path);
                    if (check.verdict == ReleaseVerdict::kKept) return size;
                    report->name = ToNarrow(check.identity.original_filename.get());
                    report->version = check.identity.version;
                    return Refusal(check.verdict, report);
                  });
}
