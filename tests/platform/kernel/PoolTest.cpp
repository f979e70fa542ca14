#include <gtest/gtest.h>

#include "platform/kernel/Scheduler.h"
#include "platform/kernel/Verifier.h"
#include "platform/kernel/include/wdm.h"

namespace {

using plat::PoolLedger;

constexpr ULONG kTag = PoolTag("Wdm ");

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
  PoolLedger::FailTag(PoolTag("New "), true);
  EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 8, PoolTag("New ")), nullptr);
  PVOID other = ExAllocatePoolWithTag(PagedPool, 8, kTag);
  EXPECT_NE(other, nullptr);
  PoolLedger::ClearFailures();
  for (PVOID p : {first, third, other}) ExFreePool(p);
}

TEST(Pool, DoubleFreeAndWrongTagAreCaught) {
  PVOID p = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
  EXPECT_NE(plat::ExpectViolation([&] { ExFreePoolWithTag(p, PoolTag("New ")); }).find("tagged 'Wdm '"),
            std::string::npos);
  ExFreePool(p);
  EXPECT_NE(plat::ExpectViolation([&] { ExFreePool(p); }).find("double free"), std::string::npos);
}

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
