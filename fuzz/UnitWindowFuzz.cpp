// Writes into the host windows: the first byte picks the window (bit 0: async status, else MIDI
// receive) and the unit (bit 1: an expansion unit, else the main unit), the next four the byte
// count the write reports, the rest lands in the window.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "tests/unit/StreamDouble.h"

namespace {

// Both kinds of unit, plugged in once and put back before every input.
struct Units {
  StreamDouble mMain;
  StreamDouble mExpansion;
  std::function<void()> mRestoreMain;
  std::function<void()> mRestoreExpansion;

  Units() {
    mExpansion.LookLikeExpansionUnit(0x1234);
    if (mMain.HandlePlugIn() != 0 || mExpansion.HandlePlugIn() != 0) std::abort();
    mRestoreMain = mMain.Checkpoint(UnitDouble::StreamBuffers::Untouched);
    mRestoreExpansion = mExpansion.Checkpoint(UnitDouble::StreamBuffers::Untouched);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  static Units* units = new Units;
  units->mRestoreMain();
  units->mRestoreExpansion();
  StreamDouble* unit = data[0] & 2 ? &units->mExpansion : &units->mMain;
  uint32_t count;
  std::memcpy(&count, data + 1, sizeof count);
  const bool async = data[0] & 1;
  uint8_t* window = async ? unit->AsyncWindow() : unit->MidiWindow();
  const size_t capacity = async ? QX531Device::kAsyncReceiveBytes : QX531Device::kMidiReceiveBytes;
  const size_t n = size - 5 < capacity ? size - 5 : capacity;
  std::memcpy(window, data + 5, n);
  if (async) {
    unit->HandleAsyncReceive(count);
  } else {
    unit->HandleMIDIReceive(count);
  }
  return 0;
}
