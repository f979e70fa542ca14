// Service groups and the kernel COM base they are built on: deferral of RequestService to a DPC,
// membership, delayed service, and aggregation through an outer unknown.
#include <gtest/gtest.h>

#include "platform/kernel/Scheduler.h"
#include "platform/kernel/Verifier.h"
#include "platform/portcls/include/portcls.h"
#include "platform/portcls/include/stdunk.h"

namespace {

class CountingSink final : public CUnknown, public IServiceSink {
 public:
  explicit CountingSink(PUNKNOWN outer = nullptr) : CUnknown(outer) {}
  ~CountingSink() override { ++destroyed; }
  DECLARE_STD_UNKNOWN()
  void RequestService() override {
    ++calls;
    irql = KeGetCurrentIrql();
  }
  int calls = 0;
  KIRQL irql = PASSIVE_LEVEL;
  static inline int destroyed = 0;
};

NTSTATUS CountingSink::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (IsEqualGUID(iid, IID_IServiceSink)) {
    *object = static_cast<IServiceSink*>(this);
    AddRef();
    return STATUS_SUCCESS;
  }
  return CUnknown::NonDelegatingQueryInterface(iid, object);
}

// An object that aggregates a sink: the sink's interface is the outer object's, and so is its count.
class Outer final : public CUnknown, public IUnknown {
 public:
  Outer() : CUnknown(nullptr), mInner(new CountingSink(NonDelegatingUnknown())) { mInner->NonDelegatingAddRef(); }
  ~Outer() override { mInner->NonDelegatingRelease(); }
  DECLARE_STD_UNKNOWN()
  CountingSink* Inner() { return mInner; }
  LONG References() const { return mRefCount; }

 private:
  CountingSink* mInner;
};

NTSTATUS Outer::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (IsEqualGUID(iid, IID_IServiceSink)) return mInner->NonDelegatingQueryInterface(iid, object);
  return CUnknown::NonDelegatingQueryInterface(iid, object);
}

class ServiceGroups : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(PcNewServiceGroup(&group, nullptr), STATUS_SUCCESS);
    sink->NonDelegatingAddRef();
    ASSERT_EQ(group->AddMember(sink), STATUS_SUCCESS);
  }
  void TearDown() override {
    if (group != nullptr) group->Release();
    sink->NonDelegatingRelease();
  }
  plat::Scheduler sched;
  PSERVICEGROUP group = nullptr;
  CountingSink* sink = new CountingSink();
};

TEST_F(ServiceGroups, RequestServiceIsDeferredToADpcThatCallsEveryMemberAtDispatchLevel) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  group->RequestService();
  group->RequestService();
  EXPECT_EQ(sink->calls, 0) << "nothing runs before the IRQL drops";
  KeLowerIrql(old);
  EXPECT_EQ(sink->calls, 1) << "two requests before the DPC ran are one service";
  EXPECT_EQ(sink->irql, DISPATCH_LEVEL);
}

TEST_F(ServiceGroups, ARemovedMemberIsNoLongerCalledAndRemovingAStrangerIsAFault) {
  group->RemoveMember(sink);
  group->RequestService();
  sched.RunUntilIdle();
  EXPECT_EQ(sink->calls, 0);
  EXPECT_NE(plat::ExpectViolation([&] { group->RemoveMember(sink); }), "");
}

TEST_F(ServiceGroups, TheGroupOutlivesItsLastReferenceWhileItsDpcIsQueued) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  group->RequestService();
  group->Release();
  group = nullptr;
  KeLowerIrql(old);
  EXPECT_EQ(sink->calls, 1);
}

TEST_F(ServiceGroups, DelayedServiceRunsAfterItsDelayOnlyWhenSupportedAndCanBeCancelled) {
  EXPECT_NE(plat::ExpectViolation([&] { group->RequestDelayedService(-10000); }), "");
  group->SupportDelayedService();
  group->RequestDelayedService(-20 * 10000);  // 20 ms
  sched.RunFor(19 * plat::kNsPerMs);
  EXPECT_EQ(sink->calls, 0);
  sched.RunFor(2 * plat::kNsPerMs);
  EXPECT_EQ(sink->calls, 1);
  group->RequestDelayedService(-20 * 10000);
  group->CancelDelayedService();
  sched.RunFor(50 * plat::kNsPerMs);
  EXPECT_EQ(sink->calls, 1);
}

TEST(Aggregation, AnAggregatedObjectCountsOnItsOuterAndAnswersThroughItsNonDelegatingUnknown) {
  CountingSink::destroyed = 0;
  auto* outer = new Outer();
  outer->NonDelegatingAddRef();
  PVOID found = nullptr;
  ASSERT_EQ(outer->NonDelegatingQueryInterface(IID_IServiceSink, &found), STATUS_SUCCESS);
  auto* asSink = static_cast<PSERVICESINK>(found);
  EXPECT_EQ(asSink, static_cast<PSERVICESINK>(outer->Inner()));
  EXPECT_EQ(outer->References(), 2) << "the inner object's reference was counted on the outer one";
  PVOID identity = nullptr;
  ASSERT_EQ(asSink->QueryInterface(IID_IUnknown, &identity), STATUS_SUCCESS);
  EXPECT_EQ(identity, static_cast<PVOID>(outer->NonDelegatingUnknown())) << "one identity, the outer one's";
  static_cast<PUNKNOWN>(identity)->Release();
  asSink->Release();
  EXPECT_EQ(CountingSink::destroyed, 0);
  outer->NonDelegatingRelease();
  EXPECT_EQ(CountingSink::destroyed, 1);
}

}  // namespace
