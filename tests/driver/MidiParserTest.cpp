#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <iomanip>
#include <sstream>
#include <string>
#include <vector>

#include "driver/MidiParser.h"

namespace {

struct Event {
  uint8_t cin, b1, b2, b3;
  bool operator==(const Event&) const = default;
};

std::string Hex(const std::vector<uint8_t>& bytes) {
  std::ostringstream out;
  for (uint8_t b : bytes) out << std::hex << std::setw(2) << std::setfill('0') << int(b) << ' ';
  return out.str();
}

std::ostream& operator<<(std::ostream& out, const Event& e) {
  return out << '{' << std::hex << int(e.cin) << ": " << int(e.b1) << ' ' << int(e.b2) << ' ' << int(e.b3) << '}';
}

// Every event the stream completes, taken after each byte as the driver does.
std::vector<Event> Parse(const std::vector<uint8_t>& stream) {
  MidiParser parser;
  InitializeMidiParser(&parser, 0);
  std::vector<Event> events;
  for (uint8_t b : stream) {
    ParseMidiByte(&parser, b);
    MidiParsedEvent e;
    while (TakeMidiEvent(&parser, &e)) events.push_back({e.mCodeIndex, e.mBytes[0], e.mBytes[1], e.mBytes[2]});
  }
  return events;
}

struct StreamCase {
  const char* what;
  std::vector<uint8_t> stream;
  std::vector<Event> events;
};

void ExpectStreams(const std::vector<StreamCase>& cases) {
  for (const StreamCase& c : cases) EXPECT_EQ(Parse(c.stream), c.events) << c.what << ": " << Hex(c.stream);
}

TEST(MidiParser, ChannelMessagesAndRunningStatus) {
  ExpectStreams({
      {"note on, then running status", {0x90, 0x3C, 0x64, 0x3E, 0x64}, {{9, 0x90, 0x3C, 0x64}, {9, 0x90, 0x3E, 0x64}}},
      {"program change runs on one data byte", {0xC0, 0x05, 0x06}, {{0xC, 0xC0, 0x05, 0}, {0xC, 0xC0, 0x06, 0}}},
      {"channel pressure", {0xD3, 0x10}, {{0xD, 0xD3, 0x10, 0}}},
      {"note off, poly pressure, control change, pitch bend",
       {0x81, 0x3C, 0x00, 0xA2, 0x3C, 0x20, 0xB3, 0x07, 0x7F, 0xE4, 0x00, 0x40},
       {{8, 0x81, 0x3C, 0}, {0xA, 0xA2, 0x3C, 0x20}, {0xB, 0xB3, 0x07, 0x7F}, {0xE, 0xE4, 0x00, 0x40}}},
      {"a status byte abandons the unfinished message", {0x90, 0x3C, 0x80, 0x3C, 0x00}, {{8, 0x80, 0x3C, 0}}},
      {"a new status replaces the running one", {0x90, 0x3C, 0x64, 0xC1, 0x07, 0x08},
       {{9, 0x90, 0x3C, 0x64}, {0xC, 0xC1, 0x07, 0}, {0xC, 0xC1, 0x08, 0}}},
  });
}

TEST(MidiParser, RealTimeBytesComeOutAtOnceAndLeaveTheMessageAlone) {
  ExpectStreams({
      {"clock inside a note on", {0x90, 0x3C, 0xF8, 0x64}, {{0xF, 0xF8, 0, 0}, {9, 0x90, 0x3C, 0x64}}},
      {"start right after the status byte", {0xB0, 0xFA, 0x07, 0x7F}, {{0xF, 0xFA, 0, 0}, {0xB, 0xB0, 0x07, 0x7F}}},
      {"running status survives a real-time byte", {0x90, 0x3C, 0x64, 0xFE, 0x3E, 0x64},
       {{9, 0x90, 0x3C, 0x64}, {0xF, 0xFE, 0, 0}, {9, 0x90, 0x3E, 0x64}}},
      {"inside a SysEx", {0xF0, 0x01, 0xFC, 0x02, 0x03, 0xF7},
       {{0xF, 0xFC, 0, 0}, {4, 0xF0, 0x01, 0x02}, {6, 0x03, 0xF7, 0}}},
      {"undefined real-time bytes and reset", {0xF9, 0xFD, 0xFF}, {{0xF, 0xF9, 0, 0}, {0xF, 0xFD, 0, 0}, {0xF, 0xFF, 0, 0}}},
      {"a real-time byte does not start running status", {0xF8, 0x3C, 0x64}, {{0xF, 0xF8, 0, 0}}},
  });
}

TEST(MidiParser, SystemCommonMessagesEndRunningStatus) {
  ExpectStreams({
      {"song position", {0xF2, 0x10, 0x20}, {{3, 0xF2, 0x10, 0x20}}},
      {"song select, then a stray data byte", {0xF3, 0x05, 0x06}, {{2, 0xF3, 0x05, 0}}},
      {"time code quarter frame", {0xF1, 0x23}, {{2, 0xF1, 0x23, 0}}},
      {"after a note on", {0x90, 0x3C, 0x64, 0xF1, 0x23, 0x3E, 0x64}, {{9, 0x90, 0x3C, 0x64}, {2, 0xF1, 0x23, 0}}},
      {"tune request alone", {0xF6}, {{5, 0xF6, 0, 0}}},
      {"tune request inside a note on drops it", {0x90, 0x3C, 0xF6, 0x64}, {{5, 0xF6, 0, 0}}},
  });
}

TEST(MidiParser, UndefinedStatusBytesAndStrayDataProduceNothing) {
  ExpectStreams({
      {"data with no status", {0x3C, 0x64, 0x7F}, {}},
      {"F4 and its data", {0xF4, 0x10, 0x20}, {}},
      {"F5 ends running status", {0x90, 0x3C, 0x64, 0xF5, 0x3E, 0x64}, {{9, 0x90, 0x3C, 0x64}}},
      {"F5 then a whole message", {0xF5, 0x90, 0x3C, 0x64}, {{9, 0x90, 0x3C, 0x64}}},
      {"a lone SysEx end", {0xF7, 0x01}, {}},
      {"F7 ends running status", {0x90, 0x3C, 0x64, 0xF7, 0x3E, 0x64}, {{9, 0x90, 0x3C, 0x64}}},
      {"data after a SysEx", {0xF0, 0xF7, 0x01, 0x02}, {{6, 0xF0, 0xF7, 0}}},
  });
}

TEST(MidiParser, SysExIsPackedInThreesAndClosedByAnyStatusByte) {
  ExpectStreams({
      {"five bytes", {0xF0, 0x01, 0x02, 0x03, 0xF7}, {{4, 0xF0, 0x01, 0x02}, {6, 0x03, 0xF7, 0}}},
      {"three bytes", {0xF0, 0x01, 0xF7}, {{7, 0xF0, 0x01, 0xF7}}},
      {"empty", {0xF0, 0xF7}, {{6, 0xF0, 0xF7, 0}}},
      {"four bytes", {0xF0, 0x01, 0x02, 0xF7}, {{4, 0xF0, 0x01, 0x02}, {5, 0xF7, 0, 0}}},
      {"closed by a note on, which then runs",
       {0xF0, 0x01, 0x02, 0x03, 0x04, 0x90, 0x3C, 0x64},
       {{4, 0xF0, 0x01, 0x02}, {7, 0x03, 0x04, 0x90}, {9, 0x90, 0x3C, 0x64}}},
      {"closed by a new SysEx", {0xF0, 0x01, 0xF0, 0x02, 0xF7}, {{7, 0xF0, 0x01, 0xF0}, {7, 0xF0, 0x02, 0xF7}}},
      {"closed by F5", {0xF0, 0x01, 0x02, 0x03, 0xF5, 0x04}, {{4, 0xF0, 0x01, 0x02}, {6, 0x03, 0xF5, 0}}},
  });
}

TEST(MidiParser, SysExClosedByTuneRequestDeliversTheCloseBeforeTheTuneRequest) {
  ExpectStreams({
      {"nothing pending", {0xF0, 0x01, 0x02, 0xF6}, {{4, 0xF0, 0x01, 0x02}, {5, 0xF6, 0, 0}, {5, 0xF6, 0, 0}}},
      {"one pending", {0xF0, 0xF6}, {{6, 0xF0, 0xF6, 0}, {5, 0xF6, 0, 0}}},
      {"two pending", {0xF0, 0x01, 0xF6}, {{7, 0xF0, 0x01, 0xF6}, {5, 0xF6, 0, 0}}},
      {"and the parser goes on idle", {0xF0, 0x01, 0xF6, 0x02, 0x90, 0x3C, 0x64},
       {{7, 0xF0, 0x01, 0xF6}, {5, 0xF6, 0, 0}, {9, 0x90, 0x3C, 0x64}}},
  });
}

// A SysEx of n data bytes is the bytes F0, data, F7 cut into threes; each but the last is CIN 4
// and the last (one, two or three bytes) is CIN 5, 6 or 7. Clock bytes in between change nothing
// but add their own events.
TEST(MidiParser, SysExOfAnyLengthComesBackWhole) {
  for (bool clocks : {false, true}) {
    for (size_t n = 0; n <= 64; ++n) {
      std::vector<uint8_t> sysEx = {0xF0};
      for (size_t i = 0; i < n; ++i) sysEx.push_back(static_cast<uint8_t>((i * 37 + 5) & 0x7F));
      sysEx.push_back(0xF7);
      std::vector<uint8_t> stream;
      for (uint8_t b : sysEx) {
        stream.push_back(b);
        if (clocks) stream.push_back(0xF8);
      }

      std::vector<uint8_t> chunked;
      size_t clockCount = 0;
      std::vector<Event> events = Parse(stream);
      for (size_t e = 0; e < events.size(); ++e) {
        const Event& ev = events[e];
        if (ev.cin == 0xF) {
          ++clockCount;
          continue;
        }
        const bool last = ev.b1 == 0xF7 || ev.b2 == 0xF7 || ev.b3 == 0xF7;
        const size_t length = ev.cin == 4 ? 3 : ev.cin - 4;
        ASSERT_TRUE(last ? ev.cin >= 5 && ev.cin <= 7 : ev.cin == 4) << "n " << n << " event " << e << ev;
        const uint8_t bytes[3] = {ev.b1, ev.b2, ev.b3};
        chunked.insert(chunked.end(), bytes, bytes + length);
        for (size_t unused = length; unused < 3; ++unused) EXPECT_EQ(bytes[unused], 0) << "n " << n << ev;
      }
      EXPECT_EQ(chunked, sysEx) << "n " << n;
      EXPECT_EQ(clockCount, clocks ? sysEx.size() : 0) << "n " << n;
    }
  }
}

TEST(MidiParser, EventsNotTakenAreDroppedByTheNextByte) {
  MidiParser parser;
  InitializeMidiParser(&parser, 3);
  MidiParsedEvent e;
  EXPECT_FALSE(TakeMidiEvent(&parser, &e));
  for (uint8_t b : {0xF0, 0x01, 0xF6}) ParseMidiByte(&parser, b);
  ASSERT_TRUE(TakeMidiEvent(&parser, &e));
  EXPECT_EQ(e.mCodeIndex, 7);
  ParseMidiByte(&parser, 0xF8);  // the tune request waiting behind the close is gone
  ASSERT_TRUE(TakeMidiEvent(&parser, &e));
  EXPECT_EQ((Event{e.mCodeIndex, e.mBytes[0], e.mBytes[1], e.mBytes[2]}), (Event{0xF, 0xF8, 0, 0}));
  EXPECT_FALSE(TakeMidiEvent(&parser, &e));
  EXPECT_EQ(parser.mCable, 3);
}

// What the client port's sink receives.
struct Delivered {
  uint32_t cable;
  KernelMidiEvent event;
};

struct Sink {
  std::vector<Delivered> received;
  static VOID Receive(PVOID context, ULONG cable, const KernelMidiEvent* event) {
    static_cast<Sink*>(context)->received.push_back({cable, *event});
  }
};

KernelMidiEvent Message(uint32_t cable, uint8_t b1, uint8_t b2, uint8_t b3) {
  KernelMidiEvent m;
  std::memset(&m, 0, sizeof m);
  m.mCableKind = static_cast<UCHAR>(cable << 4);
  m.mBytes[0] = b1;
  m.mBytes[1] = b2;
  m.mBytes[2] = b3;
  return m;
}

class MidiCableParsersTest : public ::testing::Test {
 protected:
  MidiCableParsersTest() { InitializeMidiCableParsers(&mParsers); }

  void Unpack(std::initializer_list<uint32_t> packets) {
    for (uint32_t p : packets) UnpackMidiWord(&mParsers, p, &Sink::Receive, &mSink);
  }

  // Compares whole 16-byte records: bytes that carry nothing must be zero.
  void ExpectReceived(const std::vector<Delivered>& expected) {
    ASSERT_EQ(mSink.received.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
      EXPECT_EQ(mSink.received[i].cable, expected[i].cable) << i;
      EXPECT_EQ(std::memcmp(&mSink.received[i].event, &expected[i].event, sizeof(KernelMidiEvent)), 0) << i;
    }
  }

  MidiCableParsers mParsers;
  Sink mSink;
};

TEST_F(MidiCableParsersTest, EachParserKnowsItsCableAndStartsIdle) {
  for (ULONG cable = 0; cable < kMidiParserCables; ++cable) {
    MidiParser expected;
    std::memset(&expected, 0, sizeof expected);
    expected.mCable = static_cast<LONG>(cable);
    EXPECT_EQ(std::memcmp(&mParsers.mParsers[cable], &expected, sizeof expected), 0) << cable;
  }
}

TEST_F(MidiCableParsersTest, PacketsFeedAsManyBytesAsTheirCodeIndexCarries) {
  Unpack({
      0x20903C64,  // CIN 0 feeds nothing
      0x21903C64,  // CIN 1 feeds nothing
      0x22903C64,  // CIN 2 feeds 90 3C
      0x25640000,  // CIN 5 feeds 64: the note on is whole
      0x2FF8AABB,  // CIN 15 feeds F8 alone
      0x2C3E7F7F,  // CIN 12 feeds 3E 7F: running status
  });
  ExpectReceived({{2, Message(2, 0x90, 0x3C, 0x64)}, {2, Message(2, 0xF8, 0, 0)}, {2, Message(2, 0x90, 0x3E, 0x7F)}});
}

TEST_F(MidiCableParsersTest, CablesAreParsedApart) {
  Unpack({0x02903C00, 0x12B00700, 0x05640000, 0x157F0000});
  ExpectReceived({{0, Message(0, 0x90, 0x3C, 0x64)}, {1, Message(1, 0xB0, 0x07, 0x7F)}});
}

TEST_F(MidiCableParsersTest, SysExFromTheUnitArrivesInTheSameChunks) {
  Unpack({0x64F00102, 0x64030405, 0x6606F700});
  ExpectReceived(
      {{6, Message(6, 0xF0, 0x01, 0x02)}, {6, Message(6, 0x03, 0x04, 0x05)}, {6, Message(6, 0x06, 0xF7, 0)}});
}

TEST_F(MidiCableParsersTest, TuneRequestClosingASysExReachesTheClientAfterTheClose) {
  Unpack({0x74F00102, 0x74030405, 0x75F60000});
  ExpectReceived({{7, Message(7, 0xF0, 0x01, 0x02)}, {7, Message(7, 0x03, 0x04, 0x05)}, {7, Message(7, 0xF6, 0, 0)},
                  {7, Message(7, 0xF6, 0, 0)}});
}

TEST_F(MidiCableParsersTest, CablesOfEightAndAboveAreDroppedAndTouchNoParser) {
  MidiCableParsers before;
  std::memcpy(&before, &mParsers, sizeof before);
  Unpack({0x89903C64, 0xC9903C64, 0xFFF80000, 0xF4F00102});
  for (UCHAR b : {0x90, 0x3C, 0x64}) {
    PackMidiEvent(&mParsers, 8, b, &Sink::Receive, &mSink);
    PackMidiEvent(&mParsers, 0xFFFFFFFF, b, &Sink::Receive, &mSink);
  }
  EXPECT_TRUE(mSink.received.empty());
  EXPECT_EQ(std::memcmp(&before, &mParsers, sizeof before), 0);
}

}  // namespace
