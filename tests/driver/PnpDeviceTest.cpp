// The unit driver's function devices through plug and play and the 1394 bus driver: added and
// started per unit, stopped and started again, surprise-removed and removed, across bus resets and
// a system sleep, under a table of interleaving seeds where the roads race.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "driver/QX531Driver.h"
#include "driver/QX531PnpDevice.h"
#include "platform/bus1394/Bus1394.h"
#include "platform/kernel/Leftovers.h"
#include "platform/kernel/Loader.h"
#include "platform/kernel/PnpManager.h"
#include "platform/kernel/Pool.h"
#include "platform/kernel/PowerManager.h"
#include "platform/kernel/RegistryHive.h"
#include "sim/units/Kr6Unit.h"
#include "sim/units/MainUnit.h"
#include "tests/driver/DriverRig.h"
#include "sim/host/UserClient.h"
#include "tests/support/Seeds.h"
#include "unit/ControlRequests.h"
#include "unit/QX531Device.h"
#include "unit/RegisterMap.h"
#include "unit/SharedStateBlock.h"
#include "platform/kernel/WideText.h"

namespace {

using drvtest::DriverRig;
using drvtest::Load;

SharedStateBlock StateOf(const host::Reply& reply) {
  SharedStateBlock state{};
  if (reply.ok && reply.output.size() >= sizeof state) std::memcpy(&state, reply.output.data(), sizeof state);
  return state;
}

// What a 64-bit program finds: the shared state of every present unit, in interface order.
std::vector<SharedStateBlock> PresentUnits(DriverRig& rig) {
  std::vector<SharedStateBlock> states;
  rig.RunProgram(64, [&]() -> uint32_t {
    for (const std::string& path : host::FindUnitInterfaces())
      states.push_back(StateOf(host::SendControl(path, {IOCTL_QX531_GET_SHARED_STATE, {}, sizeof(SharedStateBlock)})));
    return 0;
  });
  return states;
}

// A register of the unit read through its driver by a program of that many bits; nullopt when
// the request failed.
std::optional<uint32_t> ReadRegisterFromUserMode(DriverRig& rig, unsigned bits, uint32_t serial, uint32_t offset) {
  std::optional<uint32_t> value;
  rig.RunProgram(bits, [&]() -> uint32_t {
    for (const std::string& path : host::FindUnitInterfaces()) {
      if (StateOf(host::SendControl(path, {IOCTL_QX531_GET_SHARED_STATE, {}, sizeof(SharedStateBlock)})).mSerial !=
          serial)
        continue;
      host::Reply reply = host::SendControl(path, {IOCTL_QX531_READ_REGISTER, host::Words({offset}), 4});
      if (reply.ok && reply.bytes == 4) value = reply.Word(0);
    }
    return 0;
  });
  return value;
}

bool DeviceNamed(const std::u16string& text16) {
  plat::WideString name(text16);
  UNICODE_STRING text{static_cast<USHORT>(name.size() * 2), static_cast<USHORT>(name.size() * 2), name.data()};
  PFILE_OBJECT file = nullptr;
  PDEVICE_OBJECT device = nullptr;
  if (!NT_SUCCESS(IoGetDeviceObjectPointer(&text, FILE_READ_ACCESS, &file, &device))) return false;
  ObDereferenceObject(file);
  return true;
}

TEST(UnitDriver, PlugAndPlayLoadsItsImageAndStartsOneNumberedDevicePerUnitThatUserModeFindsByItsClass) {
  DriverRig rig(0, 2, Load::Image);
  sim::MainUnit main;
  sim::Kr6Unit first(3), second(4);
  for (sim::Node* unit : std::initializer_list<sim::Node*>{&main, &first, &second}) rig.Plug(*unit);

  EXPECT_EQ(plat::LdrLoadedDrivers(), std::vector<std::u16string>{u"qx5310.sys"});
  for (sim::Node* unit : std::initializer_list<sim::Node*>{&main, &first, &second})
    EXPECT_EQ(plat::PnpState(rig.PdoOf(*unit)), plat::DevnodeState::Started);
  EXPECT_TRUE(DeviceNamed(u"\\Device\\Qx531Device0"));
  EXPECT_TRUE(DeviceNamed(u"\\Device\\Qx531Device1"));
  EXPECT_TRUE(DeviceNamed(u"\\Device\\Qx531Device2"));
  EXPECT_FALSE(DeviceNamed(u"\\Device\\Qx531Device3"));

  std::vector<SharedStateBlock> units = PresentUnits(rig);
  ASSERT_EQ(units.size(), 3u);
  std::vector<std::pair<uint32_t, uint32_t>> kinds;
  for (const SharedStateBlock& s : units) {
    EXPECT_EQ(s.mPluggedIn, 1) << "plug-in ran over bus requests";
    kinds.emplace_back(s.mUnitKind, s.mSerial);
  }
  std::sort(kinds.begin(), kinds.end());
  EXPECT_EQ(kinds, (std::vector<std::pair<uint32_t, uint32_t>>{{1, 0}, {2, 3}, {2, 4}}));
  EXPECT_EQ(ReadRegisterFromUserMode(rig, 64, 0, QX5310_REGISTER_VERSION), main.Register(QX5310_REGISTER_VERSION));

  for (sim::Node* unit : std::initializer_list<sim::Node*>{&second, &first, &main}) rig.Unplug(*unit);
  EXPECT_TRUE(plat::LdrLoadedDrivers().empty()) << "unloaded with its last device";
  rig.Shutdown();
}

TEST(UnitDriver, ItsEntryKeepsTheBreakFlagOfItsParametersAndCountsTheDevicesItAdds) {
  const std::u16string parameters = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\qx5310\\Parameters";
  plat::RegistryHive::CreateKey(parameters);
  plat::RegistryHive::SetDword(parameters, u"BreakOnEntry", 1);
  {
    DriverRig rig;
    sim::MainUnit main;
    sim::Kr6Unit kr6(2);
    rig.Plug(main);
    rig.Plug(kr6);
    auto* driver = static_cast<QX531Driver*>(DriverInstance);
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(driver->mBreakOnEntry, 1u);
    EXPECT_EQ(driver->mDevicesAdded, 2u);
    EXPECT_EQ(DerivedPoolTag, kEntryPoolTag);
    EXPECT_EQ(rig.DeviceOf(kr6)->mUnitNumber, 1);
  }
  plat::RegistryHive::Clear();
}

TEST(UnitDriver, ADeviceThatCouldNotBeMadeUsesUpNoNumber) {
  DriverRig rig;
  sim::MainUnit main;
  sim::Kr6Unit refused(3), next(4);
  rig.Plug(main);
  plat::PoolLedger::FailTag(kFrameworkPoolTag, true);
  rig.Plug(refused);
  plat::PoolLedger::FailTag(kFrameworkPoolTag, false);
  EXPECT_EQ(plat::PnpState(rig.PdoOf(refused)), plat::DevnodeState::Failed);
  rig.Plug(next);
  EXPECT_EQ(plat::PnpState(rig.PdoOf(next)), plat::DevnodeState::Started);
  EXPECT_TRUE(DeviceNamed(u"\\Device\\Qx531Device1"));
  EXPECT_FALSE(DeviceNamed(u"\\Device\\Qx531Device2"));
  EXPECT_EQ(ReadRegisterFromUserMode(rig, 64, 4, QX5310_REGISTER_VERSION), next.Register(QX5310_REGISTER_VERSION));
}

TEST(UnitDriver, AStartWhoseUnitKeepsChangingItsNodeNumberWaitsSixTimesAndGoesOn) {
  DriverRig rig;
  sim::Kr6Unit kr6(2);
  sim::MainUnit main;
  rig.Plug(kr6);
  // The node numbers turn at every reset, and a reset comes more often than start reads them.
  for (int i = 1; i <= 10; ++i)
    rig.sched.After(i * 700 * plat::kNsPerMs, [&rig] { rig.bus.Reset(sim::Bus::Renumber::Rotate); });
  const plat::VTime plugged = rig.sched.Now();
  rig.bus.Attach(main);
  ASSERT_TRUE(rig.sched.RunUntil([&] { return plat::PnpState(rig.PdoOf(main)) == plat::DevnodeState::Started; },
                                 plugged + 20 * plat::kNsPerSecond));
  const plat::VTime took = rig.sched.Now() - plugged;
  EXPECT_GE(took, 6 * 750 * plat::kNsPerMs);
  EXPECT_LT(took, 7 * 750 * plat::kNsPerMs);
  rig.Settle();
  rig.sched.RunFor(3 * plat::kNsPerSecond);
  rig.Settle();
  EXPECT_EQ(ReadRegisterFromUserMode(rig, 64, 0, QX5310_REGISTER_VERSION), main.Register(QX5310_REGISTER_VERSION));
}

TEST(UnitDriver, TheCapabilityAnswerAllowsSurpriseRemoval) {
  DriverRig rig;
  sim::MainUnit main;
  rig.Plug(main);
  DEVICE_CAPABILITIES caps{};
  caps.Size = sizeof caps;
  caps.Version = 1;
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(rig.PdoOf(main));
  PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = IRP_MJ_PNP;
  sp->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
  sp->Parameters.DeviceCapabilities.Capabilities = &caps;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoSetCompletionRoutine(irp, SignalEventCompletion, &done, TRUE, TRUE, TRUE);
  IoCallDriver(top, irp);
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  EXPECT_TRUE(NT_SUCCESS(irp->IoStatus.Status));
  EXPECT_EQ(caps.SurpriseRemovalOK, 1u);
  IoFreeIrp(irp);
  ObDereferenceObject(top);
}

// A program's stream mask of 0 stops the unit's streams and MIDI.
bool StopStreamsFromUserMode(DriverRig& rig) {
  const host::Control stop{IOCTL_QX531_SET_STREAM_MASK, host::Words({0}), 0};
  return rig.RunProgram(64, [&]() -> uint32_t {
           std::vector<std::string> units = host::FindUnitInterfaces();
           return units.size() == 1 && host::SendControl(units[0], stop).ok ? 0 : 1;
         }) == 0;
}

// The running streams keep their lists with the bus, so a stop for rebalance is refused while
// they run; once a program has stopped them, stop and start again keep one registration and start
// the streams again.
TEST(UnitDriver, StopAndStartAgainKeepsOneBusResetRegistrationAndTheUnitWorking) {
  DriverRig rig;
  sim::MainUnit main;
  rig.Plug(main);
  QX531PnpDevice* device = rig.DeviceOf(main);
  ASSERT_NE(device, nullptr);
  const uint64_t registrations = plat::Bus1394::Counters().requests[REQUEST_BUS_RESET_NOTIFICATION];
  EXPECT_EQ(registrations, 1u);
  ASSERT_TRUE(rig.DrainWork());
  ASSERT_TRUE(device->IsStreaming()) << "the start runs the streams";
  EXPECT_FALSE(plat::PnpStopAndRestart(rig.PdoOf(main))) << "refused while the lists are with the bus";
  EXPECT_EQ(plat::PnpState(rig.PdoOf(main)), plat::DevnodeState::Started);
  EXPECT_TRUE(device->IsStreaming()) << "the refused stop changed nothing";
  for (int cycle = 0; cycle < 2; ++cycle) {
    SCOPED_TRACE(cycle);
    ASSERT_TRUE(StopStreamsFromUserMode(rig));
    rig.Quiesce();
    EXPECT_TRUE(plat::PnpStopAndRestart(rig.PdoOf(main)));
    rig.Settle();
    EXPECT_EQ(plat::PnpState(rig.PdoOf(main)), plat::DevnodeState::Started);
    EXPECT_EQ(plat::Bus1394::Counters().requests[REQUEST_BUS_RESET_NOTIFICATION], registrations);
    EXPECT_TRUE(device->IsStreaming()) << "streams running again after the start";
    EXPECT_TRUE(device->IsMidiRunning());
    std::vector<SharedStateBlock> units = PresentUnits(rig);
    ASSERT_EQ(units.size(), 1u) << "one interface, enabled again";
    EXPECT_EQ(units[0].mPluggedIn, 1);
    EXPECT_EQ(ReadRegisterFromUserMode(rig, 32, 0, QX5310_FPGA_VERSION), main.Register(QX5310_FPGA_VERSION));
  }
  // The registration still works: a reset reaches the device.
  const uint64_t notified = plat::Bus1394::Counters().resetNotifications;
  rig.bus.Reset();
  rig.Settle();
  ASSERT_TRUE(rig.DrainWork());
  EXPECT_EQ(plat::Bus1394::Counters().resetNotifications, notified + 1);
  EXPECT_TRUE(device->IsStreaming());
}

struct StartCase {
  const char* name;
  bool expansion;
};

// With no client, the start has the main unit stream and every unit run MIDI: an expansion unit
// has no audio, takes nothing of the bus's isochronous resources, and so can still be stopped and
// started again, running MIDI after it.
TEST(UnitDriver, AfterStartTheMainUnitStreamsAndEveryUnitRunsMidiWithNoClient) {
  for (const StartCase& c : {StartCase{"main unit", false}, StartCase{"expansion unit", true}}) {
    SCOPED_TRACE(c.name);
    DriverRig rig;
    sim::MainUnit main;
    sim::Kr6Unit kr6(8);
    sim::Unit& unit = c.expansion ? static_cast<sim::Unit&>(kr6) : main;
    const uint32_t bandwidth = rig.bus.BandwidthAvailable();
    rig.Plug(unit);
    ASSERT_TRUE(rig.DrainWork());
    rig.Quiesce();
    QX531PnpDevice* device = rig.DeviceOf(unit);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->IsStreaming(), !c.expansion);
    EXPECT_EQ(rig.bus.BandwidthAvailable() < bandwidth, !c.expansion);
    EXPECT_TRUE(device->IsMidiRunning());
    EXPECT_EQ(unit.Register(QX5310_MIDI_NOTIFY_ENABLE), 1u);
    std::vector<SharedStateBlock> units = PresentUnits(rig);
    ASSERT_EQ(units.size(), 1u);
    // The streams' bit and MIDI's; the engine drops the streams' bits on a unit without audio.
    EXPECT_EQ(units[0].mStreamMask, c.expansion ? QX531Device::kStreamMaskMidi : 0x01 | QX531Device::kStreamMaskMidi);
    EXPECT_EQ(plat::PnpStopAndRestart(rig.PdoOf(unit)), c.expansion) << "refused only while streams run";
    rig.Settle();
    rig.Quiesce();
    EXPECT_TRUE(device->IsMidiRunning());
    EXPECT_EQ(unit.Register(QX5310_MIDI_NOTIFY_ENABLE), 1u);
    rig.Shutdown();
  }
}

TEST(UnitDriver, ARefusedBusResetRegistrationFailsTheStartWithTheBusDriversStatusAndSetsNothingUp) {
  DriverRig rig;
  sim::MainUnit main;
  plat::Bus1394::RefuseRequests(REQUEST_BUS_RESET_NOTIFICATION, STATUS_INSUFFICIENT_RESOURCES);
  rig.Plug(main);
  EXPECT_EQ(plat::PnpState(rig.PdoOf(main)), plat::DevnodeState::Failed);
  EXPECT_EQ(plat::PnpProblemStatus(rig.PdoOf(main)), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(plat::Bus1394::Counters().requests[REQUEST_ASYNC_READ], 0u) << "no plug-in";
  EXPECT_TRUE(PresentUnits(rig).empty()) << "no interface enabled";
}

TEST(UnitDriver, APlugInThatFailsUndoesTheStartAndLeavesNoInterfaceOrRegistration) {
  DriverRig rig;
  sim::MainUnit main;
  // The MIDI receive window cannot be had: plug-in fails after the register reads.
  plat::Bus1394::RefuseRequests(REQUEST_ALLOCATE_ADDRESS_RANGE, STATUS_INSUFFICIENT_RESOURCES);
  rig.Plug(main);
  EXPECT_EQ(plat::PnpState(rig.PdoOf(main)), plat::DevnodeState::Failed);
  EXPECT_FALSE(NT_SUCCESS(plat::PnpProblemStatus(rig.PdoOf(main))));
  EXPECT_GT(plat::Bus1394::Counters().requests[REQUEST_ASYNC_READ], 0u) << "plug-in ran";
  EXPECT_TRUE(PresentUnits(rig).empty());
  EXPECT_EQ(plat::Bus1394::Counters().requests[REQUEST_BUS_RESET_NOTIFICATION], 2u) << "registered, then undone";
  const uint64_t notified = plat::Bus1394::Counters().resetNotifications;
  rig.bus.Reset();
  rig.Settle();
  EXPECT_EQ(plat::Bus1394::Counters().resetNotifications, notified) << "no routine left registered";
}

TEST(UnitDriver, PullingAUnitOutSurpriseRemovesAndRemovesItsDeviceLeavingNothingBehind) {
  DriverRig rig;
  sim::MainUnit main;
  sim::Kr6Unit kr6(7);
  rig.Plug(main);
  rig.Plug(kr6);
  const std::u16string instance = plat::PnpInstancePath(rig.PdoOf(kr6));
  const size_t poolWithBoth = plat::PoolLedger::OutstandingAllocations();
  plat::PnpLog().clear();
  rig.Unplug(kr6);
  ASSERT_TRUE(rig.DrainWork()) << "the main unit's reset worker finishes";

  std::string suffix(instance.begin() + static_cast<long>(instance.rfind(u'\\')) + 1, instance.end());
  std::vector<std::string>& log = plat::PnpLog();
  auto at = [&](const std::string& what) {
    return std::find_if(log.begin(), log.end(), [&](const std::string& l) {
             return l.rfind(what, 0) == 0 && l.find(suffix) != std::string::npos;
           }) - log.begin();
  };
  EXPECT_LT(at("SURPRISE_REMOVAL@"), at("REMOVE@")) << testing::PrintToString(log);
  EXPECT_LT(at("REMOVE@"), static_cast<long>(log.size()));
  EXPECT_EQ(plat::PendingWorkItems(), 0u);
  EXPECT_EQ(plat::IoDeviceObjectsLeft().find("Qx531Device1"), std::string::npos);
  EXPECT_LT(plat::PoolLedger::OutstandingAllocations(), poolWithBoth);
  std::vector<SharedStateBlock> units = PresentUnits(rig);
  ASSERT_EQ(units.size(), 1u);
  EXPECT_EQ(units[0].mSerial, 0u);
  EXPECT_EQ(units[0].mUnitCount, 1) << "the engine's unit table let the expansion unit go";
}

TEST(UnitDriver, AnOrderlyRemovalWritesTheStopRegistersToAUnitStillOnTheBus) {
  DriverRig rig;
  sim::Kr6Unit kr6(6);
  rig.Plug(kr6);
  const host::Control startMidi{IOCTL_QX531_SET_STREAM_MASK, host::Words({QX531Device::kStreamMaskMidi}), 0};
  EXPECT_EQ(rig.RunProgram(32, [&]() -> uint32_t {
              std::vector<std::string> units = host::FindUnitInterfaces();
              return units.size() == 1 && host::SendControl(units[0], startMidi).ok ? 0 : 1;
            }),
            0u);
  rig.Quiesce();
  ASSERT_EQ(kr6.Register(QX5310_MIDI_NOTIFY_ENABLE), 1u);
  ASSERT_EQ(kr6.Register(QX5310_ASYNC_NOTIFY_ENABLE), 1u);

  EXPECT_TRUE(plat::PnpQueryRemoveAndRemove(rig.PdoOf(kr6)));
  rig.Settle();
  EXPECT_EQ(kr6.Register(QX5310_MIDI_NOTIFY_ENABLE), 0u);
  EXPECT_EQ(kr6.Register(QX5310_ASYNC_NOTIFY_ENABLE), 0u);
}

TEST(UnitDriver, RemoveAndReplugCyclesBringTheUnitBackWorking) {
  DriverRig rig;
  sim::MainUnit main;
  sim::Kr6Unit kr6(5);
  rig.Plug(main);
  for (int cycle = 0; cycle < 3; ++cycle) {
    SCOPED_TRACE(cycle);
    rig.Plug(kr6);
    EXPECT_EQ(ReadRegisterFromUserMode(rig, 64, 5, QX5310_REGISTER_VERSION), kr6.Register(QX5310_REGISTER_VERSION));
    rig.Unplug(kr6);
    EXPECT_TRUE(rig.DrainWork());
    EXPECT_EQ(PresentUnits(rig).size(), 1u);
  }
  // A disable through the user's request is an orderly removal of a unit that stays on the bus.
  EXPECT_TRUE(plat::PnpQueryRemoveAndRemove(rig.PdoOf(main)));
  rig.Settle();
  EXPECT_TRUE(PresentUnits(rig).empty());
}

// Two units whose bus resets the tests drive; the workers' passes show in the generation-count
// requests, one per pass.
uint64_t GenerationReads() { return plat::Bus1394::Counters().requests[REQUEST_GET_GENERATION_COUNT]; }

TEST(UnitDriver, ABurstOfBusResetsRunsTheWorkerAfterTheLastOneAndNeverTwiceAtOnce) {
  for (uint64_t seed : qxtest::InterleavingSeeds()) {
    SCOPED_TRACE(qxtest::SeedTrace(seed));
    DriverRig rig(seed, 1 + static_cast<uint32_t>(seed % 3));
    sim::MainUnit main;
    sim::Kr6Unit kr6(9);
    rig.Plug(main);
    rig.Plug(kr6);
    const uint64_t readsBefore = GenerationReads();
    const uint64_t notifiedBefore = plat::Bus1394::Counters().resetNotifications;
    for (int i = 0; i < 4; ++i) rig.bus.Reset(i % 2 ? sim::Bus::Renumber::Rotate : sim::Bus::Renumber::Keep);
    rig.Settle();
    ASSERT_TRUE(rig.DrainWork());
    const uint64_t notified = plat::Bus1394::Counters().resetNotifications - notifiedBefore;
    const uint64_t passes = GenerationReads() - readsBefore;
    EXPECT_GE(passes, 2u) << "each unit's worker ran after the last reset";
    EXPECT_LE(passes, notified) << "never more passes than notifications";
    for (const sim::Node* unit : std::initializer_list<const sim::Node*>{&main, &kr6}) {
      QX531PnpDevice* device = rig.DeviceOf(*unit);
      ASSERT_NE(device, nullptr);
      EXPECT_EQ(device->mBusResetPending, 0);
      EXPECT_EQ(device->mBusResetRunning, 0);
      EXPECT_TRUE(device->IsReachable());
    }
    EXPECT_EQ(plat::PendingWorkItems(), 0u);
    EXPECT_EQ(ReadRegisterFromUserMode(rig, 64, 9, QX5310_REGISTER_VERSION), kr6.Register(QX5310_REGISTER_VERSION))
        << "register access on the generation the worker read";
    rig.Shutdown();
  }
}

TEST(UnitDriver, NotificationsWhileTheWorkerIsQueuedQueueNoSecondOne) {
  DriverRig rig;
  sim::MainUnit main;
  rig.Plug(main);
  QX531PnpDevice* device = rig.DeviceOf(main);
  ASSERT_NE(device, nullptr);
  const uint64_t readsBefore = GenerationReads();
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  for (int i = 0; i < 3; ++i) QX531PnpDevice::BusResetNotification(device);
  KeLowerIrql(old);
  EXPECT_EQ(plat::PendingWorkItems(), 1u);
  ASSERT_TRUE(rig.DrainWork());
  EXPECT_EQ(GenerationReads() - readsBefore, 1u) << "one pass took the three notifications";
  EXPECT_EQ(plat::PendingWorkItems(), 0u);
}

TEST(UnitDriver, ARemovalDrainsTheQueuedWorkersBeforeItTearsTheUnitDown) {
  for (uint64_t seed : qxtest::InterleavingSeeds(16)) {
    SCOPED_TRACE(qxtest::SeedTrace(seed));
    DriverRig rig(seed, 2 + static_cast<uint32_t>(seed % 2));
    sim::MainUnit main;
    rig.Plug(main);
    rig.Quiesce();
    QX531PnpDevice* device = rig.DeviceOf(main);
    ASSERT_NE(device, nullptr);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    QX531PnpDevice::BusResetNotification(device);
    device->SignalForIsocReinitialize();
    KeLowerIrql(old);
    // The workers race the removal; whichever way it goes, they end before the device does.
    EXPECT_TRUE(plat::PnpQueryRemoveAndRemove(rig.PdoOf(main)));
    rig.Settle();
    EXPECT_EQ(plat::PendingWorkItems(), 0u);
    EXPECT_EQ(rig.DeviceOf(main), nullptr);
    const uint64_t reads = GenerationReads();
    rig.bus.Reset();
    rig.Settle();
    EXPECT_EQ(GenerationReads(), reads) << "no reset handling once removed";
    rig.Shutdown();
  }
}

TEST(UnitDriver, AStreamReinitialisationIsQueuedOnceUntilItsWorkerHasRun) {
  DriverRig rig;
  sim::MainUnit main;
  rig.Plug(main);
  QX531PnpDevice* device = rig.DeviceOf(main);
  ASSERT_NE(device, nullptr);
  ASSERT_TRUE(rig.DrainWork());
  for (int round = 0; round < 2; ++round) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    device->SignalForIsocReinitialize();
    device->SignalForIsocReinitialize();
    KeLowerIrql(old);
    EXPECT_EQ(plat::PendingWorkItems(), 1u);
    EXPECT_EQ(device->mReinitPending, 1);
    ASSERT_TRUE(rig.DrainWork());
    EXPECT_EQ(device->mReinitPending, 0) << "it may be signalled again";
  }
  EXPECT_EQ(plat::PendingWorkItems(), 0u);
}

TEST(UnitDriver, StartStopRemovalAndBusResetsInterleavedLeaveWorkingUnitsAndNothingBehind) {
  for (uint64_t seed : qxtest::InterleavingSeeds(16)) {
    SCOPED_TRACE(qxtest::SeedTrace(seed));
    DriverRig rig(seed, 2 + static_cast<uint32_t>(seed % 2));
    sim::MainUnit main;
    sim::Kr6Unit a(3), b(4);
    // Plugged together: every arrival resets the bus while the others start.
    rig.bus.Attach(main);
    rig.bus.Attach(a);
    rig.bus.Attach(b);
    rig.Settle();
    rig.bus.Reset();
    // Refused while requests are in flight, or carried out: either leaves the unit working.
    plat::PnpStopAndRestart(rig.PdoOf(main));
    rig.bus.Detach(a);  // pulled while the others reset and restart
    rig.bus.Reset(sim::Bus::Renumber::Rotate);
    rig.Settle();
    EXPECT_EQ(PresentUnits(rig).size(), 2u);
    EXPECT_EQ(ReadRegisterFromUserMode(rig, 64, 4, QX5310_REGISTER_VERSION), b.Register(QX5310_REGISTER_VERSION));
    EXPECT_EQ(ReadRegisterFromUserMode(rig, 32, 0, QX5310_REGISTER_VERSION), main.Register(QX5310_REGISTER_VERSION));
    rig.bus.Reset();
    rig.bus.Detach(b);
    rig.bus.Detach(main);
    rig.Settle();
    EXPECT_TRUE(PresentUnits(rig).empty());
    rig.Shutdown();
  }
}

TEST(UnitDriver, ASystemSleepAndResumeRunsThroughTheDeviceAndTheUnitWorksAfterwards) {
  DriverRig rig;
  sim::MainUnit main;
  rig.Plug(main);
  plat::PnpLog().clear();
  EXPECT_TRUE(plat::PoSetSystemState(PowerSystemSleeping3));
  EXPECT_EQ(plat::PoSystemState(), PowerSystemSleeping3);
  EXPECT_TRUE(plat::PoSetSystemState(PowerSystemWorking));
  rig.Settle();
  EXPECT_EQ(plat::PoSystemState(), PowerSystemWorking);
  const std::u16string instance = plat::PnpInstancePath(rig.PdoOf(main));
  const std::string unit(instance.begin(), instance.end());
  EXPECT_EQ(plat::PnpLog(), (std::vector<std::string>{"QUERY_POWER@" + unit, "QUERY_POWER@ROOT\\1394BUS\\0",
                                                      "SET_POWER@" + unit, "SET_POWER@ROOT\\1394BUS\\0",
                                                      "SET_POWER@ROOT\\1394BUS\\0", "SET_POWER@" + unit}));
  EXPECT_EQ(plat::PnpState(rig.PdoOf(main)), plat::DevnodeState::Started);
  EXPECT_EQ(ReadRegisterFromUserMode(rig, 64, 0, QX5310_ARM_VERSION), main.Register(QX5310_ARM_VERSION));
  EXPECT_TRUE(rig.DeviceOf(main)->IsStreaming());
  EXPECT_TRUE(rig.DeviceOf(main)->IsMidiRunning());
}

}  // namespace
