#include "unit/MIDIEventPacket.h"

namespace {

constexpr MIDIEventPacket Pack(uint32_t cable, uint32_t cin, uint8_t b1, uint8_t b2, uint8_t b3) {
  return (cable & 0xF) << 28 | (cin & 0xF) << 24 | static_cast<uint32_t>(b1) << 16 |
         static_cast<uint32_t>(b2) << 8 | b3;
}

}  // namespace

MIDIEventBuild BuildMIDIEventPacket(uint32_t cable, uint8_t b1, uint8_t b2, uint8_t b3) {
  const uint32_t high = b1 >> 4;
  if (b1 < 0x80) {
    if (b2 & 0x80) return {Pack(cable, 6, b1, b2, 0), nullptr};
    if (b3 & 0x80) return {Pack(cable, 7, b1, b2, b3), nullptr};
    return {Pack(cable, 4, b1, b2, b3), nullptr};
  }
  switch (high) {
    case 0xC:
    case 0xD: return {Pack(cable, high, b1, b2, 0), nullptr};
    case 0xF: break;
    default: return {Pack(cable, high, b1, b2, b3), nullptr};
  }
  switch (b1) {
    case 0xF0:
      if (b2 == 0xF7) return {Pack(cable, 6, b1, b2, 0), nullptr};
      if (b2 & 0x80) return {Pack(cable, 7, b1, b2, b3), "ConstructMIDIEvent: Bad 0xF/0x0 byte2\n"};
      // Not a whole short SysEx: the first chunk of a longer one.
      return {Pack(cable, b3 == 0xF7 ? 7 : 4, b1, b2, b3), nullptr};
    case 0xF1:
    case 0xF3: return {Pack(cable, 2, b1, b2, 0), nullptr};
    case 0xF2: return {Pack(cable, 3, b1, b2, b3), nullptr};
    case 0xF4:
    case 0xF5: return {0, nullptr};
    case 0xF6:
    case 0xF7: return {Pack(cable, 5, b1, 0, 0), nullptr};
    default: return {Pack(cable, 0xF, b1, 0, 0), nullptr};
  }
}
