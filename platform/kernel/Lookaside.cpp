#include "platform/kernel/Lookaside.h"

#include <mutex>

#include "platform/kernel/Irql.h"
#include "platform/kernel/Leftovers.h"
#include "platform/kernel/Verifier.h"

namespace {

constexpr ULONG kLiveMark = plat::PoolTag("LkAs");
constexpr USHORT kDefaultDepth = 4;

std::mutex& LiveLock() {
  static auto* m = new std::mutex;
  return *m;
}
size_t gLive = 0;

PVOID DefaultAllocate(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  return ExAllocatePoolWithTag(PoolType, NumberOfBytes, Tag);
}
VOID DefaultFree(PVOID Buffer) { ExFreePool(Buffer); }

void CheckLive(PNPAGED_LOOKASIDE_LIST l, const char* what) {
  if (l->L.Future[0] != kLiveMark)
    plat::Violation(std::string(what) + " on a lookaside list that is not initialised (or was deleted)");
}

void Count(ULONG* counter) { __atomic_add_fetch(counter, 1, __ATOMIC_RELAXED); }

}  // namespace

void ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate,
                                     PFREE_FUNCTION Free, ULONG, SIZE_T Size, ULONG Tag, USHORT Depth) {
  if (Lookaside->L.Future[0] == kLiveMark)
    plat::Violation("ExInitializeNPagedLookasideList of a list that is live (not deleted)");
  if (Size > 0xFFFFFFFFull) plat::Violation("ExInitializeNPagedLookasideList with a block size over 32 bits");
  *Lookaside = {};
  InitializeSListHead(&Lookaside->L.ListHead);
  Lookaside->L.Depth = Depth == 0 ? kDefaultDepth : Depth;
  Lookaside->L.MaximumDepth = Lookaside->L.Depth;
  Lookaside->L.Type = NonPagedPool;
  Lookaside->L.Tag = Tag;
  Lookaside->L.Size = static_cast<ULONG>(Size < sizeof(SLIST_ENTRY) ? sizeof(SLIST_ENTRY) : Size);
  Lookaside->L.Allocate = Allocate != nullptr ? Allocate : &DefaultAllocate;
  Lookaside->L.Free = Free != nullptr ? Free : &DefaultFree;
  InitializeListHead(&Lookaside->L.ListEntry);
  Lookaside->L.Future[0] = kLiveMark;
  std::lock_guard<std::mutex> lock(LiveLock());
  ++gLive;
}

void ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside) {
  CheckLive(Lookaside, "ExDeleteNPagedLookasideList");
  Lookaside->L.Future[0] = 0;
  PSLIST_ENTRY e = InterlockedFlushSList(&Lookaside->L.ListHead);
  while (e != nullptr) {
    PSLIST_ENTRY next = e->Next;
    Lookaside->L.Free(e);
    e = next;
  }
  std::lock_guard<std::mutex> lock(LiveLock());
  --gLive;
}

PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside) {
  plat::CheckIrqlAtMost(DISPATCH_LEVEL, "ExAllocateFromNPagedLookasideList");
  CheckLive(Lookaside, "ExAllocateFromNPagedLookasideList");
  Count(&Lookaside->L.TotalAllocates);
  if (PSLIST_ENTRY e = InterlockedPopEntrySList(&Lookaside->L.ListHead)) return e;
  Count(&Lookaside->L.AllocateMisses);
  return Lookaside->L.Allocate(Lookaside->L.Type, Lookaside->L.Size, Lookaside->L.Tag);
}

void ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry) {
  plat::CheckIrqlAtMost(DISPATCH_LEVEL, "ExFreeToNPagedLookasideList");
  CheckLive(Lookaside, "ExFreeToNPagedLookasideList");
  if (Entry == nullptr) plat::Violation("ExFreeToNPagedLookasideList of a null block");
  Count(&Lookaside->L.TotalFrees);
  if (QueryDepthSList(&Lookaside->L.ListHead) >= Lookaside->L.Depth) {
    Count(&Lookaside->L.FreeMisses);
    Lookaside->L.Free(Entry);
    return;
  }
  InterlockedPushEntrySList(&Lookaside->L.ListHead, static_cast<PSLIST_ENTRY>(Entry));
}

namespace plat {
size_t LiveLookasideLists() {
  std::lock_guard<std::mutex> lock(LiveLock());
  return gLive;
}
}  // namespace plat
