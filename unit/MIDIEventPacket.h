#pragma once

#include <cstdint>

// A USB-MIDI event packet as a 32-bit value: (cable << 4 | code index number) in bits 24-31, then
// MIDI bytes 1, 2 and 3 in bits 16-23, 8-15 and 0-7. Unused bytes are 0; the value 0 is no event.
using MIDIEventPacket = uint32_t;

inline constexpr uint32_t kSurfaceCable = 4;

constexpr uint32_t MIDIEventCable(MIDIEventPacket packet) { return packet >> 28; }
constexpr uint32_t MIDIEventCodeIndex(MIDIEventPacket packet) { return (packet >> 24) & 0xF; }

struct MIDIEventBuild {
  MIDIEventPacket mPacket;
  const char* mComplaint;  // a log line for a malformed short SysEx, else null
};

// The packet for one message (or SysEx chunk) whose first byte is byte1, on a cable 0-15.
MIDIEventBuild BuildMIDIEventPacket(uint32_t cable, uint8_t byte1, uint8_t byte2, uint8_t byte3);
