// Non-paged lookaside lists: a cache of fixed-size blocks of non-paged pool, usable at
// DISPATCH_LEVEL. A freed block goes back to the list while the list holds fewer than its depth,
// otherwise to the pool. Cached blocks stay allocated pool with the list's tag (so a list that is
// never deleted shows up in the leak report under that tag); ExDeleteNPagedLookasideList gives
// them back.
//
// The depth is fixed: the Depth argument (0 means 4, the Windows minimum) is how many blocks the
// list keeps; Windows tunes it over time, which would make runs differ.
#pragma once

#include "KernelTypes.h"
#include "Pool.h"
#include "SList.h"
#include "Sync.h"

using PALLOCATE_FUNCTION = PVOID (*)(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
using PFREE_FUNCTION = VOID (*)(PVOID Buffer);

struct GENERAL_LOOKASIDE {
  SLIST_HEADER ListHead;
  USHORT Depth;
  USHORT MaximumDepth;
  ULONG TotalAllocates;
  ULONG AllocateMisses;
  ULONG TotalFrees;
  ULONG FreeMisses;
  POOL_TYPE Type;
  ULONG Tag;
  ULONG Size;
  PALLOCATE_FUNCTION Allocate;
  PFREE_FUNCTION Free;
  LIST_ENTRY ListEntry;
  ULONG LastTotalAllocates;
  ULONG LastAllocateMisses;
  ULONG Future[2];  // Future[0] marks a list between initialise and delete
};
using PGENERAL_LOOKASIDE = GENERAL_LOOKASIDE*;

// Cache-aligned, as on 64-bit Windows: an object that embeds one is over-aligned.
struct alignas(64) NPAGED_LOOKASIDE_LIST {
  GENERAL_LOOKASIDE L;
  KSPIN_LOCK Lock__ObsoleteButDoNotDelete;
};
using PNPAGED_LOOKASIDE_LIST = NPAGED_LOOKASIDE_LIST*;
static_assert(alignof(NPAGED_LOOKASIDE_LIST) == 64);

// Allocate and Free are optional (ExAllocatePoolWithTag / ExFreePool otherwise); Flags is
// accepted and ignored. A block is at least an SLIST_ENTRY (16 bytes) large.
void ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate,
                                     PFREE_FUNCTION Free, ULONG Flags, SIZE_T Size, ULONG Tag, USHORT Depth);
void ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside);
PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside);
void ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry);
