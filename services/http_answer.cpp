#include "services/http_answer.h"

#include <cstring>

namespace {

// Longer validators are not kept: no server needs them, and each is sent
// back in a request header.
constexpr DWORD kLargestValidator = 512;

// "<condition><value of header>\r\n", or empty when the header is missing,
// too long or holds a control character.
NarrowString ConditionOn(const WinInetApi& wininet, HINTERNET request, DWORD header,
                         const char* condition) {
  char line[32 + kLargestValidator + 3] = {};
  const size_t start = std::strlen(condition);
  std::memcpy(line, condition, start);
  DWORD size = kLargestValidator;
  if (!wininet.HttpQueryInfoA(request, header, line + start, &size, nullptr)) return NarrowString();
  char* at = line + start;
  for (; *at != '\0'; ++at) {
    if (static_cast<unsigned char>(*at) < 0x20 || *at == 0x7F) return NarrowString();
  }
  std::memcpy(at, "\r\n", 3);
  return NarrowString(line);
}

// Past any length a download can take: kLargestDownload + 1.
constexpr std::uint32_t kPastAnyLength = 0x80000000;

// Reads the decimal number at `*at` and moves past it; -1 when no digit is
// there. Anything past kLargestDownload reads as kPastAnyLength, in 32-bit
// arithmetic (i686 then needs no 64-bit multiplication).
std::int64_t ReadDecimal(const char** at) {
  if (**at < '0' || **at > '9') return -1;
  std::uint32_t value = 0;
  for (; **at >= '0' && **at <= '9'; ++*at) {
    value = value <= kPastAnyLength / 10 ? value * 10 + static_cast<std::uint32_t>(**at - '0')
                                         : kPastAnyLength;
  }
  return value < kPastAnyLength ? value : kPastAnyLength;
}

// The text of `header`, when it fits `size` bytes with its NUL.
bool QueryText(const WinInetApi& wininet, HINTERNET request, DWORD header, char* text, DWORD size) {
  --size;
  return wininet.HttpQueryInfoA(request, header, text, &size, nullptr);
}

}  // namespace

DWORD AnswerStatus(const WinInetApi& wininet, HINTERNET request) {
  DWORD status = 0;
  DWORD size = sizeof(status);
  if (!wininet.HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status,
                              &size, nullptr)) {
    return 0;
  }
  return status;
}

// Every HTTP/1.x server sends some header (a length, a date, a connection),
// so an answer without any is no answer at all.
bool SentHeaders(const WinInetApi& wininet, HINTERNET request) {
  char headers[256] = {};
  DWORD size = sizeof(headers) - 1;
  if (!wininet.HttpQueryInfoA(request, HTTP_QUERY_RAW_HEADERS_CRLF, headers, &size, nullptr)) {
    return GetLastError() == ERROR_INSUFFICIENT_BUFFER;  // More than fits: headers.
  }
  const char* after_status = std::strstr(headers, "\r\n");
  return after_status != nullptr && after_status[2] != '\r' && after_status[2] != '\0';
}

// A URL the build made https must be answered over a secure connection, or
// anyone on the path could have sent the body: the request, redirects
// followed, must still be for an https URL. (Its security flags cannot
// tell: Wine clears SECURITY_FLAG_SECURE once a bodiless answer such as a
// 304 has released its connection.)
bool KeptItsSecurity(const WinInetApi& wininet, HINTERNET request, const NarrowString& url) {
  if (std::strncmp(url.c_str(), "https:", 6) != 0) return true;
  char answered[INTERNET_MAX_URL_LENGTH + 1];
  DWORD size = INTERNET_MAX_URL_LENGTH;
  return wininet.InternetQueryOptionA(request, INTERNET_OPTION_URL, answered, &size) && size >= 6 &&
         std::strncmp(answered, "https:", 6) == 0;
}

std::int64_t AnnouncedLength(const WinInetApi& wininet, HINTERNET request) {
  char text[64] = {};
  if (!QueryText(wininet, request, HTTP_QUERY_CONTENT_LENGTH, text, sizeof(text))) {
    return GetLastError() == ERROR_HTTP_HEADER_NOT_FOUND ? kUnknownLength : kMalformedLength;
  }
  const char* at = text;
  const std::int64_t length = ReadDecimal(&at);
  return length < 0 || *at != '\0' ? kMalformedLength : length;
}

DownloadConditions AnswerConditions(const WinInetApi& wininet, HINTERNET request) {
  return ConditionOn(wininet, request, HTTP_QUERY_ETAG, "If-None-Match: ") +
         ConditionOn(wininet, request, HTTP_QUERY_LAST_MODIFIED, "If-Modified-Since: ");
}

DownloadConditions ResumeCondition(const WinInetApi& wininet, HINTERNET request) {
  // A weak ETag promises no byte-for-byte equality: never splice under one.
  NarrowString tag = ConditionOn(wininet, request, HTTP_QUERY_ETAG, "If-Range: ");
  if (!tag.empty() && std::strncmp(tag.c_str() + 10, "W/", 2) != 0) return tag;
  return ConditionOn(wininet, request, HTTP_QUERY_LAST_MODIFIED, "If-Range: ");
}

bool ContinuesAt(const WinInetApi& wininet, HINTERNET request, std::int64_t first,
                 std::int64_t* total) {
  char text[96] = {};
  if (!QueryText(wininet, request, HTTP_QUERY_CONTENT_RANGE, text, sizeof(text)) ||
      std::strncmp(text, "bytes ", 6) != 0) {
    return false;
  }
  const char* at = text + 6;
  if (ReadDecimal(&at) != first || *at++ != '-') return false;
  const std::int64_t last = ReadDecimal(&at);
  if (last < first || last == kPastAnyLength || *at++ != '/') return false;
  *total = ReadDecimal(&at);
  return *at == '\0' && *total == last + 1;
}

std::int32_t RetryAfterSeconds(const WinInetApi& wininet, HINTERNET request) {
  char text[64] = {};
  if (!QueryText(wininet, request, HTTP_QUERY_RETRY_AFTER, text, sizeof(text))) return -1;
  const char* at = text;
  const std::int64_t seconds = ReadDecimal(&at);
  if (seconds < 0 || *at != '\0') return -1;
  return seconds < 1000000 ? static_cast<std::int32_t>(seconds) : 1000000;
}
