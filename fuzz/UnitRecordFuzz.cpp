// Record-slot contents through the record path: a locked stream whose next record list carries the
// input instead of the unit's packets, slot after slot, each slot at most its 1220 bytes.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>

#include "tests/unit/StreamDouble.h"
#include "unit/UnitTable.h"

namespace {

class FuzzedStream : public StreamDouble {
 public:
  const uint8_t* mInput = nullptr;
  size_t mSize = 0;

 protected:
  void HandleInputBufferACallback() override {
    Replace(mRecordSlotsA, mRecordPacketsA);
    StreamDouble::HandleInputBufferACallback();
  }
  void HandleInputBufferBCallback() override {
    Replace(mRecordSlotsB, mRecordPacketsB);
    StreamDouble::HandleInputBufferBCallback();
  }

 private:
  void Replace(uint8_t* const* slots, uint32_t packets) {
    for (uint32_t i = 0; i < packets && mSize != 0; ++i) {
      const size_t n = mSize < kRecordSlotPitch ? mSize : kRecordSlotPitch;
      std::memcpy(slots[i], mInput, n);
      mInput += n;
      mSize -= n;
    }
  }
};

// One locked stream per setting, locked once and put back before every input: locking takes
// thousands of bus cycles, the input only a few lists.
struct LockedStream {
  std::unique_ptr<FuzzedStream> mUnit;
  std::function<void()> mRestore;
};

constexpr uint32_t kSettings = 16;
constexpr uint32_t kStep = 8;
constexpr uint32_t kMostCycles = 8000;
constexpr uint32_t kCyclesAfter = 400;

LockedStream* Locked(uint32_t setting) {
  static std::array<LockedStream, kSettings> streams;
  LockedStream& s = streams[setting];
  if (s.mUnit) return &s;
  // Each stream is the main unit of its own table, which its checkpoint restores with it.
  for (const LockedStream& other : streams)
    if (other.mUnit) UnitTable::Shared().Remove(other.mUnit.get());
  static constexpr uint32_t kRates[] = {44100, 48000, 88200, 96000};
  static constexpr uint32_t kFrames[] = {64, 256};
  s.mUnit = std::make_unique<FuzzedStream>();
  s.mUnit->mVerify = false;
  s.mUnit->Start(kRates[setting & 3], kFrames[(setting >> 2) & 1], setting & 8 ? 0x3 : 0x3FFFF, 0x3FFFF);
  if (!s.mUnit->RunUntilLocked(20 * 8000)) std::abort();
  s.mRestore = s.mUnit->Checkpoint();
  return &s;
}

}  // namespace

// Byte 0 picks the setting (rate, frames, channel mask), so every geometry's limits get exercised.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  LockedStream* stream = Locked((data[0] & 0x7) | (data[0] & 0x10) >> 1);
  stream->mRestore();
  FuzzedStream& unit = *stream->mUnit;
  unit.mInput = data + 1;
  unit.mSize = size - 1;
  // Until the input is used up, then long enough for what it set off (a stream error, a restart)
  // to get under way.
  for (uint32_t cycles = 0; unit.mSize != 0 && cycles < kMostCycles; cycles += kStep) unit.RunCycles(kStep);
  unit.RunCycles(kCyclesAfter);
  return 0;
}
