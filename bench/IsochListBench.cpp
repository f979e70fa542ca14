// The unit driver's per-list path on the 1394 bus driver: a list that the bus
// has finished is detached, handed to its unit's routine and attached again, as
// the driver does for every list while it streams. A talking stream with one
// list of one packet finishes a list every bus cycle; beside it, the floor: a
// bus cycle of the same stream sending a packet from a list of 412, which
// finishes once in 412 cycles.
#include <benchmark/benchmark.h>

#include <cstring>

#include "driver/CycleTime.h"
#include "driver/IsochStream.h"
#include "kframework/LowerDeviceLink.h"
#include "platform/bus1394/Bus1394.h"
#include "platform/kernel/PnpManager.h"
#include "platform/kernel/Pool.h"
#include "platform/kernel/Scheduler.h"
#include "sim/bus/Bus.h"
#include "sim/units/MainUnit.h"

namespace {

constexpr ULONG kPacketBytes = 8;  // a CIP header with no data blocks
constexpr ULONG kBenchTag = plat::PoolTag("Bnch");
constexpr ULONG kStartDelayCycles = 8;

// The bus, its driver and one unit's PDO, whose stack the stream's requests go
// down.
struct Machine {
  Machine() {
    plat::Bus1394::Install(bus);
    bus.Attach(unit);
    plat::Bus1394::Settle();
    PDEVICE_OBJECT pdo = plat::Bus1394::PdoOf(unit.Guid());
    link.LinkToLowerDevice(pdo, pdo);
  }
  ~Machine() {
    plat::Bus1394::Settle();
    plat::PnpShutdown();
  }

  plat::Scheduler sched;
  sim::Bus bus{sched};
  sim::MainUnit unit;
  LowerDeviceLink link;
};

// A talking stream whose list A of `packets` packets goes back to the bus as
// soon as it is handed back, as the driver re-attaches its lists.
struct OneListStream {
  OneListStream(Machine& m, ULONG packets) : stream(kPoolObjectStamp, 1), packets(packets) {
    packet = ExAllocatePoolWithTag(NonPagedPool, kPacketBytes, kBenchTag);
    std::memset(packet, 0, kPacketBytes);
    stream.mLink = &m.link;
    ok = stream.AllocateLists();
    for (ULONG j = 0; ok && j < packets; ++j) ok = stream.DescribePacket(0, j, packet, kPacketBytes, 0);
    ok = ok && NT_SUCCESS(stream.AllocateIsochBandwidth(kPacketBytes, SPEED_FLAGS_400)) &&
         NT_SUCCESS(stream.AllocateIsochChannel(ISOCH_ANY_CHANNEL)) &&
         NT_SUCCESS(stream.AllocateTransferResources(TRUE, &m.link, nullptr, SPEED_FLAGS_400, kPacketBytes,
                                                     IsochStream::kDescriptorsPerList, kPacketBytes, stream.mChannel));
    PISOCH_DESCRIPTOR list = stream.List(0);
    if (list != nullptr) {
      list[0].DeviceReserved[kListUnit] = reinterpret_cast<ULONG_PTR>(this);
      list[0].DeviceReserved[kListCompletion] = reinterpret_cast<ULONG_PTR>(&ListDone);
    }
  }
  ~OneListStream() {
    stream.IsochStop();
    stream.DetachAllIsochBuffers();
    stream.WaitForRequests();
    stream.FreeIsochResources();
    stream.FreeIsochChannel();
    stream.FreeIsochBandwidth();
    stream.DropTransferResources();
    stream.FreeLists();
    ExFreePoolWithTag(packet, kBenchTag);
  }

  bool Attach() {
    PISOCH_DESCRIPTOR list = stream.List(0);
    ISOCH_DESCRIPTOR& last = list[list[0].DeviceReserved[kListCount] - 1];
    last.Callback = nullptr;
    last.Context1 = nullptr;
    last.Context2 = nullptr;
    list[0].DeviceReserved[kListCount] = packets;
    std::memcpy(&list[0].CycleTime, &schedule, sizeof schedule);
    schedule = AddCycles(schedule, packets);
    return NT_SUCCESS(stream.AttachIsochBuffers(list));
  }
  // The resource sends each list at the cycle its first descriptor names, so
  // the lists follow one another on a schedule, as the driver's do.
  bool Start(const sim::Bus& bus) {
    schedule = sim::CycleTimeWord(bus.CurrentCycle() + kStartDelayCycles);
    return Attach() && NT_SUCCESS(stream.IsochTalk(nullptr));
  }

  static void ListDone(PVOID self, NTSTATUS status, PISOCH_DESCRIPTOR) {
    auto* s = static_cast<OneListStream*>(self);
    if (!NT_SUCCESS(status)) return;
    ++s->lists;
    if (s->again) s->failed += s->Attach() ? 0 : 1;
  }

  IsochStream stream;
  ULONG packets;
  ULONG schedule = 0;
  PVOID packet = nullptr;
  bool ok = false;
  bool again = true;
  uint64_t lists = 0;
  uint64_t failed = 0;
};

void BM_ListDoneDetachAndReattach(benchmark::State& state) {
  Machine m;
  {
    OneListStream s(m, 1);
    if (!s.ok || !s.Start(m.bus)) {
      state.SkipWithError("the stream could not be set up");
      return;
    }
    // The first lists fill what the path keeps ready.
    m.sched.RunUntil([&] { return s.lists >= 16; }, m.sched.Now() + plat::kNsPerSecond);
    const uint64_t firstList = s.lists;
    const size_t firstAllocation = plat::PoolLedger::AllocationCount();
    for (auto _ : state) {
      const uint64_t next = s.lists + 1;
      m.sched.RunUntil([&] { return s.lists >= next; }, m.sched.Now() + plat::kNsPerSecond);
    }
    const double lists = static_cast<double>(s.lists - firstList);
    state.counters["pool_allocations_per_list"] =
        lists > 0 ? static_cast<double>(plat::PoolLedger::AllocationCount() - firstAllocation) / lists : 0;
    if (s.failed != 0 || s.lists - firstList < static_cast<uint64_t>(state.iterations()))
      state.SkipWithError("a list did not come back");
    s.again = false;
    m.sched.RunFor(10 * plat::kNsPerMs);
  }
}
BENCHMARK(BM_ListDoneDetachAndReattach);

// The floor: one bus cycle of the same stream sending a packet.
void BM_BusCycleSendingAPacket(benchmark::State& state) {
  Machine m;
  {
    OneListStream s(m, IsochStream::kDescriptorsPerList);
    if (!s.ok || !s.Start(m.bus)) {
      state.SkipWithError("the stream could not be set up");
      return;
    }
    uint64_t sent = plat::Bus1394::Counters().isochPacketsSent;
    m.sched.RunUntil([&] { return plat::Bus1394::Counters().isochPacketsSent > sent; },
                     m.sched.Now() + plat::kNsPerSecond);
    sent = plat::Bus1394::Counters().isochPacketsSent;
    for (auto _ : state) m.sched.RunFor(plat::kNsPerCycle);
    if (plat::Bus1394::Counters().isochPacketsSent - sent < static_cast<uint64_t>(state.iterations()) / 2)
      state.SkipWithError("the stream did not send");
    s.again = false;
    m.sched.RunFor(IsochStream::kDescriptorsPerList * plat::kNsPerCycle);
  }
}
BENCHMARK(BM_BusCycleSendingAPacket);

}  // namespace
