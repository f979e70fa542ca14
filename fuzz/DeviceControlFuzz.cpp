// Device I/O controls of any code, lengths and contents from 32-bit and 64-bit processes into the
// unit driver started on a main unit: what any program may send. A program that ends, however it
// leaves the ASIO session, must leave no mapping in its process; the stream runs between controls.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "fuzz/DeviceControlProgram.h"
#include "platform/bus1394/Bus1394.h"
#include "platform/kernel/PnpManager.h"
#include "platform/kernel/Process.h"
#include "platform/kernel/RegistryHive.h"
#include "platform/kernel/Scheduler.h"
#include "sim/bus/Bus.h"
#include "sim/units/MainUnit.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace {

// The driver loaded by plug and play for a main unit on the bus, once.
struct Machine {
  plat::Scheduler mScheduler;
  sim::Bus mBus{mScheduler};
  sim::MainUnit mUnit;

  Machine() {
    mScheduler.SetSeed(0);
    mScheduler.SetProcessors(2);
    plat::PnpRegisterService(u"qx5310", DriverEntry);
    plat::RegistryHive::CreateKey(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\qx5310");
    plat::PnpBindHardwareId(u"1394\\Halvern&QX-5310", u"qx5310");
    plat::Bus1394::Install(mBus);
    plat::Bus1394::Settle();
    mBus.Attach(mUnit);
    plat::Bus1394::Settle();
    mScheduler.RunFor(10 * plat::kNsPerMs);
  }
};

}  // namespace

// The first byte chooses the caller's width (bit 0 set: 32-bit); the rest is the program's
// controls (fuzz/DeviceControlProgram.h).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Machine* machine = new Machine;
  if (size == 0) return 0;
  const unsigned bits = (data[0] & 1) ? 32 : 64;
  plat::Process* process = plat::StartProcess(bits == 32 ? "fuzz32.exe" : "fuzz64.exe", bits, [&]() -> ULONG {
    return fuzzhost::RunControls(bits, data + 1, size - 1);
  });
  // A mapping left behind at the program's end is a violation here.
  plat::WaitProcess(process);
  if (!process->Fault().empty()) std::abort();
  plat::ReleaseProcess(process);
  machine->mScheduler.RunFor(plat::kNsPerMs);
  return 0;
}
