// The direct-call table a unit's child device hands the audio adapter: its query answer, the
// period, the sample rate, the device flags, MIDI out with its full ring, and callbacks that are
// swapped at once and never called once unregistering has returned, under interleaving seeds.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "driver/PdoDirectInterface.h"
#include "driver/QX531PnpDevice.h"
#include "platform/kernel/PnpManager.h"
#include "sim/units/Kr6Unit.h"
#include "sim/units/MainUnit.h"
#include "tests/driver/DriverRig.h"
#include "tests/support/Seeds.h"

namespace {

using drvtest::DriverRig;

NTSTATUS QueryTable(PDEVICE_OBJECT child, USHORT size, USHORT version, PdoDirectInterface* table) {
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(child);
  PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = IRP_MJ_PNP;
  sp->MinorFunction = IRP_MN_QUERY_INTERFACE;
  sp->Parameters.QueryInterface.InterfaceType = &GUID_QX531_PDO_DIRECT_INTERFACE;
  sp->Parameters.QueryInterface.Size = size;
  sp->Parameters.QueryInterface.Version = version;
  sp->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(table);
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoSetCompletionRoutine(irp, SignalEventCompletion, &done, TRUE, TRUE, TRUE);
  IoCallDriver(top, irp);
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  const NTSTATUS status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  ObDereferenceObject(top);
  return status;
}

PDEVICE_OBJECT ChildOf(DriverRig& rig, const sim::Node& unit) {
  std::vector<PDEVICE_OBJECT> children = plat::PnpChildren(rig.PdoOf(unit));
  return children.size() == 1 ? children[0] : nullptr;
}

struct QueryCase {
  USHORT size;
  USHORT version;
  NTSTATUS status;
};

TEST(DirectInterface, IsHandedOutOnlyForTheSizeAndVersionItWasBuiltFor) {
  DriverRig rig;
  sim::MainUnit main;
  rig.Plug(main);
  PDEVICE_OBJECT child = ChildOf(rig, main);
  ASSERT_NE(child, nullptr);
  QX531PnpDevice* device = rig.DeviceOf(main);
  for (const QueryCase& c : std::vector<QueryCase>{{112, 1, STATUS_SUCCESS},
                                                   {120, 1, STATUS_SUCCESS},
                                                   {111, 1, STATUS_INVALID_PARAMETER},
                                                   {112, 2, STATUS_INVALID_PARAMETER},
                                                   {112, 0, STATUS_INVALID_PARAMETER}}) {
    SCOPED_TRACE(testing::Message() << "size " << c.size << " version " << c.version);
    PdoDirectInterface table;
    std::memset(&table, 0xCC, sizeof table);
    const LONG references = device->mWdmClient.mInterfaceReferences;
    EXPECT_EQ(QueryTable(child, c.size, c.version, &table), c.status);
    if (c.status != STATUS_SUCCESS) {
      EXPECT_EQ(table.Size, 0xCCCC) << "a refused record is not written";
      EXPECT_EQ(device->mWdmClient.mInterfaceReferences, references);
      continue;
    }
    EXPECT_EQ(table.Size, 112);
    EXPECT_EQ(table.Version, 1);
    EXPECT_EQ(table.Context, static_cast<PVOID>(static_cast<PnpDeviceBase*>(device)));
    EXPECT_EQ(device->mWdmClient.mInterfaceReferences, references + 1);
    table.InterfaceDereference(table.Context);
    EXPECT_EQ(device->mWdmClient.mInterfaceReferences, references);
    EXPECT_EQ(table.ConnectClient(table.Context, child, nullptr, nullptr), STATUS_SUCCESS);
  }
}

TEST(DirectInterface, TellsThePeriodAndWhetherTheUnitIsAnExpansionUnit) {
  DriverRig rig;
  sim::MainUnit main;
  sim::Kr6Unit kr6(7);
  rig.Plug(main);
  rig.Plug(kr6);
  for (const auto& [unit, flags] : std::vector<std::pair<const sim::Node*, ULONG>>{{&main, 0}, {&kr6, 1}}) {
    PdoDirectInterface table{};
    ASSERT_EQ(QueryTable(ChildOf(rig, *unit), sizeof table, 1, &table), STATUS_SUCCESS);
    ULONG out = 0xFFFF;
    EXPECT_EQ(table.GetDeviceFlags(table.Context, nullptr, &out), flags);
    EXPECT_EQ(out, flags);
    ULONG frames = 0;
    EXPECT_EQ(table.GetPeriodFrames(table.Context, &frames), STATUS_SUCCESS);
    EXPECT_EQ(frames, rig.DeviceOf(*unit)->BufferFrames());
    EXPECT_NE(frames, 0u);
    table.InterfaceDereference(table.Context);
  }
}

TEST(DirectInterface, PassesOnOnlyTheSampleRatesTheUnitRunsAt) {
  DriverRig rig;
  sim::MainUnit main;
  rig.Plug(main);
  QX531PnpDevice* device = rig.DeviceOf(main);
  PdoDirectInterface table{};
  ASSERT_EQ(QueryTable(ChildOf(rig, main), sizeof table, 1, &table), STATUS_SUCCESS);
  struct RateCase {
    ULONG asked;
    ULONG running;
  };
  for (const RateCase& c : std::vector<RateCase>{
           {96000, 96000}, {0, 96000}, {22050, 96000}, {48001, 96000}, {44100, 44100}, {88200, 88200}, {48000, 48000}}) {
    SCOPED_TRACE(c.asked);
    EXPECT_EQ(table.RequestSampleRate(table.Context, c.asked), STATUS_SUCCESS);
    rig.Quiesce();
    EXPECT_EQ(device->SampleRate(), c.running);
  }
  table.InterfaceDereference(table.Context);
}

TEST(DirectInterface, MidiOutOnAFullRingIsRefusedWithBufferOverflow) {
  DriverRig rig;
  sim::MainUnit main;
  rig.Plug(main);
  rig.Quiesce();
  PdoDirectInterface table{};
  ASSERT_EQ(QueryTable(ChildOf(rig, main), sizeof table, 1, &table), STATUS_SUCCESS);
  // Nothing drains the ring while the machine does not run.
  int accepted = 0;
  NTSTATUS status = STATUS_SUCCESS;
  while (accepted < 4096 && (status = table.SendMidiEvent(table.Context, 0x09, 0x90, 0x3C, 0x40)) == STATUS_SUCCESS)
    ++accepted;
  EXPECT_EQ(status, STATUS_BUFFER_OVERFLOW);
  EXPECT_GE(accepted, 1000);
  EXPECT_LT(accepted, 1024);
  EXPECT_EQ(rig.DeviceOf(main)->MidiOutDropped(), 0u) << "a refused event was not taken";
  rig.Quiesce();
  EXPECT_EQ(table.SendMidiEvent(table.Context, 0x09, 0x80, 0x3C, 0x00), STATUS_SUCCESS) << "room again once sent";
  table.InterfaceDereference(table.Context);
}

// What the adapter is to its callbacks: gone once it has unregistered.
struct Client {
  std::atomic<bool> gone{false};
  std::atomic<int> calls{0};
  std::atomic<int> afterGone{0};
};

void MidiIn(PVOID clientDevice, const ULONG*) {
  auto* client = static_cast<Client*>(clientDevice);
  volatile LONG step = 0;
  // A few points where another processor may overtake this one, as a real call takes time.
  for (int i = 0; i < 3; ++i) InterlockedIncrement(&step);
  if (client->gone) client->afterGone++;
  client->calls++;
}

TEST(DirectInterface, UnregisteringReturnsOnlyOnceNoCallbackIsRunning) {
  for (uint64_t seed : qxtest::InterleavingSeeds(12)) {
    SCOPED_TRACE(qxtest::SeedTrace(seed));
    DriverRig rig(seed);
    sim::MainUnit main;
    rig.Plug(main);
    QX531PnpDevice* device = rig.DeviceOf(main);
    PdoDirectInterface table{};
    ASSERT_EQ(QueryTable(ChildOf(rig, main), sizeof table, 1, &table), STATUS_SUCCESS);
    Client client;
    table.RegisterCallbacks(table.Context, &client, MidiIn, nullptr);
    bool delivering = true;
    bool unregistered = false;
    const uint32_t deliverer = rig.sched.Spawn("midi in", [&] {
      for (int i = 0; i < 40; ++i) {
        KIRQL irql;
        KeRaiseIrql(DISPATCH_LEVEL, &irql);
        device->mWdmClient.DeliverMidiIn(0x09903C40);
        KeLowerIrql(irql);
      }
      delivering = false;
    });
    rig.sched.Spawn("adapter", [&] {
      table.RegisterCallbacks(table.Context, nullptr, nullptr, nullptr);
      client.gone = true;
      unregistered = true;
    });
    EXPECT_TRUE(rig.sched.RunUntil([&] { return !delivering && unregistered; }, rig.sched.Now() + plat::kNsPerSecond));
    EXPECT_TRUE(rig.sched.ThreadDone(deliverer));
    EXPECT_EQ(client.afterGone, 0) << "a callback ran after its client was gone";
    const int calls = client.calls;
    device->mWdmClient.DeliverMidiIn(0x09903C40);
    EXPECT_EQ(client.calls, calls) << "nothing is called once unregistered";
    table.InterfaceDereference(table.Context);
  }
}

}  // namespace
