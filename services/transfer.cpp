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
