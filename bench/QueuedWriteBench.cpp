// One queued register write of the unit driver through the 1394 bus driver to a simulated unit:
// sent as the engine's writers send a lamp or a fader target, carried over the bus and completed
// back to its writer. Beside it, the pool allocations each write costs.
#include <benchmark/benchmark.h>

#include <memory>

#include "driver/QX531WinDevice.h"
#include "kframework/KernelDriverBase.h"
#include "kframework/LowerDeviceLink.h"
#include "kframework/PnpDeviceBase.h"
#include "platform/bus1394/Bus1394.h"
#include "platform/kernel/PnpManager.h"
#include "platform/kernel/Pool.h"
#include "platform/kernel/Scheduler.h"
#include "sim/bus/Bus.h"
#include "sim/units/MainUnit.h"
#include "unit/RegisterMap.h"

namespace {

// A function device that only counts the requests the unit holds on it.
class CountingDevice : public PnpDeviceBase {
 public:
  CountingDevice(ULONG stamp, PDEVICE_OBJECT pdo)
      : PnpDeviceBase(stamp, pdo, nullptr, FILE_DEVICE_UNKNOWN, nullptr, 0, 0) {}
  NTSTATUS DefaultPnp(PIRP irp) override { return CompleteRequest(irp, STATUS_NOT_SUPPORTED); }
  NTSTATUS DefaultPower(PIRP irp) override { return CompleteRequest(irp, STATUS_NOT_SUPPORTED); }
};

// The Windows unit object sending straight to the unit's PDO.
class BenchUnit : public QX531WinDevice {
 public:
  BenchUnit(PDEVICE_OBJECT pdo, PnpDeviceBase* counted) : QX531WinDevice(pdo, counted) {
    mLink.LinkToLowerDevice(pdo, pdo);
  }
  LowerDeviceLink* GetLowerDeviceLink() override { return &mLink; }
  // No kernel client binds here.
  BOOLEAN QueueMidiOut(ULONG) override { return FALSE; }
  void DeliverMidiWord(ULONG) override {}
  void LogString(const char*) override {}
  void LogLabelHex(const char*, uint32_t) override {}
  void LogLabelDecimal(const char*, int32_t) override {}

  LowerDeviceLink mLink;
};

struct Machine {
  Machine() {
    plat::Bus1394::Install(bus);
    bus.Attach(unit);
    plat::Bus1394::Settle();
    PDEVICE_OBJECT pdo = plat::Bus1394::PdoOf(unit.Guid());
    driver.mDriverObject = pdo->DriverObject;
    DriverInstance = &driver;
    counted = KernelNew<CountingDevice>(NonPagedPool, pdo);
    win = std::make_unique<BenchUnit>(pdo, counted);
  }
  ~Machine() {
    sched.RunFor(10 * plat::kNsPerMs);
    win.reset();
    if (counted != nullptr) counted->Delete();
    DriverInstance = nullptr;
    plat::Bus1394::Settle();
    plat::PnpShutdown();
  }

  plat::Scheduler sched;
  sim::Bus bus{sched};
  sim::MainUnit unit;
  KernelDriverBase driver;
  CountingDevice* counted = nullptr;
  std::unique_ptr<BenchUnit> win;
};

struct Writer {
  uint32_t value = 0;
  uint64_t done = 0;
  uint64_t failed = 0;
  static int32_t Done(void* context, uint32_t status) {
    auto* self = static_cast<Writer*>(context);
    ++self->done;
    if (status != 0) ++self->failed;
    return 0;
  }
};

void BM_QueuedLampWrite(benchmark::State& state) {
  Machine m;
  if (m.win->ExtractNodeAndGenerationIDs() != 0) {
    state.SkipWithError("the unit's ids could not be read");
    return;
  }
  Writer w;
  uint64_t refused = 0;
  const size_t firstAllocation = plat::PoolLedger::AllocationCount();
  for (auto _ : state) {
    w.value = static_cast<uint32_t>(w.done & 1) << 16 | 0x21;
    const uint64_t next = w.done + 1;
    if (m.win->WriteQuadletAsync(nullptr, QX5310_LAMP, &w.value, Writer::Done, &w) != 0) {
      ++refused;
      continue;
    }
    m.sched.RunUntil([&] { return w.done >= next; }, m.sched.Now() + plat::kNsPerSecond);
  }
  const auto writes = static_cast<double>(w.done);
  state.counters["pool_allocations_per_write"] =
      writes > 0 ? static_cast<double>(plat::PoolLedger::AllocationCount() - firstAllocation) / writes : 0;
  if (refused != 0 || w.failed != 0 || w.done < static_cast<uint64_t>(state.iterations()))
    state.SkipWithError("a write did not go through");
}
BENCHMARK(BM_QueuedLampWrite);

}  // namespace
