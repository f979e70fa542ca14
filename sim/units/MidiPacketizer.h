// Turns the MIDI bytes arriving at one port into 32-bit event packets (cable << 28, code index
// number << 24, then up to three MIDI bytes), as the unit reports them; keeps running status and
// splits SysEx into three-byte pieces.
#pragma once

#include <cstdint>
#include <vector>

namespace sim {

class MidiPacketizer {
 public:
  explicit MidiPacketizer(uint8_t cable = 0) : cable_(cable & 15) {}

  void Feed(uint8_t byte, std::vector<uint32_t>& out);
  // How many MIDI bytes a packet carries, by its code index number.
  static int ByteCount(uint32_t packet);

 private:
  void Emit(uint8_t cin, uint8_t b1, uint8_t b2, uint8_t b3, std::vector<uint32_t>& out) const;
  void PushSysex(uint8_t byte, std::vector<uint32_t>& out);
  void EndSysex(std::vector<uint32_t>& out);

  uint8_t cable_;
  uint8_t status_ = 0;  // running status, 0 when none
  uint8_t data_[2] = {};
  int have_ = 0;
  bool sysex_ = false;
  uint8_t sysexBytes_[3] = {};
  int sysexHave_ = 0;
};

}  // namespace sim
