#pragma once

#include <windows.h>
#include <wininet.h>

#include <cstdint>
#include <memory>

#include "services/scoped_handles.h"
#include "services/wininet_api.h"

// Where one asynchronous download meets WinINet's worker threads, and the
// pace its body must keep.

// The most a read takes: a read asks only for what WinINet already holds
// (IRF_NO_WAIT), so at the body's pace it is as large as the bytes that
// came since the last one. 256 KiB, not 64: under Wine a read that finds
// nothing is queued to a worker thread and the next one takes only Wine's
// 8 KiB buffer, which costs a 64 KiB buffer about 1.3x the time of a bare
// 64 KiB loop on a fast link; 256 KiB brings it below the loop.
constexpr DWORD kTransferBufferSize = 256 * 1024;

// Each asynchronous operation writes into `buffer` and `read` and then
// signals `completed` through the status callback, with the transfer as its
// context. An operation given up on may still complete much later (under
// Wine a blocked read ends only when the server closes), so a transfer with
// an operation outstanding is never freed or reused: see AbandonTransfer.
struct Transfer {
  UniqueKernelHandle completed;  // Auto-reset: set once by each completion.
  INTERNET_ASYNC_RESULT result = {};
  INTERNET_BUFFERSA read = {};  // Points at `buffer`; its length is the count.
  char buffer[kTransferBufferSize];
};

// Frees a transfer on the process heap (operator new would bring in the C++
// exception runtime, which the launcher is built without).
struct TransferFree {
  void operator()(Transfer* transfer) const;
};
using UniqueTransfer = std::unique_ptr<Transfer, TransferFree>;

// A transfer with its event, or null when either cannot be had.
UniqueTransfer NewTransfer();

// Leaves a transfer to WinINet for the rest of the process: an operation
// still outstanding may write into it or signal it at any time. That is at
// most one transfer (its 256 KiB buffer) per request given up on, and a
// run gives up on at most six.
void AbandonTransfer(UniqueTransfer* transfer);

// The status callback of every handle of a download. Only a completion
// concerns the download, and only an operation it started completes, so no
// other notice touches the transfer (which may be gone by then).
void CALLBACK OnInternetStatus(HINTERNET handle, DWORD_PTR context, DWORD status, LPVOID info,
                               DWORD info_size);

// Waits for the outstanding operation until `deadline` (GetTickCount64
// time); true when it completed, with its outcome in transfer.result.
bool AwaitCompletion(const Transfer& transfer, ULONGLONG deadline);

// The body's pace: back-to-back windows from the moment the headers arrived,
// each of which must bring `quota` bytes unless the body ends in it.
struct Pace {
  ULONGLONG window_ms;
  std::int64_t quota;
  ULONGLONG window_end;
  std::int64_t window_bytes;  // Of the window that is open, or that fell short.
};

// Closes every window that ended by `now`; false when one brought too little.
bool KeepsPace(Pace* pace, ULONGLONG now);

// What TakeArrivedBytes found.
enum class Taken {
  kBytes,      // transfer->read.dwBufferLength bytes are in transfer->buffer.
  kEnd,        // The body ended.
  kFailed,     // The connection broke, or WinINet refused.
  kOutOfPace,  // A window closed short while waiting; the wait goes on.
};

// Takes into transfer->buffer what WinINet holds of the body of `request`,
// up to the buffer's size, as soon as it holds any (or the body ended),
// waiting only while the body keeps `pace`. After kFailed or kOutOfPace an
// operation may still be outstanding: the transfer then stays WinINet's.
Taken TakeArrivedBytes(const WinInetApi& wininet, HINTERNET request, Transfer* transfer,
                       Pace* pace);
