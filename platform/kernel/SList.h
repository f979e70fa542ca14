// Interlocked singly linked lists (SLIST_HEADER), as on x64 Windows: 16-byte aligned headers and
// entries, a 16-bit depth, and usable from any thread at any IRQL without an outside lock.
//
// The header guards itself: the top bit of its state word is a short lock taken with an atomic
// compare-and-swap around each operation (nothing inside it waits), so the lists are genuinely
// safe on real threads and need no double-width compare-and-swap. The spin-lock argument of the
// Ex forms is ignored, as the x64 kernel ignores it.
#pragma once

#include "KernelTypes.h"
#include "Sync.h"

struct alignas(16) SLIST_ENTRY {
  SLIST_ENTRY* Next;
};
using PSLIST_ENTRY = SLIST_ENTRY*;
static_assert(sizeof(SLIST_ENTRY) == 16 && alignof(SLIST_ENTRY) == 16);

struct alignas(16) SLIST_HEADER {
  ULONGLONG Alignment;  // the first entry
  ULONGLONG Region;     // bits 0-15 depth, 16-62 sequence, 63 the header's own lock
};
using PSLIST_HEADER = SLIST_HEADER*;
static_assert(sizeof(SLIST_HEADER) == 16 && alignof(SLIST_HEADER) == 16);

void InitializeSListHead(PSLIST_HEADER SListHead);
// Both return the entry that was first before the call (null when the list was empty).
PSLIST_ENTRY InterlockedPushEntrySList(PSLIST_HEADER ListHead, PSLIST_ENTRY ListEntry);
PSLIST_ENTRY InterlockedPopEntrySList(PSLIST_HEADER ListHead);
// Takes every entry at once; returns the first of the chain (linked by Next).
PSLIST_ENTRY InterlockedFlushSList(PSLIST_HEADER ListHead);
USHORT QueryDepthSList(PSLIST_HEADER ListHead);
PSLIST_ENTRY FirstEntrySList(const SLIST_HEADER* ListHead);

PSLIST_ENTRY ExInterlockedPushEntrySList(PSLIST_HEADER ListHead, PSLIST_ENTRY ListEntry, PKSPIN_LOCK Lock);
PSLIST_ENTRY ExInterlockedPopEntrySList(PSLIST_HEADER ListHead, PKSPIN_LOCK Lock);
PSLIST_ENTRY ExInterlockedFlushSList(PSLIST_HEADER ListHead);
USHORT ExQueryDepthSList(PSLIST_HEADER ListHead);
