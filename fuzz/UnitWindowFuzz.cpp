// Writes into the host windows: the first byte picks the window (bit 0: async status, else MIDI
// receive), the next four the byte count the write reports, the rest lands in the window.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "tests/unit/StreamDouble.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  static StreamDouble* unit = [] {
    auto* u = new StreamDouble;
    u->HandlePlugIn();
    return u;
  }();
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
  unit->mMidiIn.clear();
  return 0;
}
