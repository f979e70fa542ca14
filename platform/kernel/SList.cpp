#include "platform/kernel/SList.h"

#include "platform/kernel/Scheduler.h"
#include "platform/kernel/Verifier.h"

namespace {

constexpr ULONGLONG kLock = 1ull << 63;
constexpr ULONGLONG kDepthMask = 0xFFFF;
constexpr ULONGLONG kSequenceOne = 1ull << 16;
constexpr ULONGLONG kSequenceMask = ((1ull << 47) - 1) << 16;

void CheckAligned(const void* p, const char* what) {
  if ((reinterpret_cast<ULONG_PTR>(p) & 15) != 0) plat::Violation(std::string(what) + " is not 16-byte aligned");
}

// Takes the header's lock; returns the state word as it was, without the lock bit.
ULONGLONG Lock(PSLIST_HEADER h) {
  ULONGLONG state = __atomic_load_n(&h->Region, __ATOMIC_RELAXED);
  while (true) {
    state &= ~kLock;
    if (__atomic_compare_exchange_n(&h->Region, &state, state | kLock, true, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
      return state;
    __builtin_ia32_pause();
  }
}

// Releases the lock with the new depth; every change also moves the sequence on.
void Unlock(PSLIST_HEADER h, ULONGLONG old, ULONGLONG depth) {
  ULONGLONG sequence = (old + kSequenceOne) & kSequenceMask;
  __atomic_store_n(&h->Region, sequence | (depth & kDepthMask), __ATOMIC_RELEASE);
}

PSLIST_ENTRY First(const SLIST_HEADER* h) {
  return reinterpret_cast<PSLIST_ENTRY>(__atomic_load_n(&h->Alignment, __ATOMIC_RELAXED));
}

void SetFirst(PSLIST_HEADER h, PSLIST_ENTRY e) {
  __atomic_store_n(&h->Alignment, reinterpret_cast<ULONGLONG>(e), __ATOMIC_RELAXED);
}

}  // namespace

void InitializeSListHead(PSLIST_HEADER SListHead) {
  CheckAligned(SListHead, "an SLIST_HEADER");
  __atomic_store_n(&SListHead->Alignment, 0, __ATOMIC_RELAXED);
  __atomic_store_n(&SListHead->Region, 0, __ATOMIC_RELEASE);
}

PSLIST_ENTRY InterlockedPushEntrySList(PSLIST_HEADER ListHead, PSLIST_ENTRY ListEntry) {
  CheckAligned(ListEntry, "an SLIST_ENTRY");
  plat::PreemptionPoint();
  ULONGLONG state = Lock(ListHead);
  PSLIST_ENTRY first = First(ListHead);
  ListEntry->Next = first;
  SetFirst(ListHead, ListEntry);
  Unlock(ListHead, state, (state & kDepthMask) + 1);
  return first;
}

PSLIST_ENTRY InterlockedPopEntrySList(PSLIST_HEADER ListHead) {
  plat::PreemptionPoint();
  ULONGLONG state = Lock(ListHead);
  PSLIST_ENTRY first = First(ListHead);
  if (first == nullptr) {
    __atomic_store_n(&ListHead->Region, state, __ATOMIC_RELEASE);
    return nullptr;
  }
  SetFirst(ListHead, first->Next);
  Unlock(ListHead, state, (state & kDepthMask) - 1);
  return first;
}

PSLIST_ENTRY InterlockedFlushSList(PSLIST_HEADER ListHead) {
  plat::PreemptionPoint();
  ULONGLONG state = Lock(ListHead);
  PSLIST_ENTRY first = First(ListHead);
  SetFirst(ListHead, nullptr);
  Unlock(ListHead, state, 0);
  return first;
}

USHORT QueryDepthSList(PSLIST_HEADER ListHead) {
  return static_cast<USHORT>(__atomic_load_n(&ListHead->Region, __ATOMIC_ACQUIRE) & kDepthMask);
}

PSLIST_ENTRY FirstEntrySList(const SLIST_HEADER* ListHead) { return First(ListHead); }

PSLIST_ENTRY ExInterlockedPushEntrySList(PSLIST_HEADER ListHead, PSLIST_ENTRY ListEntry, PKSPIN_LOCK) {
  return InterlockedPushEntrySList(ListHead, ListEntry);
}

PSLIST_ENTRY ExInterlockedPopEntrySList(PSLIST_HEADER ListHead, PKSPIN_LOCK) {
  return InterlockedPopEntrySList(ListHead);
}

PSLIST_ENTRY ExInterlockedFlushSList(PSLIST_HEADER ListHead) { return InterlockedFlushSList(ListHead); }

USHORT ExQueryDepthSList(PSLIST_HEADER ListHead) { return QueryDepthSList(ListHead); }
