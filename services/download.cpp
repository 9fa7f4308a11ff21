#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "launcher/install_layout.h"
#include "launcher/service_operations.h"
#include "services/release_check.h"
#include "services/scoped_handles.h"
#include "services/wininet_api.h"

namespace {

constexpr DWORD kTransferBufferSize = 1024;
constexpr std::int64_t kUnknownLength = -1;
constexpr std::int64_t kMalformedLength = -2;

// Where one download meets WinINet's worker threads. Each asynchronous
// operation writes into `buffer` and `read` and then signals `completed`
// through the status callback, with the transfer as its context. An
// operation given up on may still complete much later (under Wine a blocked
// read ends only when the server closes), so a transfer with an operation
// outstanding is never freed or reused: see AbandonTransfer.
struct Transfer {
  UniqueKernelHandle completed;  // Auto-reset: set once by each completion.
  INTERNET_ASYNC_RESULT result = {};
  INTERNET_BUFFERSA read = {};  // Points at `buffer`; its length is the count.
  char buffer[kTransferBufferSize];
};

// Frees a transfer on the process heap (operator new would bring in the C++
// exception runtime, which the launcher is built without).
struct TransferFree {
  void operator()(Transfer* transfer) const {
    transfer->~Transfer();
    HeapFree(GetProcessHeap(), 0, transfer);
  }
};
using UniqueTransfer = std::unique_ptr<Transfer, TransferFree>;

// A transfer with its event, or null when either cannot be had.
UniqueTransfer NewTransfer() {
  void* memory = HeapAlloc(GetProcessHeap(), 0, sizeof(Transfer));
  if (memory == nullptr) return nullptr;
  UniqueTransfer transfer(new (memory) Transfer);
  transfer->completed.reset(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  if (transfer->completed == nullptr) return nullptr;
  return transfer;
}

// Leaves a transfer whose operation is still outstanding to WinINet for the
// rest of the process: it may write into it or signal it at any time. That
// is at most one small transfer per download given up on.
void AbandonTransfer(UniqueTransfer* transfer) { static_cast<void>(transfer->release()); }

// The status callback of every handle of a download. Only a completion
// concerns the download, and only an operation it started completes, so no
// other notice touches the transfer (which may be gone by then).
void CALLBACK OnInternetStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD) {
  if (status != INTERNET_STATUS_REQUEST_COMPLETE || context == 0 || info == nullptr) return;
  Transfer* transfer = reinterpret_cast<Transfer*>(context);
  transfer->result = *static_cast<const INTERNET_ASYNC_RESULT*>(info);
  SetEvent(transfer->completed.get());
}

// Waits for the outstanding operation until `deadline` (GetTickCount64
// time); true when it completed, with its outcome in transfer.result.
bool AwaitCompletion(const Transfer& transfer, ULONGLONG deadline) {
  ULONGLONG now = GetTickCount64();
  DWORD wait = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
  return WaitForSingleObject(transfer.completed.get(), wait) == WAIT_OBJECT_0;
}

// The body's pace: back-to-back windows from the moment the headers arrived,
// each of which must bring `quota` bytes unless the body ends in it.
struct Pace {
  ULONGLONG window_ms;
  std::int64_t quota;
  ULONGLONG window_end;
  std::int64_t window_bytes;
};

// Closes every window that ended by `now`; false when one brought too little.
bool KeepsPace(Pace* pace, ULONGLONG now) {
  while (now >= pace->window_end) {
    if (pace->window_bytes < pace->quota) return false;
    pace->window_bytes = 0;
    pace->window_end += pace->window_ms;
  }
  return true;
}

// WinINet hands back a request for any answer, error pages included.
bool HasSuccessStatus(const WinInetApi& wininet, HINTERNET request) {
  DWORD status = 0;
  DWORD size = sizeof(status);
  if (!wininet.HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status,
                              &size, nullptr)) {
    return false;
  }
  return status >= 200 && status <= 299;
}

// WinINet takes an answer without a status line (HTTP/0.9 style) as "200 OK"
// with no headers and the whole answer as its body. Every HTTP/1.x server
// sends some header (a length, a date, a connection), so an answer without
// any is no answer at all.
bool SentHeaders(const WinInetApi& wininet, HINTERNET request) {
  char headers[256] = {};
  DWORD size = sizeof(headers) - 1;
  if (!wininet.HttpQueryInfoA(request, HTTP_QUERY_RAW_HEADERS_CRLF, headers, &size, nullptr)) {
    return GetLastError() == ERROR_INSUFFICIENT_BUFFER;  // More than fits: headers.
  }
  const char* after_status = std::strstr(headers, "\r\n");
  return after_status != nullptr && after_status[2] != '\r' && after_status[2] != '\0';
}

// WinINet follows redirects, from https to plain http too. A URL the build
// made https must be answered over a secure connection, or anyone on the
// path could have sent the body.
bool KeptItsSecurity(const WinInetApi& wininet, HINTERNET request, const NarrowString& url) {
  if (std::strncmp(url.c_str(), "https:", 6) != 0) return true;
  DWORD flags = 0;
  DWORD size = sizeof(flags);
  return wininet.InternetQueryOptionA(request, INTERNET_OPTION_SECURITY_FLAGS, &flags, &size) &&
         (flags & SECURITY_FLAG_SECURE) != 0;
}

// The announced Content-Length: kUnknownLength when none was sent (as with a
// chunked body), kMalformedLength when it is not a plain decimal number
// (WinINet passes "10000x", "-1", "1e3" and "" through, and reads some of
// them as a number itself). A length past INT64_MAX is INT64_MAX.
std::int64_t AnnouncedLength(const WinInetApi& wininet, HINTERNET request) {
  char text[64] = {};
  DWORD size = sizeof(text) - 1;
  if (!wininet.HttpQueryInfoA(request, HTTP_QUERY_CONTENT_LENGTH, text, &size, nullptr)) {
    return GetLastError() == ERROR_HTTP_HEADER_NOT_FOUND ? kUnknownLength : kMalformedLength;
  }
  if (text[0] == '\0') return kMalformedLength;
  std::int64_t length = 0;
  for (const char* digit = text; *digit != '\0'; ++digit) {
    if (*digit < '0' || *digit > '9') return kMalformedLength;
    const int value = *digit - '0';
    length = length > (INT64_MAX - value) / 10 ? INT64_MAX : length * 10 + value;
  }
  return length;
}

// Sends the request and returns its handle once the status and headers
// arrived, or null when it failed or no answer came within one window; then
// `*outstanding` tells whether WinINet is still at it.
HINTERNET OpenRequest(const WinInetApi& wininet, HINTERNET session, const NarrowString& url,
                      const DownloadLimits& limits, Transfer* transfer, bool* outstanding) {
  const ULONGLONG deadline =
      GetTickCount64() + 1000ULL * static_cast<ULONGLONG>(limits.stall_seconds);
  HINTERNET request = wininet.InternetOpenUrlA(session, url.c_str(), nullptr, 0,
                                               INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE,
                                               reinterpret_cast<DWORD_PTR>(transfer));
  if (request != nullptr || GetLastError() != ERROR_IO_PENDING) return request;
  if (!AwaitCompletion(*transfer, deadline)) {
    *outstanding = true;
    return nullptr;
  }
  return reinterpret_cast<HINTERNET>(transfer->result.dwResult);
}

// Where the file name in `path` begins: after its last separator.
const char* FileNameIn(const char* path) {
  const char* name = path;
  for (const char* at = path; *at != '\0'; ++at) {
    if (*at == '\\' || *at == '/') name = at + 1;
  }
  return name;
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

// The download's result for a received file that a signed build refused.
DownloadResult RefusalOf(ReleaseVerdict verdict) {
  switch (verdict) {
    case ReleaseVerdict::kKept:
    case ReleaseVerdict::kSignerRefused:
      break;
    case ReleaseVerdict::kNoVersionResource:
    case ReleaseVerdict::kWrongName:
    case ReleaseVerdict::kBelowFloor:
      return kWrongProgram;
    case ReleaseVerdict::kOlderThanReference:
      return kInstalledIsNewer;
  }
  return kSignatureRefused;
}

// Writes the body to `temp_path` and returns its size, or a negative code.
// When a read was given up on, `*outstanding` is true.
DownloadResult ReceiveBody(const WinInetApi& wininet, HINTERNET request,
                           const NarrowString& temp_path, std::int64_t announced_length,
                           const DownloadLimits& limits, Transfer* transfer, bool* outstanding) {
  UniqueFile file(std::fopen(temp_path.c_str(), "wb"));
  if (file == nullptr) return kFileOpenFailed;
  const ULONGLONG window_ms = 1000ULL * static_cast<ULONGLONG>(limits.stall_seconds);
  const std::int64_t quota = std::int64_t{limits.min_rate} * limits.stall_seconds;
  Pace pace{window_ms, quota, GetTickCount64() + window_ms, 0};
  // A read completes only when its buffer is full or the body ends, so none
  // may ask for more than a window's quota: an honest link at the lowest
  // rate still completes a read in every window.
  const DWORD read_size =
      quota < kTransferBufferSize ? static_cast<DWORD>(quota) : kTransferBufferSize;
  std::int64_t total = 0;
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
      if (GetLastError() != ERROR_IO_PENDING) return kReadFailed;
      while (!AwaitCompletion(*transfer, pace.window_end)) {
        if (!KeepsPace(&pace, GetTickCount64())) {
          *outstanding = true;  // Stalled or too slow.
          return kReadFailed;
        }
      }
      if (transfer->result.dwResult == 0) return kReadFailed;
    }
    // The window in which the body ends need not be full; those before it must.
    if (!KeepsPace(&pace, GetTickCount64())) return kReadFailed;
    const DWORD count = transfer->read.dwBufferLength;
    if (count == 0) break;
    if (total + count > limits.max_bytes) return kReadFailed;
    if (std::fwrite(transfer->buffer, count, 1, file.get()) != 1) return kFileWriteFailed;
    total += count;
    pace.window_bytes += count;
  }
  // WinINet reports a connection the server closed early as a normal end.
  if (announced_length != kUnknownLength && total < announced_length) return kReadFailed;
  if (std::fclose(file.release()) != 0) return kFileWriteFailed;
  return static_cast<DownloadResult>(total);  // At most max_bytes.
}

// Receives the answer to `url` into a new temporary file beside `file_path`
// (set in `*temp_path`) and returns the body's size, or a negative code.
DownloadResult Receive(const WinInetApi& wininet, HINTERNET session, const NarrowString& url,
                       const NarrowString& file_path, const DownloadLimits& limits,
                       Transfer* transfer, NarrowString* temp_path, bool* outstanding) {
  UniqueInternet request(OpenRequest(wininet, session, url, limits, transfer, outstanding));
  if (request == nullptr || !HasSuccessStatus(wininet, request.get()) ||
      !SentHeaders(wininet, request.get()) || !KeptItsSecurity(wininet, request.get(), url)) {
    return kRequestFailed;
  }
  const std::int64_t announced_length = AnnouncedLength(wininet, request.get());
  // Invalid framing: what follows cannot be told from the body.
  if (announced_length == kMalformedLength) return kRequestFailed;
  if (announced_length > limits.max_bytes) return kReadFailed;
  *temp_path = CreateTempFileBeside(file_path);
  if (temp_path->empty()) return kFileOpenFailed;
  return ReceiveBody(wininet, request.get(), *temp_path, announced_length, limits, transfer,
                     outstanding);
}

// Downloads `url` to `file_path` (DownloadToFile), keeping the received
// body only when `check_received(temp_path, size)` returns its size; any
// other result is the download's. A template, so that the plain download
// carries no check and each build links only the one it calls.
template <typename CheckReceived>
DownloadResult Download(const NarrowString& url, const NarrowString& file_path,
                        const DownloadLimits& limits, CheckReceived check_received) {
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
  DownloadResult result = Receive(*wininet, session.get(), url, file_path, limits, transfer.get(),
                                  &temp_path, &outstanding);
  if (outstanding) AbandonTransfer(&transfer);
  if (result >= 0) result = check_received(temp_path, result);
  if (result >= 0 &&
      !MoveFileExA(temp_path.c_str(), file_path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    result = kFileWriteFailed;
  }
  // The previous file stays as it was unless the whole body arrived.
  if (result < 0 && !temp_path.empty()) DeleteFileA(temp_path.c_str());
  return result;
}

}  // namespace

DownloadResult DownloadToFile(const NarrowString& url, const NarrowString& file_path,
                              const DownloadLimits& limits) {
  return Download(url, file_path, limits,
                  [](const NarrowString&, DownloadResult size) { return size; });
}

DownloadResult DownloadReleaseToFile(const NarrowString& url, const NarrowString& file_path,
                                     const NarrowString& signer_pins, FileVersion min_version,
                                     const DownloadLimits& limits) {
  // Checked before the file is kept: a body cut short, changed, signed by
  // anyone else, or another or an older program of the publisher's never
  // replaces the target.
  return Download(url, file_path, limits, [&](const NarrowString& temp_path, DownloadResult size) {
    ReleaseCheck check =
        CheckRelease(temp_path, FileNameIn(file_path.c_str()), signer_pins, min_version, file_path);
    return check.verdict == ReleaseVerdict::kKept ? size : RefusalOf(check.verdict);
  });
}
