#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/unit/Requests.h"
#include "tests/unit/StreamDouble.h"
#include "unit/MIDIEventPacket.h"

namespace {

std::string ReadLog(QX531Device& unit) {
  const Answer answer = Ask(unit, 0, {}, 4096);
  return std::string(answer.mBuffer.begin(), answer.mBuffer.begin() + answer.mBytes);
}

struct EventCase {
  uint32_t cable;
  uint8_t b1, b2, b3;
  uint32_t packet;
  const char* log;
};

TEST(MIDIEvent, ConstructMIDIEventBuildsTheUsbMidiPacket) {
  const EventCase cases[] = {
      {4, 0x90, 0x3C, 0x64, 0x49903C64, ""},                    // note on
      {0, 0xC5, 0x07, 0x55, 0x0CC50700, ""},                    // program change drops byte 3
      {1, 0xD2, 0x40, 0x7F, 0x1DD24000, ""},                    // channel pressure
      {3, 0xE1, 0x00, 0x40, 0x3EE10040, ""},                    // pitch bend
      {2, 0xF8, 0x11, 0x22, 0x2FF80000, ""},                    // clock
      {5, 0xF4, 0x01, 0x02, 0, ""},                             // undefined: no event
      {6, 0xF5, 0x01, 0x02, 0, ""},
      {0, 0xF1, 0x23, 0x45, 0x02F12300, ""},                    // time code quarter frame
      {0, 0xF3, 0x05, 0x00, 0x02F30500, ""},                    // song select
      {0, 0xF2, 0x10, 0x20, 0x03F21020, ""},                    // song position
      {0, 0xF6, 0x00, 0x00, 0x05F60000, ""},                    // tune request
      {7, 0xF7, 0x00, 0x00, 0x75F70000, ""},                    // lone SysEx end
      {0, 0xF0, 0x7E, 0xF7, 0x07F07EF7, ""},                    // whole short SysEx
      {0, 0xF0, 0x00, 0x20, 0x04F00020, ""},                    // first chunk of a longer SysEx
      {0, 0xF0, 0xF7, 0x00, 0x06F0F700, ""},                    // empty SysEx
      {0, 0xF0, 0x90, 0xF7, 0x07F090F7, "ConstructMIDIEvent: Bad 0xF/0x0 byte2\n"},
      {4, 0x12, 0x34, 0x56, 0x44123456, ""},                    // SysEx continues
      {4, 0x12, 0x34, 0xF7, 0x471234F7, ""},                    // SysEx ends with three bytes
      {4, 0x12, 0xF7, 0x00, 0x4612F700, ""},                    // SysEx ends with two bytes
      {0x14, 0x80, 0x40, 0x00, 0x48804000, ""},                 // cable kept to 4 bits
  };
  StreamDouble unit;
  for (const EventCase& c : cases) {
    uint32_t packet = 0xFFFFFFFF;
    unit.ConstructMIDIEvent(c.cable, c.b1, c.b2, c.b3, &packet);
    EXPECT_EQ(packet, c.packet) << std::hex << int(c.b1) << " " << int(c.b2) << " " << int(c.b3);
    EXPECT_EQ(ReadLog(unit), c.log) << std::hex << int(c.b1);
  }
}

TEST(MIDIEvent, ReceiveDeliversWholeRecordsOnlyAndNeverReadsPastTheWindow) {
  struct Case {
    uint32_t count;
    std::size_t delivered;
  };
  for (const Case c : {Case{0, 0}, Case{12, 0}, Case{16, 2}, Case{4096, 512}, Case{8192, 512}, Case{0xFFFFFFF8, 512}}) {
    StreamDouble unit;
    for (uint32_t r = 0; r < 512; ++r) {
      const uint32_t event = 0x09900000u | r;
      std::memcpy(unit.MidiWindow() + 8 * r, &event, 4);
    }
    unit.HandleMIDIReceive(c.count);
    ASSERT_EQ(unit.mMidiIn.size(), c.delivered) << c.count;
    for (std::size_t r = 0; r < c.delivered; ++r) EXPECT_EQ(unit.mMidiIn[r], 0x09900000u | r);
  }
}

TEST(MIDIEvent, SurfaceEventsReachTheHostOnCableFour) {
  StreamDouble unit;
  unit.SendSurfaceMIDIEvent(0xB0, 0x10, 0x41);
  unit.SendSurfaceMIDIEvent(0xF4, 0x00, 0x00);
  ASSERT_EQ(unit.mMidiIn.size(), 1u) << "no event is not delivered";
  EXPECT_EQ(unit.mMidiIn[0], 0x4BB01041u);
  EXPECT_EQ(MIDIEventCable(unit.mMidiIn[0]), kSurfaceCable);
}

}  // namespace
