#include "sim/units/MidiPacketizer.h"

namespace sim {

namespace {

// Data bytes a status needs; -1 for statuses that carry none of their own (realtime, F4, F5).
int DataBytes(uint8_t status) {
  switch (status & 0xF0) {
    case 0xC0:
    case 0xD0: return 1;
    case 0xF0: break;
    default: return 2;
  }
  switch (status) {
    case 0xF1:
    case 0xF3: return 1;
    case 0xF2: return 2;
    case 0xF6: return 0;
    default: return -1;
  }
}

uint8_t CinOf(uint8_t status) {
  switch (status) {
    case 0xF1:
    case 0xF3: return 0x2;
    case 0xF2: return 0x3;
    case 0xF6: return 0x5;
    default: return static_cast<uint8_t>(status >> 4);
  }
}

}  // namespace

void MidiPacketizer::Emit(uint8_t cin, uint8_t b1, uint8_t b2, uint8_t b3, std::vector<uint32_t>& out) const {
  out.push_back(static_cast<uint32_t>(cable_) << 28 | static_cast<uint32_t>(cin) << 24 | uint32_t{b1} << 16 |
                uint32_t{b2} << 8 | b3);
}

void MidiPacketizer::EndSysex(std::vector<uint32_t>& out) {
  uint8_t* s = sysexBytes_;
  Emit(static_cast<uint8_t>(0x4 + sysexHave_), s[0], sysexHave_ > 1 ? s[1] : 0, sysexHave_ > 2 ? s[2] : 0, out);
  sysex_ = false;
  sysexHave_ = 0;
}

void MidiPacketizer::PushSysex(uint8_t byte, std::vector<uint32_t>& out) {
  if (sysexHave_ == 3) {
    Emit(0x4, sysexBytes_[0], sysexBytes_[1], sysexBytes_[2], out);
    sysexHave_ = 0;
  }
  sysexBytes_[sysexHave_++] = byte;
}

void MidiPacketizer::Feed(uint8_t byte, std::vector<uint32_t>& out) {
  if (byte >= 0xF8) {
    Emit(0xF, byte, 0, 0, out);
    return;
  }
  if (sysex_) {
    if (byte < 0x80 || byte == 0xF7) {
      PushSysex(byte, out);
      if (byte == 0xF7) EndSysex(out);
      return;
    }
    // A status byte cuts the SysEx short: what was gathered goes out as its own ending.
    PushSysex(0xF7, out);
    EndSysex(out);
  }
  if (byte == 0xF0) {
    sysex_ = true;
    sysexBytes_[0] = byte;
    sysexHave_ = 1;
    status_ = 0;
    return;
  }
  if (byte >= 0x80) {
    int need = DataBytes(byte);
    have_ = 0;
    status_ = need < 0 ? 0 : byte;
    if (need == 0) {
      Emit(CinOf(byte), byte, 0, 0, out);
      status_ = 0;
    }
    return;
  }
  if (status_ == 0) return;  // data with no status to belong to
  data_[have_++] = byte;
  if (have_ < DataBytes(status_)) return;
  Emit(CinOf(status_), status_, data_[0], have_ > 1 ? data_[1] : 0, out);
  have_ = 0;
  if (status_ >= 0xF0) status_ = 0;  // system common messages set no running status
}

int MidiPacketizer::ByteCount(uint32_t packet) {
  switch (packet >> 24 & 0xF) {
    case 0x2:
    case 0x6:
    case 0xC:
    case 0xD: return 2;
    case 0x3:
    case 0x4:
    case 0x7:
    case 0x8:
    case 0x9:
    case 0xA:
    case 0xB:
    case 0xE: return 3;
    case 0x5:
    case 0xF: return 1;
    default: return 0;
  }
}

}  // namespace sim
