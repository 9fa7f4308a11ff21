#pragma once

#include <windows.h>

#include <cstdint>

#include "launcher/service_operations.h"
#include "services/http_answer.h"
#include "services/partial_download.h"
#include "services/wininet_api.h"

// One attempt of a download, and the part of a body it leaves for the next.

// Notes in `report` what ended the attempt or the download, and returns `result`.
inline DownloadResult Ended(DownloadReport* report, DownloadEnd end, DownloadResult result) {
  report->end = end;
  return result;
}

// Opens an asynchronous WinINet session of `access_type` in which the
// download's windows are the only clock: its connect, send and receive
// time-outs outlast the longest wait the window rules allow (two windows).
// Null when WinINet opens none.
HINTERNET OpenDownloadSession(const WinInetApi& wininet, DWORD access_type,
                              const DownloadLimits& limits);

// GETs `url` once through a session of `access_type` (INTERNET_OPEN_TYPE_*)
// and fills the attempt's part of `report`. With `partial->kept` bytes in
// hand it asks for the rest (Range, If-Range) and appends a 206 that
// continues them exactly; a 200 starts the body over; a 206 or 416 that does
// not continue them drops them (kBadRange). Otherwise it sends `conditions`,
// and a 304 to them keeps the file at `file_path` (report->revalidated).
// A whole body left by an earlier run (`partial->whole`) is asked for with
// its own conditions instead, and a 304 to them keeps it.
// Returns the whole body's size, with the body in `partial->temp_path`,
// flushed to disk, or a negative code; after a body broken off (a read
// that failed, a body cut short, a stall, too slow) the bytes that arrived
// stay for the next attempt when their answer gave an If-Range validator,
// and are checkpointed for the next run when it also gave their length. Given up on (no answer in a
// window, a stall), it returns at once and leaves its handles to WinINet, as DownloadToFile says.
DownloadResult AttemptDownload(const WinInetApi& wininet, const NarrowString& url,
                               const NarrowString& file_path, const DownloadConditions& conditions,
                               const DownloadLimits& limits, DWORD access_type,
                               PartialBody* partial, DownloadReport* report);
