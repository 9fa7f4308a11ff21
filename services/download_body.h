#pragma once

#include <windows.h>

#include <cstdint>

#include "launcher/service_operations.h"
#include "services/partial_download.h"
#include "services/transfer.h"
#include "services/wininet_api.h"

// Taking a body from WinINet into its partial file, at the body's pace.

// Writes the body of `request` into partial->temp_path after the
// partial->kept bytes there, within `limits`, and returns the whole body's
// size, flushed to disk, or a negative code; a body that arrived whole but
// shorter than announced or than its program headers say is cut short. The
// body's hash goes on in partial->sha while partial->hashing. A body broken
// off (a read that failed, cut short, stalled, too slow) stays for the next
// attempt when its answer gave an If-Range validator, and is flushed and
// checkpointed for the next run when it outlives it; so is each second or
// megabyte of it, whichever is longer. `*ended` tells whether the body was
// read to its end; when a wait was given up on, `*outstanding` is true.
DownloadResult ReceiveBody(const WinInetApi& wininet, HINTERNET request,
                           std::int64_t announced_length, const DownloadLimits& limits,
                           Transfer* transfer, PartialBody* partial, DownloadReport* report,
                           bool* ended, bool* outstanding);
