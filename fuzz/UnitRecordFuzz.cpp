// Record-slot contents through the record path: a locked stream whose next record list carries the
// input instead of the unit's packets, slot after slot, each slot at most its 1220 bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "tests/unit/StreamDouble.h"

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  FuzzedStream unit;
  unit.mVerify = false;
  // The first byte picks the setting, so every geometry's limits get exercised.
  static constexpr uint32_t kRates[] = {44100, 48000, 88200, 96000};
  static constexpr uint32_t kFrames[] = {64, 256};
  unit.Start(kRates[data[0] & 3], kFrames[(data[0] >> 2) & 1], data[0] & 0x10 ? 0x3 : 0x3FFFF, 0x3FFFF);
  if (!unit.RunUntilLocked(20 * 8000)) return 0;
  unit.mInput = data + 1;
  unit.mSize = size - 1;
  unit.RunCycles(8000 / 4);
  return 0;
}
