// The framework's 1394 address range against the bus driver stand-in: the allocation request and
// its address array, the notifications by type, writes from a unit into MDL- and FIFO-backed
// ranges, and the release.
#include "kframework/AddressRange.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "kframework/LowerDeviceLink.h"
#include "platform/kernel/Pool.h"
#include "sim/units/MainUnit.h"
#include "tests/platform/bus1394/UnitTestDriver.h"

namespace {

using namespace bus1394test;

struct Call {
  std::string what;
  PMDL mdl;
  ULONG offset;
  ULONG length;
  PADDRESS_FIFO fifo;
  KIRQL irql;
};

class RecordingRange : public AddressRange {
 public:
  RecordingRange() : AddressRange(0) {}
  void OnReadRequest(PVOID, PMDL, PVOID*, PULONG, PKEVENT*) override { Note("read request"); }
  void OnRead(PMDL mdl, ULONG offset, ULONG length) override { Note("read", mdl, offset, length); }
  void OnWriteRequest(PVOID, PMDL, PVOID*, PULONG, PKEVENT*) override { Note("write request"); }
  void OnWrite(PMDL mdl, ULONG offset, ULONG length, PADDRESS_FIFO fifo) override {
    Note("write", mdl, offset, length, fifo);
    if (readData && length >= 4) firstQuadlets.push_back(Be32(static_cast<uint8_t*>(MmGetSystemAddressForMdlSafe(mdl, 0)) + offset));
    if (fifo != nullptr && returnBuffers) ExInterlockedPushEntrySList(&mReceiveBuffers, &fifo->FifoList, &mReceiveLock);
  }
  void OnLockRequest(PVOID, PMDL, PVOID*, PULONG, PKEVENT*) override { Note("lock request"); }
  void OnLock(PMDL mdl, ULONG offset, ULONG length) override { Note("lock", mdl, offset, length); }
  void OnAllocated(NTSTATUS status) override { allocated.push_back(status); }

  void Note(const char* what, PMDL mdl = nullptr, ULONG offset = 0, ULONG length = 0, PADDRESS_FIFO fifo = nullptr) {
    calls.push_back({what, mdl, offset, length, fifo, KeGetCurrentIrql()});
  }
  std::vector<Call> calls;
  bool readData = false;
  std::vector<uint32_t> firstQuadlets;  // of each write, when reading the data
  std::vector<NTSTATUS> allocated;
  bool returnBuffers = true;
};

size_t FrameworkPoolBytes() {
  size_t bytes = 0;
  for (const auto& use : plat::PoolLedger::Outstanding())
    if (use.tag == kFrameworkPoolTag) bytes += use.bytes;
  return bytes;
}

TEST(AddressRangeRequest, TheAddressArrayHasAnEntryAPagePlusOneUnlessTheOffsetIsRequired) {
  plat::Scheduler sched;
  struct Case {
    const char* what;
    ULONG length;
    bool required;
    bool mdl;
    bool fifo;
    ULONG entries;
  };
  const Case cases[] = {
      {"4096-byte MDL range", 4096, false, true, false, 2},
      {"1-byte MDL range", 1, false, true, false, 2},
      {"8192-byte FIFO range", 8192, false, false, true, 3},
      {"required offset", 4096 * 4, true, true, false, 1},
      {"neither MDL nor FIFO", 10000, false, false, false, 1},
  };
  RecordingRange owner;
  uint8_t page[1];
  PMDL mdl = IoAllocateMdl(page, 1, FALSE, FALSE, nullptr);
  const ADDRESS_OFFSET required{0x0001, 0x2000};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    AddressRangeRecord record{};
    AddressRangeAllocation* block = BuildAllocateAddressRange(
        &owner, c.length, ACCESS_FLAGS_TYPE_WRITE, NOTIFY_FLAGS_AFTER_WRITE, c.required ? &required : nullptr,
        c.mdl ? mdl : nullptr, 0, 0, c.fifo ? &owner.mReceiveBuffers : nullptr, c.fifo ? &owner.mReceiveLock : nullptr,
        &record);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(FrameworkPoolBytes(), sizeof(AddressRangeAllocation) + c.entries * sizeof(ADDRESS_RANGE));
    const auto& r = block->mIrb.u.AllocateAddressRange;
    EXPECT_EQ(block->mIrb.FunctionNumber, REQUEST_ALLOCATE_ADDRESS_RANGE);
    EXPECT_EQ(r.nLength, c.length);
    EXPECT_EQ(r.fulAccessType, ACCESS_FLAGS_TYPE_WRITE);
    EXPECT_EQ(r.fulNotificationOptions, NOTIFY_FLAGS_AFTER_WRITE);
    EXPECT_EQ(r.Callback, &AddressRangeNotification);
    EXPECT_EQ(r.Context, &owner);
    EXPECT_EQ(r.Required1394Offset.Off_Low, c.required ? 0x2000u : 0u);
    EXPECT_EQ(r.FifoSListHead, c.fifo ? &owner.mReceiveBuffers : nullptr);
    EXPECT_EQ(r.p1394AddressRange, record.mAddresses);
    EXPECT_EQ(r.hAddressRange, nullptr);
    EXPECT_EQ(block->mOwner, &owner);
    EXPECT_EQ(block->mRecord, &record);
    EXPECT_EQ(record.mAllocationStatus, STATUS_PENDING);
    KernelFree(block);
    EXPECT_EQ(FreeAddressRange(nullptr, &record), STATUS_SUCCESS) << "no handle: only the array goes";
    EXPECT_EQ(record.mAddresses, nullptr);
  }
  EXPECT_TRUE(owner.allocated.empty());
  IoFreeMdl(mdl);
}

TEST(AddressRangeRequest, AMemoryShortageReachesTheOwnerBeforeAnyRequestGoesOut) {
  plat::Scheduler sched;
  for (size_t failing : {size_t{1}, size_t{2}}) {
    SCOPED_TRACE(failing == 1 ? "the address array" : "the request block");
    RecordingRange owner;
    AddressRangeRecord record{};
    plat::PoolLedger::FailNth(failing);
    EXPECT_EQ(BuildAllocateAddressRange(&owner, 4096, ACCESS_FLAGS_TYPE_WRITE, NOTIFY_FLAGS_AFTER_WRITE, nullptr, nullptr,
                                        0, 0, &owner.mReceiveBuffers, &owner.mReceiveLock, &record),
              nullptr);
    plat::PoolLedger::ClearFailures();
    EXPECT_EQ(owner.allocated, std::vector<NTSTATUS>{STATUS_INSUFFICIENT_RESOURCES});
    EXPECT_EQ(record.mAllocationStatus, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(record.mAddresses, nullptr);
    EXPECT_EQ(FrameworkPoolBytes(), 0u);
  }
}

TEST(AddressRangeRequest, NotificationsReachTheOperationOfTheirTypeAndForm) {
  plat::Scheduler sched;
  RecordingRange owner;
  MDL mdl{}, elementMdl{};
  ADDRESS_FIFO element{};
  element.FifoMdl = &elementMdl;
  struct Case {
    ULONG type;
    PMDL mdl;
    PADDRESS_FIFO fifo;
    const char* called;  // null: nothing
    PMDL calledWith;
  };
  const Case cases[] = {
      {NOTIFY_FLAGS_AFTER_READ, &mdl, nullptr, "read", &mdl},
      {NOTIFY_FLAGS_AFTER_READ, nullptr, nullptr, "read request", nullptr},
      {NOTIFY_FLAGS_AFTER_WRITE, &mdl, nullptr, "write", &mdl},
      {NOTIFY_FLAGS_AFTER_WRITE, nullptr, &element, "write", &elementMdl},
      {NOTIFY_FLAGS_AFTER_WRITE, nullptr, nullptr, "write request", nullptr},
      {NOTIFY_FLAGS_AFTER_LOCK, &mdl, nullptr, "lock", &mdl},
      {NOTIFY_FLAGS_AFTER_LOCK, nullptr, nullptr, "lock request", nullptr},
      {8, &mdl, nullptr, nullptr, nullptr},
      {NOTIFY_FLAGS_NEVER, &mdl, nullptr, nullptr, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "type " << c.type << (c.fifo ? " with a FIFO element" : c.mdl ? " with an MDL" : ""));
    owner.calls.clear();
    NOTIFICATION_INFO info{};
    info.fulNotificationOptions = c.type;
    info.Mdl = c.mdl;
    info.Fifo = c.fifo;
    info.Context = &owner;
    info.ulOffset = 24;
    info.nLength = 16;
    AddressRangeNotification(&info);
    if (c.called == nullptr) {
      EXPECT_TRUE(owner.calls.empty());
      continue;
    }
    ASSERT_EQ(owner.calls.size(), 1u);
    EXPECT_EQ(owner.calls[0].what, c.called);
    EXPECT_EQ(owner.calls[0].mdl, c.calledWith);
    if (c.calledWith != nullptr) {
      EXPECT_EQ(owner.calls[0].offset, 24u);
      EXPECT_EQ(owner.calls[0].length, 16u);
    }
    EXPECT_EQ(owner.calls[0].fifo, c.fifo);
  }
}

TEST(AddressRangeRequest, ReceiveBuffersAreNonPagedAndReplacedWhole) {
  plat::Scheduler sched;
  ADDRESS_FIFO element{};
  EXPECT_EQ(AllocateReceiveBuffer(&element, 0), STATUS_INSUFFICIENT_RESOURCES);
  ASSERT_EQ(AllocateReceiveBuffer(&element, 256), STATUS_SUCCESS);
  ASSERT_NE(element.FifoMdl, nullptr);
  EXPECT_EQ(MmGetMdlByteCount(element.FifoMdl), 256u);
  EXPECT_NE(element.FifoMdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL, 0);
  ASSERT_EQ(AllocateReceiveBuffer(&element, 4096), STATUS_SUCCESS);
  EXPECT_EQ(FrameworkPoolBytes(), 4096u) << "the first buffer went";
  plat::PoolLedger::FailNth(2);  // the MDL
  EXPECT_EQ(AllocateReceiveBuffer(&element, 128), STATUS_INSUFFICIENT_RESOURCES);
  plat::PoolLedger::ClearFailures();
  EXPECT_EQ(element.FifoMdl, nullptr);
  EXPECT_EQ(plat::PoolLedger::OutstandingAllocations(), 0u);
  ASSERT_EQ(AllocateReceiveBuffer(&element, 64), STATUS_SUCCESS);
  FreeReceiveBuffer(&element);
  EXPECT_EQ(element.FifoMdl, nullptr);
  EXPECT_EQ(plat::PoolLedger::OutstandingAllocations(), 0u);
}

constexpr uint32_t kMidiNotifyEnable = 0x300, kMidiNotifyHi = 0x304, kMidiNotifyLo = 0x308;

// Sends the allocation down to the unit's PDO as a driver's transport would, with the framework's
// completion.
void SendAllocation(Rig& rig, UnitDevice* dev, AddressRangeAllocation* block) {
  PIRP irp = IoAllocateIrp(dev->lower->StackSize, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_1394_CLASS;
  next->Parameters.Others.Argument1 = &block->mIrb;
  IoSetCompletionRoutine(irp, [](PDEVICE_OBJECT d, PIRP i, PVOID block) {
    AddressRangeAllocated(d, i, block);
    IoFreeIrp(i);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }, block, TRUE, TRUE, TRUE);
  IoCallDriver(dev->lower, irp);
  rig.sched.RunFor(plat::kNsPerMs);
}

// Points the unit's MIDI notification at `at` inside the range and switches it on.
void AimMidiAt(Rig& rig, UnitDevice* dev, const AddressRangeRecord& record, ULONG at) {
  const ADDRESS_RANGE& first = record.mAddresses[0];
  ASSERT_EQ(rig.WriteQuadlet(dev, kMidiNotifyHi, (0xFFC0u | dev->localNodeNumber) << 16 | first.AR_Off_High),
            STATUS_SUCCESS);
  ASSERT_EQ(rig.WriteQuadlet(dev, kMidiNotifyLo, first.AR_Off_Low + at), STATUS_SUCCESS);
  ASSERT_EQ(rig.WriteQuadlet(dev, kMidiNotifyEnable, 1), STATUS_SUCCESS);
}

// FIFO elements with receive buffers, pushed on the owner's list.
struct ReceiveBuffers {
  ReceiveBuffers(AddressRange& owner, ULONG length, ULONG count) {
    for (ULONG i = 0; i < count; ++i) {
      elements.push_back(std::make_unique<ADDRESS_FIFO>());
      EXPECT_EQ(AllocateReceiveBuffer(elements.back().get(), length), STATUS_SUCCESS);
      ExInterlockedPushEntrySList(&owner.mReceiveBuffers, &elements.back()->FifoList, &owner.mReceiveLock);
    }
  }
  ~ReceiveBuffers() {
    for (auto& e : elements) FreeReceiveBuffer(e.get());
  }
  std::vector<std::unique_ptr<ADDRESS_FIFO>> elements;
};

// Ranges allocated through the bus driver, written into by a main unit's MIDI input.
class AddressRangeOnTheBus : public Machine {
 protected:
  void SetUp() override {
    Plug(unit);
    dev = DeviceOf(unit.Guid());
    ASSERT_NE(dev, nullptr);
    link.LinkToLowerDevice(dev->lower, dev->pdo);
  }
  void TearDown() override {
    buffers.reset();
    Machine::TearDown();
  }

  void Send(AddressRangeAllocation* block) { SendAllocation(*this, dev, block); }
  void AllocateFifo(RecordingRange& owner, ULONG length, ULONG count) {
    buffers = std::make_unique<ReceiveBuffers>(owner, length, count);
    Send(BuildAllocateAddressRange(&owner, length, ACCESS_FLAGS_TYPE_WRITE, NOTIFY_FLAGS_AFTER_WRITE, nullptr, nullptr, 0,
                                   0, &owner.mReceiveBuffers, &owner.mReceiveLock, &owner.mRange));
  }
  void AimMidiAt(const AddressRangeRecord& record, ULONG at) { ::AimMidiAt(*this, dev, record, at); }
  void MidiIn(size_t events) {
    for (size_t i = 0; i < events; ++i) unit.SendMidiInPacket(0x09903C40u + static_cast<uint32_t>(i));
    sched.RunFor(2 * plat::kNsPerMs);
  }

  sim::MainUnit unit;
  UnitDevice* dev = nullptr;
  LowerDeviceLink link;
  std::unique_ptr<ReceiveBuffers> buffers;
};

TEST_F(AddressRangeOnTheBus, AWriteIntoAnMdlRangeReachesOnWriteWithTheOffsetAndLengthOfTheWrite) {
  RecordingRange owner;
  IrbBuffer memory(4096);
  Send(BuildAllocateAddressRange(&owner, 4096, ACCESS_FLAGS_TYPE_WRITE, NOTIFY_FLAGS_AFTER_WRITE, nullptr, memory.mdl, 0,
                                 0, nullptr, nullptr, &owner.mRange));
  ASSERT_EQ(owner.allocated, std::vector<NTSTATUS>{STATUS_SUCCESS});
  EXPECT_EQ(owner.mRange.mAllocationStatus, STATUS_SUCCESS);
  EXPECT_NE(owner.mRange.mRangeHandle, nullptr);
  EXPECT_EQ(owner.mRange.mAddressCount, 1u);
  EXPECT_EQ(owner.mRange.mAddresses[0].AR_Length, 4096u);
  AimMidiAt(owner.mRange, 0x100);
  MidiIn(3);
  ASSERT_EQ(owner.calls.size(), 1u);
  EXPECT_EQ(owner.calls[0].what, "write");
  EXPECT_EQ(owner.calls[0].mdl, memory.mdl);
  EXPECT_EQ(owner.calls[0].offset, 0x100u);
  EXPECT_EQ(owner.calls[0].length, 24u);
  EXPECT_EQ(owner.calls[0].irql, DISPATCH_LEVEL);
  EXPECT_EQ(Be32(memory.data + 0x100), 0x09903C40u);
  EXPECT_EQ(FreeAddressRange(&link, &owner.mRange), STATUS_SUCCESS);
}

TEST_F(AddressRangeOnTheBus, FifoWritesHandTheirBufferToOnWriteSoReceivingNeverRunsDry) {
  RecordingRange owner;
  AllocateFifo(owner, 4096, 16);
  ASSERT_EQ(owner.allocated, std::vector<NTSTATUS>{STATUS_SUCCESS});
  AimMidiAt(owner.mRange, 0);
  for (int write = 0; write < 40; ++write) MidiIn(1);
  ASSERT_EQ(owner.calls.size(), 40u);
  for (const Call& c : owner.calls) {
    ASSERT_NE(c.fifo, nullptr);
    EXPECT_EQ(c.mdl, c.fifo->FifoMdl);
    EXPECT_EQ(c.length, 8u);
  }
  EXPECT_EQ(plat::Bus1394::Counters().rangeWritesRefused, 0u);
  EXPECT_EQ(unit.Counters().hostWritesFailed, 0u);
  EXPECT_EQ(FreeAddressRange(&link, &owner.mRange), STATUS_SUCCESS);
}

TEST_F(AddressRangeOnTheBus, AWriteThatFindsNoReceiveBufferIsRefusedAndCountedByTheUnit) {
  RecordingRange owner;
  owner.returnBuffers = false;
  AllocateFifo(owner, 256, 2);
  AimMidiAt(owner.mRange, 0);
  for (int write = 0; write < 3; ++write) MidiIn(1);
  EXPECT_EQ(owner.calls.size(), 2u);
  EXPECT_EQ(plat::Bus1394::Counters().rangeWritesRefused, 1u);
  EXPECT_EQ(unit.Counters().hostWritesAddressError, 1u);
  for (const Call& c : owner.calls) ExInterlockedPushEntrySList(&owner.mReceiveBuffers, &c.fifo->FifoList, &owner.mReceiveLock);
  EXPECT_EQ(FreeAddressRange(&link, &owner.mRange), STATUS_SUCCESS);
}

TEST_F(AddressRangeOnTheBus, AFailedAllocationEndsTheWaitAndFreeingSendsNothing) {
  RecordingRange first, second;
  IrbBuffer memory(256);
  const ADDRESS_OFFSET at{0x0002, 0x0000};
  for (RecordingRange* owner : {&first, &second})
    Send(BuildAllocateAddressRange(owner, 256, ACCESS_FLAGS_TYPE_WRITE, NOTIFY_FLAGS_AFTER_WRITE, &at, memory.mdl, 0, 0,
                                   nullptr, nullptr, &owner->mRange));
  ASSERT_EQ(first.allocated, std::vector<NTSTATUS>{STATUS_SUCCESS});
  ASSERT_EQ(second.allocated, std::vector<NTSTATUS>{STATUS_INSUFFICIENT_RESOURCES}) << "the offset is taken";
  EXPECT_EQ(second.mRange.mAllocationStatus, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(second.mRange.mRangeHandle, nullptr);
  EXPECT_EQ(second.mRange.mAddressCount, 0u);
  const uint64_t frees = plat::Bus1394::Counters().requests[REQUEST_FREE_ADDRESS_RANGE];
  EXPECT_EQ(FreeAddressRange(&link, &second.mRange), STATUS_SUCCESS);
  EXPECT_EQ(second.mRange.mAddresses, nullptr) << "the array goes without a handle too";
  EXPECT_EQ(plat::Bus1394::Counters().requests[REQUEST_FREE_ADDRESS_RANGE], frees);
  EXPECT_EQ(FreeAddressRange(&link, &first.mRange), STATUS_SUCCESS);
}

TEST_F(AddressRangeOnTheBus, FreeingARecordTwiceSendsOneRequestAndTheUnitsWritesAreRefusedAfter) {
  RecordingRange owner;
  IrbBuffer memory(256);
  Send(BuildAllocateAddressRange(&owner, 256, ACCESS_FLAGS_TYPE_WRITE, NOTIFY_FLAGS_AFTER_WRITE, nullptr, memory.mdl, 0,
                                 0, nullptr, nullptr, &owner.mRange));
  AimMidiAt(owner.mRange, 0);
  const uint64_t frees = plat::Bus1394::Counters().requests[REQUEST_FREE_ADDRESS_RANGE];
  EXPECT_EQ(FreeAddressRange(&link, &owner.mRange), STATUS_SUCCESS);
  EXPECT_EQ(FreeAddressRange(&link, &owner.mRange), STATUS_SUCCESS);
  EXPECT_EQ(plat::Bus1394::Counters().requests[REQUEST_FREE_ADDRESS_RANGE], frees + 1);
  EXPECT_EQ(owner.mRange.mRangeHandle, nullptr);
  MidiIn(1);
  EXPECT_TRUE(owner.calls.empty());
  EXPECT_EQ(unit.Counters().hostWritesAddressError, 1u);
}

TEST(AddressRangeSeeds, EveryWriteReachesTheOwnerOnceAndInOrderUnderEverySeed) {
  for (uint64_t seed : {0ull, 1ull, 2ull, 3ull, 5ull, 8ull, 13ull, 21ull}) {
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    Rig rig(seed, 1 + static_cast<uint32_t>(seed % 4));
    sim::MainUnit unit;
    rig.Plug(unit);
    UnitDevice* dev = DeviceOf(unit.Guid());
    LowerDeviceLink link;
    link.LinkToLowerDevice(dev->lower, dev->pdo);
    RecordingRange owner;
    owner.readData = true;
    {
      ReceiveBuffers buffers(owner, 4096, 16);
      SendAllocation(rig, dev, BuildAllocateAddressRange(&owner, 4096, ACCESS_FLAGS_TYPE_WRITE, NOTIFY_FLAGS_AFTER_WRITE,
                                                         nullptr, nullptr, 0, 0, &owner.mReceiveBuffers,
                                                         &owner.mReceiveLock, &owner.mRange));
      AimMidiAt(rig, dev, owner.mRange, 0);
      // A burst of 130 events goes out as three writes at once (64, 64 and 2 records), so the
      // later ones arrive while the range's notification is still to come.
      std::vector<uint32_t> expected;
      std::vector<ULONG> lengths;
      for (uint32_t burst = 0; burst < 4; ++burst) {
        for (uint32_t i = 0; i < 130; ++i) unit.SendMidiInPacket(0x09000000u + burst * 130 + i);
        for (uint32_t first : {0u, 64u, 128u}) expected.push_back(0x09000000u + burst * 130 + first);
        lengths.insert(lengths.end(), {512, 512, 16});
        rig.sched.RunFor(plat::kNsPerMs);
      }
      EXPECT_EQ(owner.firstQuadlets, expected) << "each write once, in the order of arrival";
      ASSERT_EQ(owner.calls.size(), lengths.size());
      for (size_t i = 0; i < lengths.size(); ++i) EXPECT_EQ(owner.calls[i].length, lengths[i]) << i;
      for (const Call& c : owner.calls) EXPECT_EQ(c.irql, DISPATCH_LEVEL);
      EXPECT_EQ(plat::Bus1394::Counters().rangeWritesRefused, 0u);
      EXPECT_EQ(FreeAddressRange(&link, &owner.mRange), STATUS_SUCCESS);
    }
    rig.Shutdown();
  }
}

}  // namespace
