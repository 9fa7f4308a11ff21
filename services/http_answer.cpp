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
  DWORD size = sizeof(text) - 1;
  if (!wininet.HttpQueryInfoA(request, HTTP_QUERY_CONTENT_LENGTH, text, &size, nullptr)) {
    return GetLastError() == ERROR_HTTP_HEADER_NOT_FOUND ? kUnknownLength : kMalformedLength;
  }
  if (text[0] == '\0') return kMalformedLength;
  std::int64_t length = 0;
  for (const char* digit = text; *digit != '\0'; ++digit) {
    if (*digit < '0' || *digit > '9') return kMalformedLength;
    // Below 10^17 one more digit cannot overflow; at or above it the length
    // is past any cap, and INT64_MAX says so (with no 64-bit division).
    length = length < 100000000000000000 ? length * 10 + (*digit - '0') : INT64_MAX;
  }
  return length;
}

DownloadConditions AnswerConditions(const WinInetApi& wininet, HINTERNET request) {
  return ConditionOn(wininet, request, HTTP_QUERY_ETAG, "If-None-Match: ") +
         ConditionOn(wininet, request, HTTP_QUERY_LAST_MODIFIED, "If-Modified-Since: ");
}
