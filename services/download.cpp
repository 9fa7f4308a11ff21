#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "launcher/install_layout.h"
#include "launcher/service_operations.h"
#include "services/scoped_handles.h"
#include "services/release_check.h"
#include "services/wininet_api.h"

namespace {

constexpr DWORD kTransferBufferSize = 1024;
constexpr std::int64_t kUnknownLength = -1;

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

// The announced Content-Length, or kUnknownLength when none (or no number)
// was sent, as with a chunked body.
std::int64_t AnnouncedLength(const WinInetApi& wininet, HINTERNET request) {
  char text[32] = {};
  DWORD size = sizeof(text) - 1;
  if (!wininet.HttpQueryInfoA(request, HTTP_QUERY_CONTENT_LENGTH, text, &size, nullptr)) {
    return kUnknownLength;
  }
  char* end = nullptr;
  unsigned long long length = std::strtoull(text, &end, 10);
  if (end == text || *end != '\0' || length > INT64_MAX) return kUnknownLength;
  return static_cast<std::int64_t>(length);
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
DownloadResult ReceiveBody(const WinInetApi& wininet, HINTERNET request,
                           const NarrowString& temp_path, std::int64_t announced_length) {
  UniqueFile file(std::fopen(temp_path.c_str(), "wb"));
  if (file == nullptr) return kFileOpenFailed;
  char buffer[kTransferBufferSize];
  std::int64_t total = 0;
  for (;;) {
    DWORD count = 0;
    if (!wininet.InternetReadFile(request, buffer, kTransferBufferSize, &count)) return kReadFailed;
    if (count == 0) break;
    if (std::fwrite(buffer, count, 1, file.get()) != 1) return kFileWriteFailed;
    total += count;
  }
  // WinINet reports a connection the server closed early as a normal end.
  if (announced_length != kUnknownLength && total < announced_length) return kReadFailed;
  if (std::fclose(file.release()) != 0) return kFileWriteFailed;
  // A count past the 32-bit range is still a success, so it saturates.
  return total > INT32_MAX ? INT32_MAX : static_cast<DownloadResult>(total);
}

}  // namespace

DownloadResult DownloadToFile(const NarrowString& url, const NarrowString& file_path,
                              const NarrowString& signer_pins, FileVersion min_version) {
  const WinInetApi* wininet = LoadWinInet();
  if (wininet == nullptr) return kSessionFailed;
  UniqueInternet session(
      wininet->InternetOpenA(kUserAgent, INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
  if (session == nullptr) return kSessionFailed;
  UniqueInternet request(
      wininet->InternetOpenUrlA(session.get(), url.c_str(), nullptr, 0, INTERNET_FLAG_RELOAD, 0));
  if (request == nullptr || !HasSuccessStatus(*wininet, request.get()) ||
      !SentHeaders(*wininet, request.get()) || !KeptItsSecurity(*wininet, request.get(), url)) {
    return kRequestFailed;
  }
  std::int64_t announced_length = AnnouncedLength(*wininet, request.get());

  NarrowString temp_path = CreateTempFileBeside(file_path);
  if (temp_path.empty()) return kFileOpenFailed;
  DownloadResult result = ReceiveBody(*wininet, request.get(), temp_path, announced_length);
  // Checked before the file is kept: a body cut short, changed, signed by
  // anyone else, or another or an older program of the publisher's never
  // replaces the target.
  if (result >= 0 && !signer_pins.empty()) {
    ReleaseCheck check =
        CheckRelease(temp_path, FileNameIn(file_path.c_str()), signer_pins, min_version, file_path);
    if (check.verdict != ReleaseVerdict::kKept) result = RefusalOf(check.verdict);
  }
  if (result >= 0 &&
      !MoveFileExA(temp_path.c_str(), file_path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    result = kFileWriteFailed;
  }
  // The previous file stays as it was unless the whole body arrived.
  if (result < 0) DeleteFileA(temp_path.c_str());
  return result;
}
