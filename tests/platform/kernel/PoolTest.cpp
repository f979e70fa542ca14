#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "platform/kernel/Scheduler.h"
#include "platform/kernel/Verifier.h"
#include "platform/kernel/include/wdm.h"

namespace {

using plat::PoolLedger;

constexpr ULONG kTag = plat::PoolTag("Wdm ");

TEST(Pool, LeakIsReportedWithItsTag) {
  PVOID p = ExAllocatePoolWithTag(NonPagedPool, 100, kTag);
  ASSERT_NE(p, nullptr);
  std::string report = PoolLedger::LeakReport();
  EXPECT_NE(report.find("'Wdm ' non-paged, 1 allocation(s), 100 bytes"), std::string::npos) << report;
  ExFreePoolWithTag(p, kTag);
  EXPECT_EQ(PoolLedger::LeakReport(), "");
}

TEST(Pool, FailureInjectionByCountAndByTag) {
  PoolLedger::FailNth(2);
  PVOID first = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
  PVOID second = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
  PVOID third = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(second, nullptr);
  EXPECT_NE(third, nullptr);
  PoolLedger::FailTag(plat::PoolTag("New "), true);
  EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 8, plat::PoolTag("New ")), nullptr);
  PVOID other = ExAllocatePoolWithTag(PagedPool, 8, kTag);
  EXPECT_NE(other, nullptr);
  PoolLedger::ClearFailures();
  for (PVOID p : {first, third, other}) ExFreePool(p);
}

TEST(Pool, DoubleFreeAndWrongTagAreCaught) {
  PVOID p = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
  EXPECT_NE(plat::ExpectViolation([&] { ExFreePoolWithTag(p, plat::PoolTag("New ")); }).find("tagged 'Wdm '"),
            std::string::npos);
  ExFreePool(p);
  EXPECT_NE(plat::ExpectViolation([&] { ExFreePool(p); }).find("double free"), std::string::npos);
}

TEST(Pool, APageOrMoreStartsOnAPageSoAnMdlOverItCoversWholePages) {
  struct Case {
    SIZE_T bytes;
    ULONG pages;  // spanned by an MDL over the whole allocation
  } cases[] = {{PAGE_SIZE, 1}, {PAGE_SIZE + 1, 2}, {3 * PAGE_SIZE, 3}, {100000, 25}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    for (POOL_TYPE type : {NonPagedPool, PagedPool}) {
      auto* p = static_cast<UCHAR*>(ExAllocatePoolWithTag(type, c.bytes, kTag));
      ASSERT_NE(p, nullptr);
      EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % PAGE_SIZE, 0u);
      EXPECT_EQ(p[0], 0xCD);
      EXPECT_EQ(p[c.bytes - 1], 0xCD) << "fresh pool is not zeroed, to its last byte";
      PMDL mdl = IoAllocateMdl(p, static_cast<ULONG>(c.bytes), FALSE, FALSE, nullptr);
      ASSERT_NE(mdl, nullptr);
      EXPECT_EQ(MmGetMdlByteOffset(mdl), 0u);
      EXPECT_EQ(mdl->StartVa, p);
      EXPECT_EQ((mdl->Size - sizeof(MDL)) / sizeof(ULONG_PTR), c.pages);
      IoFreeMdl(mdl);
      EXPECT_NE(PoolLedger::LeakReport().find(std::to_string(c.bytes) + " bytes"), std::string::npos)
          << "the ledger keeps the size asked for";
      ExFreePoolWithTag(p, kTag);
    }
  }
}

#if defined(__SANITIZE_ADDRESS__)
TEST(PoolDeathTest, ReadingPastAPageAlignedAllocationIsStillCaught) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto* p = static_cast<volatile UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, PAGE_SIZE + 8, kTag));
  EXPECT_DEATH(static_cast<void>(p[PAGE_SIZE + 8]), "heap-buffer-overflow");
  ExFreePoolWithTag(const_cast<UCHAR*>(p), kTag);
}
#endif

TEST(Pool, NonPagedPoolIsAvailableAtDispatchLevel) {
  plat::Scheduler s;
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  PVOID p = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
  ExFreePool(p);
  KeLowerIrql(old);
  EXPECT_NE(p, nullptr);
}

}  // namespace
