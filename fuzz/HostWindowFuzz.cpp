// Writes from the units into the host's MIDI receive and async status windows, at any offset and
// of any length, over the simulated bus into the 1394 bus driver's address ranges, through the
// unit driver's receive windows and on into the unit engine: what a unit (or anything else on the
// bus) can write into host memory.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <span>

#include "driver/QX531PnpDevice.h"
#include "platform/bus1394/Bus1394.h"
#include "platform/kernel/PnpManager.h"
#include "platform/kernel/RegistryHive.h"
#include "sim/bus/Bus.h"
#include "sim/units/Kr6Unit.h"
#include "sim/units/MainUnit.h"
#include "tests/unit/EngineCheckpoint.h"
#include "unit/ControlRequests.h"
#include "unit/RegisterMap.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace {

// A unit's function device, the host window addresses its engine told the unit, and what puts
// its engine back.
struct Unit {
  sim::Unit* mUnit = nullptr;
  QX531PnpDevice* mDevice = nullptr;
  uint64_t mWindow[2] = {};  // MIDI receive, async status; 0 where the unit has none
  LONG mIdleRequests = 0;
  std::function<void()> mRestore;

  bool Idle() const { return mDevice->mRequestCount == mIdleRequests; }
};

// A main unit and a KR-6 on the bus, found by the bus driver and started by plug and play with
// the unit driver, their MIDI switched on, once; the engines are put back before every input.
struct Machine {
  plat::Scheduler mScheduler;
  sim::Bus mBus{mScheduler};
  sim::MainUnit mMainUnit;
  sim::Kr6Unit mKr6{0x1234};
  Unit mUnits[2];

  Machine() {
    plat::PnpRegisterService(u"qx5310", DriverEntry);
    plat::RegistryHive::CreateKey(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\qx5310");
    plat::PnpBindHardwareId(u"1394\\Halvern&QX-5310", u"qx5310");
    plat::PnpBindHardwareId(u"1394\\Halvern&KR-6", u"qx5310");
    plat::Bus1394::Install(mBus);
    plat::Bus1394::Settle();
    mUnits[0].mUnit = &mMainUnit;
    mUnits[1].mUnit = &mKr6;
    for (Unit& u : mUnits) {
      mBus.Attach(*u.mUnit);
      plat::Bus1394::Settle();
      PDEVICE_OBJECT pdo = plat::Bus1394::PdoOf(u.mUnit->Guid());
      if (pdo == nullptr || pdo->AttachedDevice == nullptr) std::abort();
      u.mDevice = static_cast<QX531PnpDevice*>(static_cast<KernelDeviceBase*>(pdo->AttachedDevice->DeviceExtension));
      // The start has MIDI running and the main unit streaming; the streams are stopped so that the
      // unit settles back to the same requests in flight after every input.
      uint32_t midiOnly = QX531Device::kStreamMaskMidi;
      uint32_t returned = 0;
      if (u.mDevice == nullptr || !u.mDevice->IsMidiRunning() ||
          u.mDevice->HandleControlRequest(QX531RequestNumber(IOCTL_QX531_SET_STREAM_MASK), &midiOnly, sizeof midiOnly,
                                          0, &returned) != 0)
        std::abort();
    }
    mScheduler.RunFor(20 * plat::kNsPerMs);
    for (Unit& u : mUnits) {
      const sim::Unit& unit = *u.mUnit;
      u.mWindow[0] = uint64_t{unit.Register(QX5310_MIDI_NOTIFY_HI) & 0xFFFF} << 32 | unit.Register(QX5310_MIDI_NOTIFY_LO);
      u.mWindow[1] = uint64_t{unit.Register(QX5310_ASYNC_NOTIFY_HI) & 0xFFFF} << 32 | unit.Register(QX5310_ASYNC_NOTIFY_LO);
      if (u.mWindow[0] == 0) std::abort();
      u.mIdleRequests = u.mDevice->mRequestCount;
      u.mRestore = CheckpointEngine(*u.mDevice);
    }
  }
};

constexpr size_t kHeader = 5;
// Long enough for a write to arrive and complete.
constexpr plat::VTime kCarried = 50000;

}  // namespace

// Writes one after the other, each a 5-byte header and its bytes: the window and its unit (bit 0
// the async status window, else the MIDI receive window; bit 1 the KR-6, else the main unit), the
// offset into the window and the length (16 bits each, little-endian), then the bytes (fewer when
// the input ends). Each is sent from that unit and carried before the next.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Machine* machine = new Machine;
  for (Unit& u : machine->mUnits) u.mRestore();
  const uint8_t host = plat::Bus1394::Host().NodeId();
  size_t i = 0;
  while (size - i >= kHeader) {
    const uint8_t* header = data + i;
    i += kHeader;
    const Unit& unit = machine->mUnits[header[0] >> 1 & 1];
    const uint32_t offset = uint32_t{header[1]} | uint32_t{header[2]} << 8;
    const size_t length = std::min<size_t>(uint32_t{header[3]} | uint32_t{header[4]} << 8, size - i);
    machine->mBus.Write(*unit.mUnit, host, unit.mWindow[header[0] & 1] + offset,
                        std::span<const uint8_t>(data + i, length), machine->mBus.Generation(), [](sim::AsyncStatus) {});
    i += length;
    machine->mScheduler.RunFor(kCarried);
  }
  // Whatever the writes set off settles before the engines are put back.
  machine->mScheduler.RunUntil(
      [] { return machine->mUnits[0].Idle() && machine->mUnits[1].Idle(); },
      machine->mScheduler.Now() + 1000 * plat::kNsPerMs);
  return 0;
}
