#include <gtest/gtest.h>

#include <string>

#include "kframework/KernelUtil.h"
#include "platform/kernel/KernelHandles.h"
#include "tests/kframework/TestStack.h"
#include "platform/kernel/WideText.h"

namespace {

std::u16string Text(const UNICODE_STRING& s) { return plat::ToU16(s); }

TEST(NumberedName, CarriesEveryThirtyTwoBitNumberInRadixTenOrSixteen) {
  plat::Scheduler sched;
  struct Case {
    ULONG number, radix;
    std::u16string name;
  } cases[] = {
      {7, 10, u"Qx531Device7"},         {0, 10, u"Qx531Device0"},
      {999, 10, u"Qx531Device999"},     {1000, 10, u"Qx531Device1000"},
      {4294967295u, 10, u"Qx531Device4294967295"}, {255, 16, u"Qx531DeviceFF"},
      {7, 8, u""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.number);
    NumberedName n = MakeNumberedName(L"Qx531Device", c.number, c.radix);
    EXPECT_EQ(Text(n), c.name);
    if (n.Buffer != nullptr) {
      EXPECT_EQ(n.Buffer[n.Length / 2], 0) << "terminated";
      EXPECT_EQ(n.MaximumLength, n.Length + 2);
    }
    FreeNumberedName(&n);
  }
}

TEST(CountedStrings, CopyNeedsRoomForTheTerminator) {
  plat::Scheduler sched;
  plat::WideString abc(u"abc");
  UNICODE_STRING src{6, 6, abc.data()};
  struct Case {
    ULONG bytes;
    NTSTATUS status;
  } cases[] = {{6, STATUS_BUFFER_TOO_SMALL}, {7, STATUS_BUFFER_TOO_SMALL}, {8, STATUS_SUCCESS}};
  for (const auto& c : cases) {
    WCHAR buffer[5] = {u'x', u'x', u'x', u'x', u'x'};
    EXPECT_EQ(CopyCountedString(&src, buffer, c.bytes), c.status) << c.bytes;
    if (c.status == STATUS_SUCCESS) {
      EXPECT_EQ(plat::U16(buffer), u"abc");
    } else {
      EXPECT_EQ(buffer[0], u'x') << "nothing written";
    }
  }
}

TEST(CountedStrings, ResizeFailsInsteadOfWrappingAndKeepsTheStringOnFailure) {
  plat::Scheduler sched;
  struct Case {
    const char* what;
    USHORT maximum;
    ULONG extra;
    bool failPool;
    NTSTATUS status;
    USHORT newMaximum;
  } cases[] = {
      {"grows", 8, 3, false, STATUS_SUCCESS, 14},
      {"would pass 16 bits", 0xFFF0, 100, false, STATUS_INSUFFICIENT_RESOURCES, 0xFFF0},
      {"zero size", 0, 0, false, STATUS_INSUFFICIENT_RESOURCES, 0},
      {"no pool", 8, 3, true, STATUS_INSUFFICIENT_RESOURCES, 8},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    CountedString s{};
    if (c.maximum != 0) {
      ASSERT_EQ(ConcatIntoCountedString(&s, L"ab", L"c", PagedPool), STATUS_SUCCESS);
      s.MaximumLength = c.maximum;
    }
    PWSTR before = s.Buffer;
    if (c.failPool) plat::PoolLedger::FailTag(kFrameworkPoolTag, true);
    EXPECT_EQ(ResizeCountedString(&s, c.extra, PagedPool), c.status);
    plat::PoolLedger::ClearFailures();
    EXPECT_EQ(s.MaximumLength, c.newMaximum);
    if (c.status == STATUS_SUCCESS) {
      EXPECT_EQ(Text(s), u"abc");
    } else {
      EXPECT_EQ(s.Buffer, before);
    }
    ClearCountedString(&s);
  }
}

TEST(CountedStrings, AnsiConvertsByTheWindowsCodePageAndCompareIsCaseSensitive) {
  plat::Scheduler sched;
  CountedString s = AnsiToCountedString("Qx\x80", PagedPool);
  EXPECT_EQ(Text(s), u"Qx\u20AC");
  EXPECT_TRUE(s.mOwnsBuffer);
  CountedString same = AnsiToCountedString("Qx\x80", NonPagedPool);
  CountedString other = AnsiToCountedString("qx\x80", NonPagedPool);
  EXPECT_TRUE(CountedStringEquals(&s, &same));
  EXPECT_FALSE(CountedStringEquals(&s, &other));
  for (CountedString* c : {&s, &same, &other}) ClearCountedString(c);
}

struct Member {
  int value;
  ListLink link;
};

TEST(Lists, WalkInOrderAndEndWithNull) {
  ListHead head;
  ListInit(&head, offsetof(Member, link));
  EXPECT_EQ(ListPopFirst(&head), nullptr);
  EXPECT_EQ(ListNext(&head, nullptr), nullptr);
  Member a{1, {}}, b{2, {}}, c{3, {}};
  for (Member* m : {&a, &b, &c}) ListAppend(&head, m);
  EXPECT_EQ(ListNext(&head, nullptr), &a);
  EXPECT_EQ(ListNext(&head, &c), nullptr);
  ListRemove(&head, &b);
  EXPECT_EQ(ListNext(&head, &a), &c);
  EXPECT_EQ(ListPopFirst(&head), &a);
  EXPECT_EQ(ListPopFirst(&head), &c);
  EXPECT_TRUE(ListIsEmpty(&head));
}

struct Stamped {
  explicit Stamped(ULONG s) : stamp(s) {}
  ULONG stamp;
  ULONG untouched;
};

TEST(KernelNew, ZeroesAndStampsAndRefusesSizeZero) {
  plat::Scheduler sched;
  Stamped* s = KernelNew<Stamped>(NonPagedPool);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->stamp, kPoolObjectStamp);
  EXPECT_EQ(s->untouched, 0u);
  auto uses = plat::PoolLedger::Outstanding();
  ASSERT_EQ(uses.size(), 1u);
  EXPECT_EQ(plat::TagText(uses[0].tag), "Wdm ");
  KernelFreeMemory(s);
  EXPECT_EQ(KernelNewMemory(0, NonPagedPool), nullptr);
  EXPECT_EQ(KernelAlloc(0), nullptr);
}

TEST(Holders, ReferenceWhatAHandleNamesAndLetGoOfItOnce) {
  plat::Scheduler sched;
  HANDLE event = nullptr;
  ASSERT_EQ(ZwCreateEvent(&event, 0, nullptr, NotificationEvent, FALSE), STATUS_SUCCESS);
  {
    HandleReference ref(event, 0);
    EXPECT_TRUE(ref.mReferenced);
    EventHolder holder(SynchronizationEvent, FALSE);
    ASSERT_EQ(holder.AdoptHandle(event), STATUS_SUCCESS);
    EXPECT_EQ(holder.Get(), ref.mObject);
    KeSetEvent(holder.Get(), IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeReadStateEvent(static_cast<PKEVENT>(ref.mObject)), 1);
    EXPECT_EQ(plat::ObReferenceCount(ref.mObject), 3);
    holder.Release();
    EXPECT_EQ(plat::ObReferenceCount(ref.mObject), 2);
  }
  HANDLE key = nullptr;
  plat::WideString path(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services");
  UNICODE_STRING name{static_cast<USHORT>(path.size() * 2), static_cast<USHORT>(path.size() * 2), path.data()};
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  ASSERT_EQ(ZwOpenKey(&key, KEY_READ, &oa), STATUS_SUCCESS);
  HandleReference wrongKind(key, 0);
  EXPECT_FALSE(wrongKind.mReferenced) << "a registry key is no object of the object manager";
  ZwClose(key);
  CloseHandleHolder owner(event, TRUE);
  EXPECT_TRUE(owner.mReferenced);
  owner.Close();
  EXPECT_EQ(plat::KernelHandles::OpenCount(), 0u);
}

using CancelFileIrpsTest = kfwtest::Stack;

TEST_F(CancelFileIrpsTest, CompletesOnlyTheQueuedIrpsOfTheFileAndReleasesTheirCounts) {
  fdo->queueInDeviceQueue = true;
  KDEVICE_QUEUE_ENTRY busy{};
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  KeInsertDeviceQueue(&Fdo()->DeviceQueue, &busy);  // the device is busy: what comes next is queued
  KeLowerIrql(old);
  PFILE_OBJECT a = Open();
  PFILE_OBJECT b = Open();
  auto a1 = Control(a), b1 = Control(b), a2 = Control(a);
  EXPECT_EQ(fdo->mRequestCount, 4);
  CancelFileIrps(&Fdo()->DeviceQueue, fdo, a);
  EXPECT_EQ(a1->status.Status, STATUS_CANCELLED);
  EXPECT_EQ(a2->status.Status, STATUS_CANCELLED);
  EXPECT_FALSE(b1->done);
  EXPECT_EQ(fdo->mRequestCount, 2);
  CancelFileIrps(&Fdo()->DeviceQueue, fdo, nullptr);
  EXPECT_EQ(b1->status.Status, STATUS_CANCELLED);
  EXPECT_EQ(fdo->mRequestCount, 1);
  EXPECT_EQ(KeRemoveDeviceQueue(&Fdo()->DeviceQueue), nullptr);
}

}  // namespace
