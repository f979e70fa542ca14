#include <gtest/gtest.h>

#include <vector>

#include "platform/kernel/Leftovers.h"
#include "platform/kernel/Verifier.h"
#include "platform/kernel/include/wdm.h"

namespace {

using plat::PoolLedger;

constexpr ULONG kTag = plat::PoolTag("new ");
constexpr size_t kBlock = 664;

TEST(Lookaside, CachesUpToItsDepthAndGivesEverythingBackOnDelete) {
  NPAGED_LOOKASIDE_LIST list;
  ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, kBlock, kTag, 4);
  EXPECT_EQ(plat::LiveLookasideLists(), 1u);
  std::vector<PVOID> blocks;
  for (int i = 0; i < 6; ++i) blocks.push_back(ExAllocateFromNPagedLookasideList(&list));
  for (PVOID b : blocks) ASSERT_NE(b, nullptr);
  EXPECT_EQ(PoolLedger::OutstandingAllocations(), 6u);
  for (PVOID b : blocks) ExFreeToNPagedLookasideList(&list, b);
  // Four stay cached (still pool of the list's tag), two went back to the pool.
  EXPECT_EQ(PoolLedger::OutstandingAllocations(), 4u);
  EXPECT_NE(PoolLedger::LeakReport().find("'new ' non-paged, 4 allocation(s), 2656 bytes"), std::string::npos);
  EXPECT_EQ(list.L.FreeMisses, 2u);

  // The next allocation reuses the block freed last, without the pool.
  size_t before = PoolLedger::AllocationCount();
  PVOID again = ExAllocateFromNPagedLookasideList(&list);
  EXPECT_EQ(again, blocks[3]);
  EXPECT_EQ(PoolLedger::AllocationCount(), before);
  ExFreeToNPagedLookasideList(&list, again);
  EXPECT_EQ(list.L.TotalAllocates, 7u);
  EXPECT_EQ(list.L.AllocateMisses, 6u);

  ExDeleteNPagedLookasideList(&list);
  EXPECT_EQ(PoolLedger::OutstandingAllocations(), 0u);  // the ledger is exact again
  EXPECT_EQ(plat::LiveLookasideLists(), 0u);
}

struct Calls {
  static inline int allocs = 0, frees = 0;
  static inline SIZE_T size = 0;
  static inline ULONG tag = 0;
  static PVOID Allocate(POOL_TYPE type, SIZE_T bytes, ULONG tag) {
    ++allocs;
    size = bytes;
    Calls::tag = tag;
    return ExAllocatePoolWithTag(type, bytes, tag);
  }
  static VOID Free(PVOID p) {
    ++frees;
    ExFreePoolWithTag(p, kTag);
  }
};

TEST(Lookaside, UsesTheCallersRoutinesAtDispatchLevel) {
  NPAGED_LOOKASIDE_LIST list;
  ExInitializeNPagedLookasideList(&list, &Calls::Allocate, &Calls::Free, 0, 4, kTag, 1);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  PVOID a = ExAllocateFromNPagedLookasideList(&list);
  PVOID b = ExAllocateFromNPagedLookasideList(&list);
  ExFreeToNPagedLookasideList(&list, a);  // cached
  ExFreeToNPagedLookasideList(&list, b);  // over the depth of 1: freed
  KeLowerIrql(old);
  EXPECT_EQ(Calls::allocs, 2);
  EXPECT_EQ(Calls::frees, 1);
  EXPECT_EQ(Calls::size, sizeof(SLIST_ENTRY));  // a block holds at least the list link
  EXPECT_EQ(Calls::tag, kTag);
  ExDeleteNPagedLookasideList(&list);
  EXPECT_EQ(Calls::frees, 2);
}

TEST(Lookaside, PoolFailureGivesNullAndMisuseIsCaught) {
  NPAGED_LOOKASIDE_LIST list;
  ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, kBlock, kTag, 0);
  EXPECT_EQ(list.L.Depth, 4);  // 0 means the Windows minimum
  PoolLedger::FailTag(kTag, true);
  EXPECT_EQ(ExAllocateFromNPagedLookasideList(&list), nullptr);
  PoolLedger::ClearFailures();
  EXPECT_NE(plat::ExpectViolation([&] {
              ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, kBlock, kTag, 0);
            }).find("live"),
            std::string::npos);
  ExDeleteNPagedLookasideList(&list);
  for (auto misuse : {+[](PNPAGED_LOOKASIDE_LIST l) { ExDeleteNPagedLookasideList(l); },
                      +[](PNPAGED_LOOKASIDE_LIST l) { ExAllocateFromNPagedLookasideList(l); }})
    EXPECT_NE(plat::ExpectViolation([&] { misuse(&list); }).find("not initialised"), std::string::npos);
}

}  // namespace
