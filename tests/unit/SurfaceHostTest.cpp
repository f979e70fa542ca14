#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "tests/unit/Requests.h"
#include "tests/unit/SurfaceRecorder.h"
#include "tests/unit/UnitDouble.h"
#include "unit/RegisterMap.h"

namespace {

constexpr uint8_t kN = kProtocolNative;
constexpr uint8_t kM = kProtocolMackie;
constexpr uint8_t kH = kProtocolHui;
constexpr uint8_t kLe = kProtocolCubaseLe;
constexpr uint8_t kSx = kProtocolCubaseSx;
constexpr uint8_t kId = SurfaceEmulator::kVendorId;

std::vector<uint8_t> SysEx(std::vector<uint8_t> head, const std::string& text = "", bool end = true) {
  head.insert(head.end(), text.begin(), text.end());
  if (end) head.push_back(0xF7);
  return head;
}

TEST(SurfaceHost, NotesLightTheLampsOfTheirProtocol) {
  struct Case {
    uint8_t mode;
    uint8_t note;
    uint32_t lamp;
    bool lights;
  };
  const Case cases[] = {
      {kM, 94, 3, true},  {kLe, 94, 3, true},  {kSx, 94, 3, true}, {kM, 42, 87, true}, {kLe, 42, 87, false},
      {kM, 0, 50, true},  {kSx, 31, 65, true}, {kM, 101, 8, true}, {kSx, 101, 8, false},
  };
  for (const Case& c : cases) {
    SurfaceRecorder r(c.mode);
    r.Host(9, 0x90, c.note, 127);
    EXPECT_EQ(r.mSurface.LampImage(c.lamp), c.lights ? 127 : 0) << ProtocolName(c.mode) << " note " << int{c.note};
    r.Host(9, 0x90, c.note, 0);
    EXPECT_EQ(r.mSurface.LampImage(c.lamp), 0);
  }
}

TEST(SurfaceHost, LampImagesArePushedInTheirOrderWithTheAlwaysOffLamps) {
  SurfaceRecorder r(kM);
  r.Host(9, 0x90, 94, 127);
  ASSERT_EQ(r.mLamps.size(), 81u);
  EXPECT_EQ(r.mLamps.front(), (std::pair<uint32_t, uint32_t>{3, 127}));
  EXPECT_EQ(r.mLamps.back(), (std::pair<uint32_t, uint32_t>{86, 0}));
  r.mLamps.clear();
  r.Host(9, 0x91, 94, 0);
  r.Host(11, 0xB0, 7, 7);
  EXPECT_TRUE(r.mLamps.empty()) << "a note on another channel pushes nothing";
  EXPECT_EQ(r.mSurface.LampImage(3), 127);
}

TEST(SurfaceHost, HuiAnswersItsPingAndLightsZonePorts) {
  SurfaceRecorder r(kH);
  r.Host(9, 0x90, 0, 0);
  EXPECT_EQ(r.Take(), (Msgs{NoteOn(0, 0x7F)}));
  r.Host(11, 0xB0, 0x0C, 14);
  r.Host(11, 0xB0, 0x2C, 0x44);
  EXPECT_EQ(r.mSurface.LampImage(3), 127);
  r.Host(11, 0xB0, 0x2C, 0x04);
  EXPECT_EQ(r.mSurface.LampImage(3), 0);
  r.Host(11, 0xB0, 0x0C, 13);
  r.Host(11, 0xB0, 0x2C, 0x46);
  EXPECT_EQ(r.mSurface.LampImage(8), 127) << "zone 13 port 6 is the second pair of lamp 8";
  r.Host(11, 0xB0, 0x0C, 127);
  r.Host(11, 0xB0, 0x2C, 0x4F);  // a zone and port with no lamp
  EXPECT_EQ(r.mLamps.size() % 81, 0u);
}

TEST(SurfaceHost, HostMessagesMoveTheMotorFaders) {
  struct Case {
    std::string name;
    uint8_t mode;
    std::vector<std::array<uint8_t, 4>> packets;  // CIN, status, data 1, data 2
    std::vector<std::pair<uint32_t, uint32_t>> moves;
  };
  const std::vector<Case> cases = {
      {"Mackie pitch bend", kM, {{14, 0xE3, 0x50, 0x40}}, {{3, 0x40 << 3 | 5}}},
      {"Cubase master fader", kSx, {{14, 0xE8, 0x70, 0x7F}}, {{8, 1023}}},
      {"pitch bend on channel 10", kM, {{14, 0xE9, 0x70, 0x7F}}, {}},
      {"native 75 then 91", kN, {{11, 0xBF, 75, 0x55}, {11, 0xBF, 91, 0x30}}, {{8, 0x55 << 3 | 3}}},
      {"native fader 1 pair", kN, {{11, 0xBF, 79, 0x7F}, {11, 0xBF, 95, 0x70}}, {{0, 1023}}},
      {"native on channel 1", kN, {{11, 0xB0, 75, 0x55}, {11, 0xB0, 91, 0x30}}, {}},
      {"HUI fader 2", kH, {{11, 0xB0, 2, 0x40}, {11, 0xB0, 0x22, 0x60}}, {{2, 0x40 << 3 | 6}}},
      {"HUI on channel 2", kH, {{11, 0xB1, 2, 0x40}, {11, 0xB1, 0x22, 0x60}}, {}},
  };
  for (const Case& c : cases) {
    SurfaceRecorder r(c.mode);
    for (const auto& p : c.packets) r.Host(p[0], p[1], p[2], p[3]);
    EXPECT_EQ(r.mFaderMoves, c.moves) << c.name;
  }
}

TEST(SurfaceHost, DisplayTextFillsTheCellsOfEachProtocol) {
  struct Case {
    std::string name;
    uint8_t mode;
    std::vector<uint8_t> message;
    std::size_t firstCell;
    std::string cells;
  };
  const std::vector<Case> cases = {
      {"Mackie from 50 skips position 55", kM, SysEx({0xF0, 0, 0, 0x66, 0x14, 0x12, 50}, "ABCDEFGHIJ"), 50,
       "ABCDEGHIJ"},
      {"Mackie at 0", kM, SysEx({0xF0, 0, 0, 0x66, 0x14, 0x12, 0}, "Hello"), 0, "Hello"},
      {"HUI zone 4 on the second line", kH, SysEx({0xF0, 0, 0, 0x66, 5, 0, 0x12, 4}, "0123456789"), 55,
       "0123456789"},
      {"HUI zones 0 and 7", kH, SysEx({0xF0, 0, 0, 0x66, 5, 0, 0x12, 0, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h',
                                       'i', 'j', 7}, "klmnopqrst"), 85, "klmnopqrst"},
      {"native text", kN, SysEx({0xF0, kId, 0, 0x12, 5, 56}, "Line2"), 55, "Line2"},
  };
  for (const Case& c : cases) {
    SurfaceRecorder r(c.mode);
    r.HostSysEx(c.message);
    EXPECT_EQ(r.Text(c.firstCell, c.cells.size()), c.cells) << c.name;
    EXPECT_EQ(r.mPublished, 1) << c.name;
  }
}

TEST(SurfaceHost, DisplayWritesNeverLeaveTheBlockOrWrapAround) {
  SurfaceRecorder r(kN);
  r.HostSysEx(SysEx({0xF0, kId, 0, 0x12, 5, 100}, std::string(300, 'x')));
  EXPECT_EQ(r.Text(0, 3), "   ") << "positions past 110 are dropped, not wrapped";
  EXPECT_EQ(r.Text(99, 11), "xxxxxxxxxxx");
  SurfaceRecorder h(kH);
  h.HostSysEx(SysEx({0xF0, 0, 0, 0x66, 5, 0, 0x12, 2}, "abcdefghij" "\x09" "zzz"));
  EXPECT_EQ(h.Text(20, 10), "abcdefghij");
  EXPECT_EQ(h.Text(30, 3), "   ") << "a zone byte above 7 ends the message";
  EXPECT_EQ(h.mPublished, 0);
}

TEST(SurfaceHost, VendorNibbleTextFillsWholeCells) {
  SurfaceRecorder r(kN);
  r.HostSysEx({0xF0, kId, 0, 0x12, 24, 54, 0, 0, 4, 1, 0, 0, 4, 2, 0, 0, 4, 3, 0xF7});
  EXPECT_EQ(r.Text(54, 2), "AC") << "position 55 owns no cell";
  EXPECT_EQ(r.mPublished, 1);
}

TEST(SurfaceHost, VendorTextStartingAt127MakesTheUnitActive) {
  SurfaceRecorder r(kN);
  r.HostSysEx(SysEx({0xF0, kId, 0, 0x12, 5, 127}, "Hi"));
  EXPECT_EQ(r.mModeCommands, (std::vector<std::pair<uint32_t, uint32_t>>{{4, 2}}));
  EXPECT_EQ(r.Text(0, 2), "Hi");
}

TEST(SurfaceHost, VendorCommandsSetLampsFadersAndReports) {
  struct Case {
    std::string name;
    std::vector<uint8_t> body;  // command and data bytes
    uint32_t lamp;
    uint8_t image;
  };
  const std::vector<Case> cases = {
      {"command 1 Play", {1, 22, 1}, 3, 1},       {"command 2 mute 8", {2, 7, 5}, 49, 1},
      {"command 3 select 1", {3, 0, 1}, 58, 1},   {"command 14 lamp 8", {14, 124, 1}, 8, 1},
      {"command 9 one byte", {9, 1}, 10, 1},      {"command 16 lamp 2", {16, 14, 1}, 2, 1},
      {"command 17 Aux 8", {17, 25, 1}, 114, 1},  {"command 19 solo 3", {19, 2, 1}, 36, 1},
      {"two-byte command short of d2", {19, 2}, 36, 0},
      {"ten bytes run", {19, 2, 1, 0, 0, 0, 0, 0, 0, 0}, 36, 1},
      {"an eleventh byte drops the message", {19, 2, 1, 0, 0, 0, 0, 0, 0, 0, 0}, 36, 0},
  };
  for (const Case& c : cases) {
    SurfaceRecorder r(kN);
    std::vector<uint8_t> message = {0xF0, kId, 0, 0x12};
    message.insert(message.end(), c.body.begin(), c.body.end());
    message.push_back(0xF7);
    r.HostSysEx(message);
    EXPECT_EQ(r.mSurface.LampImage(c.lamp), c.image) << c.name;
  }

  SurfaceRecorder r(kN);
  r.Touch(0, true);
  r.Fader(0, 801);
  r.Take();
  r.HostSysEx({0xF0, kId, 0, 0x12, 16, 0xF7});
  const Msgs report = r.Take();
  ASSERT_EQ(report.size(), 18u);
  EXPECT_EQ(report[0], Cc16(79, 799 >> 3));
  EXPECT_EQ(report[1], Cc16(95, (799 & 7) << 4));
  EXPECT_EQ(report[16], Cc16(75, 0));
  r.HostSysEx({0xF0, kId, 0, 0x12, 23, 0xF7});
  EXPECT_EQ(r.mFaderMoves.size(), 8u);
  r.HostSysEx({0xF0, kId, 0, 0x12, 1, 22, 1, 0xF7});
  r.HostSysEx({0xF0, kId, 0, 0x12, 19, 3, 1, 0xF7});
  r.HostSysEx({0xF0, kId, 0, 0x12, 22, 0xF7});
  EXPECT_EQ(r.mSurface.LampImage(3), 0);
  EXPECT_EQ(r.mSurface.LampImage(4), 1);
  EXPECT_EQ(r.mSurface.LampImage(37), 0);
}

TEST(SurfaceHost, InquiriesAreAnsweredWithTheirReplies) {
  struct Case {
    std::string name;
    uint8_t mode;
    std::vector<uint8_t> inquiry;
    Msgs reply;
  };
  const Msgs connection = {{0xF0, 0, 0}, {0x66, 0x14, 0x1B}, {0x58, 0x59, 0x5A}, {0x1A, 0x2C, 0x69}, {0x7A, 0xF7, 0}};
  const std::vector<Case> cases = {
      {"identity", kN, {0xF0, 0x7E, 0, 6, 1, 0xF7},
       {{0xF0, 0x7E, 0}, {6, 2, kId}, {0, 0, 0x12}, {0, 0x30, 0x31}, {0x32, 0x30, 0xF7}}},
      {"identity with a wrong byte", kN, {0xF0, 0x7E, 0, 6, 2, 0xF7}, {}},
      {"Mackie connection", kM, {0xF0, 0, 0, 0x66, 0x14, 0x1A, 0, 0xF7}, connection},
      {"Cubase connection", kLe, {0xF0, 0, 0, 0x66, 0x10, 0x1A, 0, 0xF7}, connection},
      {"HUI connection", kH, {0xF0, 0, 0, 0x66, 5, 0, 0x1A, 0, 0xF7}, connection},
      {"foreign header", kM, {0xF0, 0, 0, 0x67, 0x14, 0x1A, 0, 0xF7}, {}},
  };
  for (const Case& c : cases) {
    SurfaceRecorder r(c.mode);
    r.HostSysEx(c.inquiry);
    EXPECT_EQ(r.Take(), c.reply) << c.name;
  }
}

TEST(SurfaceHost, CubaseAdoptsThePanAssignmentWhenTheDisplayShowsPan) {
  SurfaceRecorder r(kSx);
  r.mSurface.mAssignment = 43;
  r.mSurface.mAssignPage = 3;
  r.HostSysEx(SysEx({0xF0, 0, 0, 0x66, 0x14, 0x12, 0}, "Pan"));
  EXPECT_EQ(r.mSurface.mPanSynced, 1);
  EXPECT_EQ(r.mSurface.mAssignment, 40);
  EXPECT_EQ(r.mSurface.mAssignPage, 0);
  EXPECT_EQ(r.mSurface.LampImage(87), 1);
  EXPECT_EQ(r.mSurface.mEqLocked, 0) << "Pan is not Not";
  SurfaceRecorder mackie(kM);
  mackie.HostSysEx(SysEx({0xF0, 0, 0, 0x66, 0x14, 0x12, 0}, "Pan"));
  EXPECT_EQ(mackie.mSurface.mPanSynced, 0) << "text matching is the Cubase layouts' own";
}

TEST(SurfaceHost, CubaseLocksTheEqWhenTheDisplayShowsNotOrBlanks) {
  struct Case {
    std::string text;
    uint8_t locked;
  };
  const Case cases[] = {{"Not", 1}, {"      ", 1}, {"Nox", 0}, {"EQ Lo", 0}, {"   x  ", 0}};
  for (const Case& c : cases) {
    SurfaceRecorder r(kLe);
    r.HostSysEx(SysEx({0xF0, 0, 0, 0x66, 0x14, 0x12, 0}, c.text));
    EXPECT_EQ(r.mSurface.mEqLocked, c.locked) << '"' << c.text << '"';
  }
}

TEST(SurfaceHost, CubasePreOnTheDisplayResetsTheCubaseState) {
  SurfaceRecorder r(kLe);
  r.mSurface.mAssignment = 85;
  r.mSurface.mEqBand = 3;
  r.mSurface.mAuxToggles[2] = 1;
  r.mSurface.mEqToggles[1] = 1;
  r.mSurface.mLampImage[11] = 1;
  r.HostSysEx(SysEx({0xF0, 0, 0, 0x66, 0x14, 0x12, 0}, "Pre"));
  EXPECT_EQ(r.mSurface.mAssignment, 40);
  EXPECT_EQ(r.mSurface.mEqBand, 0);
  EXPECT_EQ(r.mSurface.mAuxToggles[2], 0);
  EXPECT_EQ(r.mSurface.mEqToggles[1], 0) << "the fields after the aux toggles, by name";
  EXPECT_EQ(r.mSurface.LampImage(11), 0);
  EXPECT_EQ(r.mSurface.mLastAux, SurfaceEmulator::kNoAux);
}

TEST(SurfaceHost, CubaseSelectNoteWithCtrlAfterASelectPressMovesThePage) {
  SurfaceRecorder r(kLe);
  r.Press(54);  // Ctrl
  r.Press(34);  // Select 3 sends note 26 and asks the host to select strip 3
  r.Take();
  EXPECT_EQ(r.mSurface.mSelectPending, 1);
  r.Host(9, 0x90, 26, 127);
  EXPECT_EQ(r.Take(), (Msgs{NoteOn(45)}));
  EXPECT_EQ(r.mSurface.mPageCode, 14);
  EXPECT_EQ(r.mSurface.mSelectedStrip, 2);
  r.Host(9, 0x90, 26, 127);
  EXPECT_EQ(r.Take(), Msgs{}) << "the same select packet again";
  r.Host(9, 0x90, 26, 0);
  EXPECT_EQ(r.mSurface.mSelectedStrip, SurfaceEmulator::kNoStrip);
}

TEST(SurfaceHost, CubasePageSequenceTogglesAuxSendsFromTheRings) {
  SurfaceRecorder r(kLe);
  r.mSurface.mPageCode = 15;
  r.Host(11, 0xB0, 48, 0x01);  // arms and sets aux 1 from its ring
  r.Host(11, 0xB0, 50, 0x00);
  r.Host(11, 0xB0, 51, 0x05);
  EXPECT_EQ(r.mSurface.mAuxToggles[0], 1);
  EXPECT_EQ(r.mSurface.mAuxToggles[2], 0);
  EXPECT_EQ(r.mSurface.mAuxToggles[3], 1);
  EXPECT_EQ(r.mSurface.LampImage(77), 1);
  EXPECT_EQ(r.mSurface.mPageCode, 16);
  EXPECT_EQ(r.Take(), (Msgs{NoteOn(40)}));
}

// A main unit or KR-6 on the in-memory platform whose host MIDI clients are a list.
class SurfaceUnit : public UnitDouble {
 public:
  void Records(const std::vector<std::array<uint8_t, 4>>& records) {
    std::memcpy(mAsyncReceiveBuffer, records.data(), 4 * records.size());
    HandleAsyncReceive(static_cast<uint32_t>(4 * records.size()));
  }
  void Host(uint32_t packet) { SendMIDIOut(packet); }
  void HostSysEx(const std::vector<uint8_t>& bytes) {
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
      const std::size_t left = bytes.size() - i;
      const uint32_t cin = left > 3 ? 4 : left == 3 ? (bytes[i + 2] == 0xF7 ? 7 : 4) : left == 2 ? 6 : 5;
      uint32_t packet = 0x40000000u | cin << 24 | uint32_t{bytes[i]} << 16;
      if (left > 1) packet |= uint32_t{bytes[i + 1]} << 8;
      if (left > 2) packet |= bytes[i + 2];
      SendMIDIOut(packet);
    }
  }
  std::vector<uint32_t> mMidiIn;

 protected:
  int32_t DeliverMIDIInEvent(uint32_t event) override {
    mMidiIn.push_back(event);
    return 0;
  }
};

class SurfaceUnitTest : public ::testing::Test {
 protected:
  void PlugIn(uint8_t mode) {
    unit.LookLikeMainUnit();
    ASSERT_EQ(unit.HandlePlugIn(), 0);
    unit.Surface().mEmulationMode = mode;
    unit.ForgetWrites();
  }
  SurfaceUnit unit;
};

TEST_F(SurfaceUnitTest, HostLampMessagesBecomeLampRegisterWrites) {
  struct Case {
    uint8_t mode;
    std::vector<uint32_t> packets;
    uint32_t state;
  };
  const Case cases[] = {
      {kM, {0x49905E7F}, 127},
      {kH, {0x4BB00C0E, 0x4BB02C44}, 127},
      {kN, {0x44F07D00, 0x44120116, 0x4601F700}, 1},
  };
  for (const Case& c : cases) {
    SurfaceUnit fresh;
    fresh.LookLikeMainUnit();
    ASSERT_EQ(fresh.HandlePlugIn(), 0);
    fresh.Surface().mEmulationMode = c.mode;
    fresh.ForgetWrites();
    for (uint32_t packet : c.packets) fresh.Host(packet);
    const std::vector<BusOp> writes = fresh.WritesTo(QX5310_LAMP);
    ASSERT_FALSE(writes.empty()) << ProtocolName(c.mode);
    EXPECT_EQ(writes.front(), Q(QX5310_LAMP, c.state << 16 | 142))
        << ProtocolName(c.mode) << ": lamp 3 is hardware lamp 142 on layout 1";
  }
}

TEST_F(SurfaceUnitTest, HostFaderMessagesMoveUntouchedMotorFadersOnly) {
  PlugIn(kM);
  unit.Host(0x4EE35040);
  EXPECT_EQ(unit.WritesTo(QX5310_FADER_MOTOR), (std::vector<BusOp>{Q(QX5310_FADER_MOTOR, 3 | (0x40 << 3 | 5) << 16)}));
  uint16_t faders[12] = {};
  faders[11] = static_cast<uint16_t>(0x1FF & ~(1u << 4));
  unit.Surface().HandleFaderState(faders);
  unit.ForgetWrites();
  unit.Host(0x4EE40040);
  EXPECT_TRUE(unit.WritesTo(QX5310_FADER_MOTOR).empty()) << "fader 5 is touched";
}

TEST_F(SurfaceUnitTest, DisplayTextReachesTheLcdRequests) {
  struct Case {
    uint8_t mode;
    std::vector<uint8_t> message;
  };
  const Case cases[] = {
      {kM, SysEx({0xF0, 0, 0, 0x66, 0x14, 0x12, 0}, "Track")},
      {kH, SysEx({0xF0, 0, 0, 0x66, 5, 0, 0x12, 0}, "Track     ")},
      {kN, SysEx({0xF0, kId, 0, 0x12, 5, 0}, "Track")},
  };
  for (const Case& c : cases) {
    SurfaceUnit fresh;
    fresh.LookLikeMainUnit();
    ASSERT_EQ(fresh.HandlePlugIn(), 0);
    fresh.Surface().mEmulationMode = c.mode;
    const uint32_t before = Ask(fresh, 23, {}, 4).Word(0);
    fresh.HostSysEx(c.message);
    EXPECT_EQ(Ask(fresh, 23, {}, 4).Word(0), before + 1) << ProtocolName(c.mode);
    for (uint32_t request : {15u, 24u}) {
      const Answer text = Ask(fresh, request, {}, 110);
      ASSERT_EQ(text.mResult, 0) << request;
      EXPECT_EQ(std::string(text.mBuffer.begin(), text.mBuffer.begin() + 7), "Track  ") << ProtocolName(c.mode);
    }
    const Answer block = Ask(fresh, 26, {}, 220);
    EXPECT_EQ(block.mBuffer[0], 'T');
    EXPECT_EQ(block.mBuffer[2], 'r');
  }
}

TEST_F(SurfaceUnitTest, RepliesReachTheHostAsValidSysExPackets) {
  PlugIn(kN);
  unit.HostSysEx({0xF0, 0x7E, 0, 6, 1, 0xF7});
  EXPECT_EQ(unit.mMidiIn, (std::vector<uint32_t>{0x44F07E00, 0x4406027D, 0x44000012, 0x44003031, 0x473230F7}));
  unit.mMidiIn.clear();
  unit.Surface().mEmulationMode = kM;
  unit.HostSysEx({0xF0, 0, 0, 0x66, 0x14, 0x1A, 0, 0xF7});
  EXPECT_EQ(unit.mMidiIn, (std::vector<uint32_t>{0x44F00000, 0x4466141B, 0x4458595A, 0x441A2C69, 0x467AF700}));
}

TEST_F(SurfaceUnitTest, AnExpansionUnitPlaysItsSurfaceThroughItsAsyncRecords) {
  unit.LookLikeExpansionUnit(0x5151);
  ASSERT_EQ(unit.HandlePlugIn(), 0);
  ASSERT_EQ(unit.Surface().Layout(), &kSurfaceLayout2);
  unit.Surface().mEmulationMode = kM;
  std::vector<std::array<uint8_t, 4>> idle = {{11, 0x01, 0xFF, 0}};
  for (uint8_t slot = 12; slot < 20; ++slot) idle.push_back({slot, 0xFF, 0xFF, 0});
  unit.Records(idle);
  EXPECT_TRUE(unit.mMidiIn.empty()) << "nothing held, nothing touched";
  unit.Records({{19, 0xBF, 0xFF, 0}});  // layout 2: Play is bit 6 of button byte 15
  unit.Records({{19, 0xFF, 0xFF, 0}});
  unit.Records({{11, 0x01, 0xFE, 0}, {0, 0x01, 0x00, 0}});  // touch fader 1 at 256
  unit.Records({{20, 0x00, 0x03, 0}});                       // encoder 1 by 3
  EXPECT_EQ(unit.mMidiIn, (std::vector<uint32_t>{0x49905E7F, 0x49905E00, 0x4990687F, 0x4EE00000, 0x4EE0601F, 0x4BB01008}));
}

}  // namespace
