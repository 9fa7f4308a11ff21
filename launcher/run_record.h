#pragma once

#include <windows.h>

#include <cstdint>

#include "launcher/service_operations.h"
#include "launcher/strings.h"

// The record of the last run (the "LastRun" value under the product key):
// what a support desk or the publisher's updater reads when the launcher did
// not hand off. ASCII words, paths and URLs as they are, lines ending in CRLF.

// The largest record, its terminating NUL included: room for two downloads
// of three attempts on each of three hosts, so that the line of the host
// that served is never the one cut.
constexpr std::int32_t kLastRunCapacity = 8192;
// The longest line (a URL holds at most a 255-byte host).
constexpr std::int32_t kLineCapacity = 1024;

// "<UTC time as 2026-12-09T17:20:46Z> <program file name> <version>\r\n".
NarrowString ComposeRunHeading(const SYSTEMTIME& utc, const NarrowString& program_path,
                               const char* version);

// "<file name> <url> <outcome>\r\n" for one download of `url` to `file_path`
// that gave `result` and `report` within `limits`. The outcome is one of
// "kept <bytes>" (with " (the one in use moved aside)" when the file in
// place was in use), "revalidated <bytes>", "older <bytes>",
// "refused <code> <rule>" and "failed <code> <what was seen>", the last
// followed by " (retry after <n> s)" when the answer asked for a wait that
// was not made; a body continued from what an earlier run left ends in
// " (continued from byte <n>)". Before it, "<file name> previous copy put
// back" when a good copy kept aside was put back, a partial-dropped line
// when one was, and a "retried <code> <what was seen>" line for each attempt
// that was followed by another; after it, "<file name> partial kept for
// the next run: <n> of <m> bytes" (with " (held)" for a whole body that
// could not be put in place) when bytes outlive the run. When
// `another_host_follows`, the download's own line is a "retried" one too:
// the next host's lines follow it.
NarrowString ComposeDownloadLine(const NarrowString& file_path, const char* url,
                                 DownloadResult result, const DownloadReport& report,
                                 const DownloadLimits& limits, bool another_host_follows = false);

// "<file name> partial dropped: <why>\r\n": what a run left of a download
// to `file_path` for the next was dropped; `status` is the answer that did
// not continue it (kNotContinued).
NarrowString ComposePartialDroppedLine(const NarrowString& file_path, PartialDrop why,
                                       std::uint32_t status);

// The last line of a run that hands off: "handed off <program> <option>\r\n".
NarrowString ComposeHandOffLine(const NarrowString& program, const char* option);

// The last line of a run that does not.
inline constexpr char kExitLine[] = "exit 1\r\n";

// `lines` and then `last_line` (both CRLF-terminated), cut after whole lines
// of `lines` so that the whole, with its NUL, fits kLastRunCapacity bytes;
// the last line is always kept (cut itself only if it alone is too long).
NarrowString BoundRunRecord(const NarrowString& lines, const NarrowString& last_line);
