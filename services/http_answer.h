#pragma once

#include <windows.h>
#include <wininet.h>

#include <cstdint>

#include "launcher/service_operations.h"
#include "services/wininet_api.h"

// What the head of an answer says, read from a request whose status and
// headers have arrived: the questions a download asks before it takes a body.

// No Content-Length: a chunked body, or one that ends with the connection.
constexpr std::int64_t kUnknownLength = -1;
// A Content-Length that is not a plain decimal number.
constexpr std::int64_t kMalformedLength = -2;

// The answer's status code; 0 when it cannot be read.
DWORD AnswerStatus(const WinInetApi& wininet, HINTERNET request);

// False for an answer without a status line and headers: WinINet takes such
// an answer (HTTP/0.9 style) as "200 OK" with the whole answer as its body.
bool SentHeaders(const WinInetApi& wininet, HINTERNET request);

// False when `url` is https and the answer did not come over a secure
// connection (WinINet follows redirects from https to plain http too).
bool KeptItsSecurity(const WinInetApi& wininet, HINTERNET request, const NarrowString& url);

// The announced Content-Length, kUnknownLength or kMalformedLength (WinINet
// passes "10000x", "-1", "1e3" and "" through). Any length past
// kLargestDownload reads as kLargestDownload + 1.
std::int64_t AnnouncedLength(const WinInetApi& wininet, HINTERNET request);

// The conditions that ask for this answer's body again only when it
// changed: "If-None-Match: <ETag>" and "If-Modified-Since: <Last-Modified>"
// lines, each value as sent. A missing validator, or one too long or holding
// a control character to be sent back, gives no line.
DownloadConditions AnswerConditions(const WinInetApi& wininet, HINTERNET request);

// "If-Range: <value>\r\n", which asks for the rest of this answer's body
// only while the body is still the same: its strong ETag, or failing one
// its Last-Modified, as sent (within the limits of AnswerConditions); empty
// when it has neither, and a body broken off cannot be continued.
DownloadConditions ResumeCondition(const WinInetApi& wininet, HINTERNET request);

// True when the answer's Content-Range is "bytes <first>-<last>/<total>"
// with <first> at `first` and <last> + 1 = <total>, the whole body's length,
// which it stores in `*total`: a part that runs to the end of the body.
bool ContinuesAt(const WinInetApi& wininet, HINTERNET request, std::int64_t first,
                 std::int64_t* total);

// The seconds the answer's Retry-After asks for, up to 1000000; -1 when it
// has none, or an HTTP-date (no clock is trusted to wait for one).
std::int32_t RetryAfterSeconds(const WinInetApi& wininet, HINTERNET request);
