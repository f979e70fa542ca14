// Host MIDI to the unit: MIDIEventPacket after MIDIEventPacket on any cable through SendMIDIOut,
// with the bus completing the block writes inline, holding them, failing them as a bus reset or a
// departed unit does, or refusing them. Unless a write was refused, what reaches the unit's MIDI-out
// window is the events sent to its ports, in order, none lost or doubled except those the full
// ring turned away (counted as dropped).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <vector>

#include "tests/unit/UnitDouble.h"
#include "unit/RegisterMap.h"

namespace {

constexpr uint32_t kSurfaceCable = 4;

// A unit that notes the MIDI-out blocks the bus delivers: those of writes that complete with
// success (inline or held and released), not those that fail.
class MidiOutUnit : public UnitDouble {
 public:
  std::vector<uint8_t> mDelivered;

 protected:
  int32_t WriteBlockAsync(PlatformHandle handle, uint32_t offset, const void* data, uint32_t length,
                          WriteCompletion completion, void* context) override {
    if (offset != QX5310_MIDI_OUT_WINDOW || length == 0 || length > 64 || length % 4 != 0) std::abort();
    if (mCompletions == Completions::Inline || mCompletions == Completions::Held) {
      const auto* bytes = static_cast<const uint8_t*>(data);
      mDelivered.insert(mDelivered.end(), bytes, bytes + length);
    }
    return UnitDouble::WriteBlockAsync(handle, offset, data, length, completion, context);
  }
};

// A main unit and an expansion unit, plugged in once and put back before every input.
struct Units {
  MidiOutUnit mMain;
  MidiOutUnit mExpansion;
  std::function<void()> mRestoreMain;
  std::function<void()> mRestoreExpansion;

  Units() {
    mMain.LookLikeMainUnit();
    mExpansion.LookLikeExpansionUnit(0x1234);
    if (mMain.HandlePlugIn() != 0 || mExpansion.HandlePlugIn() != 0) std::abort();
    mMain.ForgetWrites();
    mExpansion.ForgetWrites();
    mRestoreMain = mMain.Checkpoint(UnitDouble::StreamBuffers::Untouched);
    mRestoreExpansion = mExpansion.Checkpoint(UnitDouble::StreamBuffers::Untouched);
  }
};

}  // namespace

// Byte 0: bit 0 picks the expansion unit. Then operations by tag byte: 0-191 sends the event of
// the tag's next four bytes (big-endian, as the packet's value); 192-223 releases held
// completions (tag & 31, 0 for all); 224-239 switches the bus to inline (even) or held (odd)
// completions; 240-255 to refused (even) writes or writes that fail as at a bus reset (odd).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  static Units* units = new Units;
  units->mRestoreMain();
  units->mRestoreExpansion();
  MidiOutUnit& unit = data[0] & 1 ? units->mExpansion : units->mMain;
  unit.mDelivered.clear();
  std::vector<uint8_t> expected;
  bool noneRefused = true;
  size_t i = 1;
  while (i < size) {
    const uint8_t tag = data[i++];
    if (tag < 192) {
      if (size - i < 4) break;
      const uint32_t event = uint32_t{data[i]} << 24 | uint32_t{data[i + 1]} << 16 | uint32_t{data[i + 2]} << 8 | data[i + 3];
      i += 4;
      const uint32_t dropped = unit.MidiOutDropped();
      unit.SendMIDIOut(event);
      if (event >> 28 != kSurfaceCable && unit.MidiOutDropped() == dropped) {
        expected.insert(expected.end(), {static_cast<uint8_t>(event >> 24), static_cast<uint8_t>(event >> 16),
                                         static_cast<uint8_t>(event >> 8), static_cast<uint8_t>(event)});
      }
    } else if (tag < 224) {
      const uint32_t count = tag & 31;
      for (uint32_t n = 0; (count == 0 || n < count) && unit.ReleaseOne(); ++n) {
      }
    } else if (tag < 240) {
      unit.mCompletions = tag & 1 ? UnitDouble::Completions::Held : UnitDouble::Completions::Inline;
    } else {
      unit.mCompletions = tag & 1 ? UnitDouble::Completions::Failed : UnitDouble::Completions::Refused;
      if ((tag & 1) == 0) noneRefused = false;
    }
  }
  // Whatever is still queued goes out once the bus completes writes again.
  unit.mCompletions = UnitDouble::Completions::Inline;
  unit.ReleaseAll();
  unit.KickMIDIOutWriter();
  if (noneRefused && unit.mDelivered != expected) std::abort();
  return 0;
}
