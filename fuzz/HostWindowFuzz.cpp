// Writes from the units into the host's MIDI receive and async status windows, at any offset and
// of any length, over the simulated bus into the engine platform double's address ranges and on
// into the unit engine: what a unit (or anything else on the bus) can write into host memory.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <span>

#include "sim/bus/Bus.h"
#include "sim/bus/HostNode.h"
#include "sim/host/EnginePlatformDouble.h"
#include "sim/units/Kr6Unit.h"
#include "sim/units/MainUnit.h"
#include "tests/unit/EngineCheckpoint.h"

namespace {

// An engine whose host MIDI is counted, not kept, and whose window addresses are known.
class WindowedEngine : public sim::EnginePlatformDouble {
 public:
  using EnginePlatformDouble::EnginePlatformDouble;

  uint64_t Window(bool async) const {
    return async ? uint64_t{mAsyncReceiveHi} << 32 | mAsyncReceiveLo : uint64_t{mMIDIReceiveHi} << 32 | mMIDIReceiveLo;
  }
  uint64_t mEvents = 0;

 protected:
  int32_t DeliverMIDIInEvent(uint32_t) override {
    ++mEvents;
    return 0;
  }
};

// A main unit and a KR-6 on the bus with their engines plugged in, once; the engines are put
// back before every input.
struct Machine {
  plat::Scheduler mScheduler;
  sim::Bus mBus{mScheduler};
  sim::HostNode mHost;
  sim::MainUnit mMainUnit;
  sim::Kr6Unit mKr6{0x1234};
  sim::DoubleSettingsStore mStore;
  std::unique_ptr<WindowedEngine> mMain;
  std::unique_ptr<WindowedEngine> mExpansion;
  std::function<void()> mRestoreMain;
  std::function<void()> mRestoreExpansion;

  Machine() {
    mBus.Attach(mHost);
    mMainUnit.Plug(mBus);
    mKr6.Plug(mBus);
    mScheduler.RunUntilIdle();
    mMain = std::make_unique<WindowedEngine>(mHost, mMainUnit.Guid(), mStore);
    mExpansion = std::make_unique<WindowedEngine>(mHost, mKr6.Guid(), mStore);
    if (mMain->HandlePlugIn() != 0 || mExpansion->HandlePlugIn() != 0) std::abort();
    mScheduler.RunUntilIdle();
    mRestoreMain = CheckpointEngine(*mMain);
    mRestoreExpansion = CheckpointEngine(*mExpansion);
  }
};

constexpr size_t kHeader = 5;
// Long enough for a write to arrive and complete.
constexpr plat::VTime kCarried = 50000;

}  // namespace

// Writes one after the other, each a 5-byte header and its bytes: the window and its unit (bit 0
// the async status window, else the MIDI receive window; bit 1 the KR-6's engine, else the main
// unit's), the offset into the window and the length (16 bits each, little-endian), then the
// bytes (fewer when the input ends). Each is sent from that engine's unit and carried before the
// next.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Machine* machine = new Machine;
  machine->mRestoreMain();
  machine->mRestoreExpansion();
  const uint8_t host = machine->mHost.NodeId();
  size_t i = 0;
  while (size - i >= kHeader) {
    const uint8_t* header = data + i;
    i += kHeader;
    const bool async = header[0] & 1;
    const bool expansion = header[0] & 2;
    WindowedEngine& engine = expansion ? *machine->mExpansion : *machine->mMain;
    const sim::Node& source = expansion ? static_cast<const sim::Node&>(machine->mKr6) : machine->mMainUnit;
    const uint32_t offset = uint32_t{header[1]} | uint32_t{header[2]} << 8;
    const size_t length = std::min<size_t>(uint32_t{header[3]} | uint32_t{header[4]} << 8, size - i);
    machine->mBus.Write(source, host, engine.Window(async) + offset, std::span<const uint8_t>(data + i, length),
                        machine->mBus.Generation(), [](sim::AsyncStatus) {});
    i += length;
    machine->mScheduler.RunFor(kCarried);
  }
  // Whatever the writes set off settles before the engines are put back.
  machine->mScheduler.RunUntil(
      [] {
        return machine->mMain->QueuedWritesIssued() == machine->mMain->QueuedWritesCompleted() &&
               machine->mExpansion->QueuedWritesIssued() == machine->mExpansion->QueuedWritesCompleted();
      },
      plat::kNsPerMs * 1000);
  return 0;
}
