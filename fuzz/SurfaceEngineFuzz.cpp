#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "tests/unit/UnitDouble.h"
#include "unit/LcdTextBlock.h"

namespace {

constexpr uint8_t kModes[] = {1, 2, 4, 8, 16};

// A unit whose status window the input writes and whose surface callbacks are checked.
class FuzzedUnit : public UnitDouble {
 public:
  void Status(const uint8_t* records, uint32_t length) {
    std::memcpy(mAsyncReceiveBuffer, records, length);
    HandleAsyncReceive(length);
  }
  void SetLamp(uint32_t lampId, uint32_t state) override {
    if (lampId > kLastLampId) std::abort();
    UnitDouble::SetLamp(lampId, state);
  }
  void SetFaderMotor(uint32_t fader, uint32_t position) override {
    if (fader > kLastFader || position > 1023) std::abort();
    UnitDouble::SetFaderMotor(fader, position);
  }
  void PublishLcdBlock(const LcdTextBlock* block) override {
    volatile uint8_t sum = 0;
    for (const LcdTextBlock::Cell& cell : block->mCells) sum = static_cast<uint8_t>(sum + cell.mCharacter);
    UnitDouble::PublishLcdBlock(block);
  }
};

// A main unit and an expansion unit, plugged in once and put back before every input.
struct Units {
  FuzzedUnit mMain;
  FuzzedUnit mExpansion;
  std::function<void()> mRestoreMain;
  std::function<void()> mRestoreExpansion;

  Units() {
    mMain.LookLikeMainUnit();
    mExpansion.LookLikeExpansionUnit(0x1234);
    if (mMain.HandlePlugIn() != 0 || mExpansion.HandlePlugIn() != 0) std::abort();
    mRestoreMain = mMain.Checkpoint(UnitDouble::StreamBuffers::Untouched);
    mRestoreExpansion = mExpansion.Checkpoint(UnitDouble::StreamBuffers::Untouched);
  }
};

}  // namespace

// Byte 0: protocol (low 3 bits) and unit kind (bit 3). Then operations: an even tag byte sends
// one cable-4 packet (code index number in its high nibble, then three MIDI bytes); an odd tag
// byte writes (tag >> 1) status records of four bytes into the unit's status window.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  static Units* units = new Units;
  units->mRestoreMain();
  units->mRestoreExpansion();
  FuzzedUnit& unit = data[0] & 8 ? units->mExpansion : units->mMain;
  unit.Surface().mEmulationMode = kModes[(data[0] & 7) % 5];
  size_t i = 1;
  while (i < size) {
    const uint8_t tag = data[i++];
    if ((tag & 1) == 0) {
      if (size - i < 3) break;
      unit.SendMIDIOut(0x40000000u | static_cast<uint32_t>(tag >> 4) << 24 | uint32_t{data[i]} << 16 |
                       uint32_t{data[i + 1]} << 8 | data[i + 2]);
      i += 3;
    } else {
      const size_t length = std::min<size_t>({4u * (tag >> 1), size - i, QX531Device::kAsyncReceiveBytes}) & ~size_t{3};
      unit.Status(data + i, static_cast<uint32_t>(length));
      i += length;
    }
  }
  return 0;
}
