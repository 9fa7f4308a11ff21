#include "services/transfer.h"

#include <new>

void TransferFree::operator()(Transfer* transfer) const {
  transfer->~Transfer();
  HeapFree(GetProcessHeap(), 0, transfer);
}

UniqueTransfer NewTransfer() {
  void* memory = HeapAlloc(GetProcessHeap(), 0, sizeof(Transfer));
  if (memory == nullptr) return nullptr;
  UniqueTransfer transfer(new (memory) Transfer);
  transfer->completed.reset(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  if (transfer->completed == nullptr) return nullptr;
  return transfer;
}

void AbandonTransfer(UniqueTransfer* transfer) { static_cast<void>(transfer->release()); }

void CALLBACK OnInternetStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD) {
  if (status != INTERNET_STATUS_REQUEST_COMPLETE || context == 0 || info == nullptr) return;
  Transfer* transfer = reinterpret_cast<Transfer*>(context);
  transfer->result = *static_cast<const INTERNET_ASYNC_RESULT*>(info);
  SetEvent(transfer->completed.get());
}

bool AwaitCompletion(const Transfer& transfer, ULONGLONG deadline) {
  ULONGLONG now = GetTickCount64();
  DWORD wait = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
  return WaitForSingleObject(transfer.completed.get(), wait) == WAIT_OBJECT_0;
}

bool KeepsPace(Pace* pace, ULONGLONG now) {
  while (now >= pace->window_end) {
    if (pace->window_bytes < pace->quota) return false;
    pace->window_bytes = 0;
    pace->window_end += pace->window_ms;
  }
  return true;
}

namespace {

// Waits for the outstanding operation while the body keeps its pace; false
// once a window closed short, with the operation still outstanding.
bool AwaitInPace(const Transfer& transfer, Pace* pace) {
  while (!AwaitCompletion(transfer, pace->window_end)) {
    if (!KeepsPace(pace, GetTickCount64())) return false;
  }
  return true;
}

}  // namespace

Taken TakeArrivedBytes(const WinInetApi& wininet, HINTERNET request, Transfer* transfer,
                       Pace* pace) {
  // A read that waits completes only with a full buffer or the body's end,
  // however long that takes at a slow pace. One that does not wait
  // (IRF_NO_WAIT) takes at once what is there, up to the buffer; with
  // nothing there it is queued, and completes as the first bytes come,
  // without them and with the buffer untouched (as WinINet's own tests show
  // on Windows and Wine), for the next read to take.
  const auto context = reinterpret_cast<DWORD_PTR>(transfer);
  for (;;) {
    // InternetReadFileExA, not InternetReadFile: Wine's InternetReadFile
    // zeroes the count after queuing a read, and so can lose a completed
    // read's bytes; the count of InternetReadFileExA is the read's own.
    transfer->read = {};
    transfer->read.dwStructSize = sizeof(transfer->read);
    transfer->read.lpvBuffer = transfer->buffer;
    transfer->read.dwBufferLength = kTransferBufferSize;
    if (wininet.InternetReadFileExA(request, &transfer->read, IRF_ASYNC | IRF_NO_WAIT, context)) {
      return transfer->read.dwBufferLength == 0 ? Taken::kEnd : Taken::kBytes;
    }
    if (GetLastError() != ERROR_IO_PENDING) return Taken::kFailed;
    if (!AwaitInPace(*transfer, pace)) return Taken::kOutOfPace;
    // A connection reset mid-body fails the wait; without this check a
    // chunked body cut that way would count as whole.
    if (transfer->result.dwResult == 0) return Taken::kFailed;
  }
}
