#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/unit/SurfaceRecorder.h"

namespace {

constexpr uint8_t kN = kProtocolNative;
constexpr uint8_t kM = kProtocolMackie;
constexpr uint8_t kH = kProtocolHui;
constexpr uint8_t kLe = kProtocolCubaseLe;
constexpr uint8_t kSx = kProtocolCubaseSx;
constexpr uint8_t kAllProtocols[] = {kN, kM, kH, kLe, kSx};

// Button codes.
constexpr uint16_t kSet = 3, kIn = 4, kAux6 = 6, kNudgeLeft = 7, kPlay = 12, kRecord = 13, kSelect1 = 32,
                   kSelect3 = 34, kPan = 40, kAux1 = 42, kAux2 = 43, kShift = 53, kCtrl = 54, kHigh = 61,
                   kLow = 64, kRecShift = 66, kPanelButton = 70, kShuttle = 83;

const SurfaceLayout* const kLayouts[] = {&kSurfaceLayout1, &kSurfaceLayout2};

struct ButtonCase {
  std::string name;
  uint8_t mode;
  std::vector<uint16_t> held;
  uint16_t code;
  Msgs press;
  Msgs release;
};

Msgs Join(Msgs a, const Msgs& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(SurfaceControls, ButtonsSendTheirProtocolsMessagesOnBothLayouts) {
  const std::vector<ButtonCase> cases = {
      {"native Play", kN, {}, kPlay, {Cc16(22, 127)}, {Cc16(22, 0)}},
      {"Mackie Play", kM, {}, kPlay, {NoteOn(94)}, {NoteOn(94, 0)}},
      {"HUI Play", kH, {}, kPlay, HuiSwitch(14, 4, true), HuiSwitch(14, 4, false)},
      {"Cubase LE Play", kLe, {}, kPlay, {NoteOn(94)}, {NoteOn(94, 0)}},
      {"Cubase SX Play", kSx, {}, kPlay, {NoteOn(94)}, {NoteOn(94, 0)}},
      {"native Aux 6 on channel 15", kN, {}, kAux6, {Cc15(23, 127)}, {Cc15(23, 0)}},
      {"native Shift is a controller, not a modifier", kN, {kCtrl}, kShift, {Cc15(13, 127)}, {Cc15(13, 0)}},
      {"Mackie Select 3", kM, {}, kSelect3, {NoteOn(26)}, {NoteOn(26, 0)}},
      {"Mackie Select 3, Record Shift held", kM, {kRecShift}, kSelect3, {NoteOn(2)}, {NoteOn(2, 0)}},
      {"Mackie Select 3, Ctrl held", kM, {kCtrl}, kSelect3, {NoteOn(34)}, {NoteOn(34, 0)}},
      {"Mackie Select 3, Ctrl and Record Shift held", kM, {kCtrl, kRecShift}, kSelect3, {}, {}},
      {"Mackie Record, Ctrl held", kM, {kCtrl}, kRecord, {NoteOn(87)}, {NoteOn(87, 0)}},
      {"Mackie Shift is a note", kM, {}, kShift, {NoteOn(83)}, {NoteOn(83, 0)}},
      {"HUI In", kH, {}, kIn, HuiSwitch(16, 2, true), HuiSwitch(16, 2, false)},
      {"HUI In, Shift held", kH, {kShift}, kIn, HuiSwitch(16, 1, true), HuiSwitch(16, 1, false)},
      {"HUI Shift sends its switch", kH, {}, kShift, HuiSwitch(8, 1, true), HuiSwitch(8, 1, false)},
      {"HUI Select 1, Record Shift held", kH, {kRecShift}, kSelect1, HuiSwitch(0, 7, true), HuiSwitch(0, 7, false)},
      {"HUI High only sets its modifier", kH, {}, kHigh, {}, {}},
      {"Cubase LE In, Set held", kLe, {kSet}, kIn, {NoteOn(83), NoteOn(60), NoteOn(83, 0)}, {}},
      {"Cubase SX Nudge Left, Ctrl held", kSx, {kCtrl}, kNudgeLeft, {NoteOn(66)}, {NoteOn(66, 0)}},
      {"Cubase LE Nudge Left, Record Shift held", kLe, {kRecShift}, kNudgeLeft, {NoteOn(68)}, {NoteOn(68, 0)}},
      {"Cubase SX Shift", kSx, {}, kShift, {NoteOn(83)}, {NoteOn(83, 0)}},
      {"Cubase LE Select 3, Ctrl held", kLe, {kCtrl}, kSelect3, {NoteOn(26)}, {NoteOn(26, 0)}},
      {"Mackie Shuttle", kM, {}, kShuttle, {NoteOn(101)}, {NoteOn(101, 0)}},
      {"Cubase SX Shuttle", kSx, {}, kShuttle, {NoteOn(103)}, {NoteOn(103, 0)}},
  };
  for (const SurfaceLayout* layout : kLayouts) {
    for (const ButtonCase& c : cases) {
      SurfaceRecorder r(c.mode, *layout);
      if (!r.HasButton(c.code)) continue;
      for (uint16_t held : c.held) r.Press(held);
      r.Take();
      r.Press(c.code);
      EXPECT_EQ(r.Take(), c.press) << c.name << (layout == &kSurfaceLayout1 ? ", layout 1" : ", layout 2");
      r.Release(c.code);
      EXPECT_EQ(r.Take(), c.release) << c.name << (layout == &kSurfaceLayout1 ? ", layout 1" : ", layout 2");
    }
  }
}

TEST(SurfaceControls, ThePanelButtonAsksForThePanelInEveryProtocol) {
  for (uint8_t mode : kAllProtocols) {
    SurfaceRecorder r(mode);
    r.Press(kPanelButton);
    r.Release(kPanelButton);
    EXPECT_EQ(r.mModeCommands, (std::vector<std::pair<uint32_t, uint32_t>>{{3, 1}})) << ProtocolName(mode);
    EXPECT_EQ(r.Take(), (mode == kN ? Msgs{Cc16(61, 127), Cc16(61, 0)} : Msgs{})) << ProtocolName(mode);
  }
}

TEST(SurfaceControls, ButtonsHeldAtTheFirstReportArePressedAndOthersStaySilent) {
  SurfaceRecorder r(kM);
  uint8_t buttons[16];
  std::memset(buttons, 0xFF, sizeof buttons);
  buttons[7] = static_cast<uint8_t>(~(1u << 6));  // layout 1: bit id 118 is Nudge Left
  r.mSurface.HandleButtonState(buttons);
  EXPECT_EQ(r.Take(), (Msgs{NoteOn(58)}));
  buttons[0] = 0x00;  // byte 0 carries no button
  r.mSurface.HandleButtonState(buttons);
  EXPECT_EQ(r.Take(), Msgs{});
}

TEST(SurfaceControls, FadersSendTouchFirstThenTrackOnlyWhileTouched) {
  struct Case {
    uint8_t mode;
    uint32_t fader;
    Msgs touch;
    Msgs (*position)(uint32_t fader, uint32_t position);
    Msgs release;
  };
  auto native = [](uint32_t f, uint32_t p) {
    const uint8_t cc = static_cast<uint8_t>(f == 0 ? 79 : f == 8 ? 75 : 64 + f);
    return Msgs{Cc16(cc, static_cast<uint8_t>(p >> 3)), Cc16(static_cast<uint8_t>(cc + 16), static_cast<uint8_t>((p & 7) << 4))};
  };
  auto mackie = [](uint32_t f, uint32_t p) { return Msgs{Bend(f, p)}; };
  auto hui = [](uint32_t f, uint32_t p) {
    return Msgs{Cc(static_cast<uint8_t>(f), static_cast<uint8_t>(p >> 3)),
                Cc(static_cast<uint8_t>(0x20 + f), static_cast<uint8_t>((p & 6) << 4))};
  };
  auto none = [](uint32_t, uint32_t) { return Msgs{}; };
  const Case cases[] = {
      {kN, 0, {Cc16(112, 127)}, native, {Cc16(112, 0)}},
      {kN, 2, {Cc16(114, 127)}, native, {Cc16(114, 0)}},
      {kN, 8, {Cc16(120, 127)}, native, {Cc16(120, 0)}},
      {kM, 2, {NoteOn(106)}, mackie, {NoteOn(106, 0)}},
      {kM, 8, {NoteOn(112)}, mackie, {NoteOn(112, 0)}},
      {kLe, 2, {NoteOn(106)}, mackie, {NoteOn(106, 0)}},
      {kSx, 7, {NoteOn(111)}, mackie, {NoteOn(111, 0)}},
      {kH, 2, HuiSwitch(2, 0, true), hui, HuiSwitch(2, 0, false)},
      {kH, 8, {}, none, {}},
  };
  for (const SurfaceLayout* layout : kLayouts) {
    for (const Case& c : cases) {
      const std::string name = std::string(ProtocolName(c.mode)) + " fader " + std::to_string(c.fader);
      SurfaceRecorder r(c.mode, *layout);
      r.Fader(c.fader, 500);
      EXPECT_EQ(r.Take(), Msgs{}) << name << ": moved untouched";
      r.Touch(c.fader, true);
      const bool sendsPositionOnTouch = c.mode != kN && c.mode != kH;
      EXPECT_EQ(r.Take(), sendsPositionOnTouch ? Join(c.touch, c.position(c.fader, 498)) : c.touch) << name;
      r.Fader(c.fader, 600);
      EXPECT_EQ(r.Take(), c.position(c.fader, 598)) << name << ": tracks two steps behind";
      r.Fader(c.fader, 599);
      r.Fader(c.fader, 597);
      EXPECT_EQ(r.Take(), Msgs{}) << name << ": jitter";
      r.Fader(c.fader, 1023);
      EXPECT_EQ(r.Take(), c.position(c.fader, 1023)) << name << ": the end of travel is exact";
      r.Fader(c.fader, 0);
      EXPECT_EQ(r.Take(), c.position(c.fader, 0)) << name;
      r.Touch(c.fader, false);
      EXPECT_EQ(r.Take(), c.release) << name;
      r.Fader(c.fader, 700);
      EXPECT_EQ(r.Take(), Msgs{}) << name << ": released";
    }
  }
}

TEST(SurfaceControls, TouchSetsTheFlagAndTheLatchThatTheMotorWriterReads) {
  SurfaceRecorder r(kM);
  r.Touch(4, true);
  EXPECT_EQ(r.mSurface.mFaderTouched[4], 1);
  EXPECT_EQ(r.mSurface.mFaderTouchLatch[4], 1);
  r.Touch(4, false);
  EXPECT_EQ(r.mSurface.mFaderTouched[4], 0);
  EXPECT_EQ(r.mSurface.mFaderTouchLatch[4], 1);
}

struct TurnCase {
  std::string name;
  uint8_t mode;
  uint32_t encoder;
  std::vector<int32_t> turns;
  Msgs sent;
};

TEST(SurfaceControls, EncodersAndTheDataWheelSendTheirTurnsWithRemaindersCarried) {
  const std::vector<TurnCase> cases = {
      {"native encoder 1", kN, 0, {5, -3}, {Cc16(104, 5), Cc16(104, 125)}},
      {"native encoder 8 clamped", kN, 7, {200, -200}, {Cc16(111, 63), Cc16(111, 65)}},
      {"native gain, frequency, Q, wheel", kN, 8, {1}, {Cc16(72, 1)}},
      {"native data wheel", kN, 11, {-2}, {Cc16(96, 126)}},
      {"Mackie encoder 1 turn codes", kM, 0, {1, 2, 3, 4, 9, -1, -2, -3, -4, -5},
       {Cc(16, 1), Cc(16, 4), Cc(16, 8), Cc(16, 12), Cc(16, 15), Cc(16, 65), Cc(16, 68), Cc(16, 72), Cc(16, 76),
        Cc(16, 79)}},
      {"Mackie gain sends nothing", kM, 8, {3}, {}},
      {"Mackie wheel by 31 then 1", kM, 11, {31, 1}, {Cc(60, 1)}},
      {"Mackie wheel down from remainder 0", kM, 11, {-1}, {Cc(60, 65)}},
      {"Mackie wheel: remainder carried both ways", kM, 11, {20, 20, -50}, {Cc(60, 1), Cc(60, 65)}},
      {"HUI encoder 2", kH, 1, {-3, 3, 200}, {Cc(0x41, 3), Cc(0x41, 0x43), Cc(0x41, 0x7F)}},
      {"HUI gain, frequency, Q", kH, 10, {2}, {Cc(74, 0x42)}},
      {"HUI wheel by 15 then 1", kH, 11, {15, 1}, {Cc(13, 0x41)}},
      {"HUI wheel down two steps", kH, 11, {-32}, {Cc(13, 2)}},
      {"Cubase LE wheel", kLe, 11, {32}, {Cc(60, 1)}},
      {"Cubase SX gain without a band", kSx, 8, {1}, {}},
  };
  for (const TurnCase& c : cases) {
    SurfaceRecorder r(c.mode);
    for (int32_t turn : c.turns) r.Turn(c.encoder, turn);
    EXPECT_EQ(r.Take(), c.sent) << c.name;
  }
}

TEST(SurfaceControls, HuiGainAndFrequencyMoveUpWhileHighIsHeld) {
  SurfaceRecorder r(kH);
  r.Press(kHigh);
  r.Turn(8, 1);
  r.Turn(9, -1);
  r.Release(kHigh);
  r.Turn(8, 1);
  EXPECT_EQ(r.Take(), (Msgs{Cc(75, 0x41), Cc(76, 1), Cc(72, 0x41)}));
}

TEST(SurfaceControls, EncodersBeforeTheSendCallbackIsSetCountFromTheirBase) {
  SurfaceEmulator surface;
  surface.InitSurfaceEngine(kSurfaceLayout1);
  int16_t counts[12] = {};
  counts[0] = 5;
  surface.HandleEncoderState(counts);
  EXPECT_EQ(surface.mEncoderLast[0], 5);
  EXPECT_EQ(surface.mEncoderBase[0], 0);
}

TEST(SurfaceControls, CubasePanEncodersReturnToThePanPageOnceAndRepeatUnlessCtrlIsHeld) {
  struct Case {
    uint8_t page;
    bool ctrl;
    Msgs sent;
  };
  const Msgs four = {Cc(16, 1), Cc(16, 1), Cc(16, 1), Cc(16, 1)};
  const Case cases[] = {
      {0, false, four},
      {1, false, Join({NoteOn(42)}, four)},
      {2, false, Join({NoteOn(40), NoteOn(42)}, four)},
      {3, false, Join({NoteOn(42)}, four)},
      {2, true, {NoteOn(40), NoteOn(42), Cc(16, 1)}},
  };
  for (uint8_t mode : {kLe, kSx}) {
    for (const Case& c : cases) {
      SurfaceRecorder r(mode);
      r.mSurface.mAssignPage = c.page;
      r.mSurface.mEqLocked = 1;  // Ctrl then only relights the assignment lamps
      if (c.ctrl) r.Press(kCtrl);
      r.Take();
      r.Turn(0, 1);
      EXPECT_EQ(r.Take(), c.sent) << ProtocolName(mode) << " page " << int{c.page} << (c.ctrl ? " with Ctrl" : "");
      EXPECT_EQ(r.mSurface.mAssignPage, 0);
      r.Turn(0, 1);
      EXPECT_EQ(r.Take().size(), c.ctrl ? 1u : 4u) << "the page note is sent once";
    }
  }
}

TEST(SurfaceControls, CubaseAuxAssignmentSelectsTheStripAndSendsTheAuxController) {
  for (uint8_t mode : {kLe, kSx}) {
    SurfaceRecorder r(mode);
    r.Press(kAux2);
    EXPECT_EQ(r.Take(), (Msgs{NoteOn(45)})) << ProtocolName(mode);
    EXPECT_EQ(r.mSurface.mAssignment, 43);
    EXPECT_EQ(r.mSurface.mAuxIndex, 1);
    EXPECT_EQ(r.mSurface.LampImage(75), 1) << "Aux 2 lit";
    EXPECT_EQ(r.mSurface.LampImage(87), 0) << "Pan out";
    r.Turn(2, -1);
    EXPECT_EQ(r.Take(), (Msgs{NoteOn(26), Cc(17, 65), Cc(17, 65), Cc(17, 65), Cc(17, 65)})) << ProtocolName(mode);
    EXPECT_EQ(r.mSurface.mSelectPending, 1);
  }
}

TEST(SurfaceControls, CubaseSxPressingTheActiveAuxAgainAssignsAllSends) {
  SurfaceRecorder r(kSx);
  r.Press(kAux1);
  r.Release(kAux1);
  r.Press(kAux1);
  EXPECT_EQ(r.mSurface.mAssignment, 84);
  EXPECT_EQ(r.mSurface.mAllSends, 1);
  for (uint32_t lamp : {74, 75, 76, 77, 9, 103, 113, 114}) EXPECT_EQ(r.mSurface.LampImage(lamp), 1) << lamp;
  r.Take();
  r.Turn(6, 1);
  EXPECT_EQ(r.Take(), (Msgs{Cc(22, 1), Cc(22, 1), Cc(22, 1), Cc(22, 1)})) << "all sends: the encoder's own send";
  r.Press(kPan);
  EXPECT_EQ(r.mSurface.mAssignment, 40);
  EXPECT_EQ(r.Take(), (Msgs{NoteOn(40), NoteOn(42)}));
}

TEST(SurfaceControls, CubaseLeAuxWithCtrlTogglesTheSendAndWalksThePages) {
  SurfaceRecorder r(kLe);
  r.Press(kCtrl);
  EXPECT_EQ(r.Take(), (Msgs{NoteOn(45)})) << "Ctrl at the pan page";
  EXPECT_EQ(r.mSurface.mPageCode, 14);
  r.Press(kAux2);
  EXPECT_EQ(r.Take(), (Msgs{NoteOn(45), NoteOn(41), Cc(17, 1), NoteOn(40), NoteOn(42)}));
  EXPECT_EQ(r.mSurface.mAuxToggles[1], 1);
  r.Release(kAux2);
  r.Press(kAux2);
  EXPECT_EQ(r.Take(), (Msgs{NoteOn(45), NoteOn(41), Cc(17, 65), NoteOn(40), NoteOn(42)}));
  EXPECT_EQ(r.mSurface.mAssignment, 40) << "Ctrl + aux toggles, it does not assign";
}

TEST(SurfaceControls, CubaseEqBandsPickTheBandAndItsEncodersFollowIt) {
  SurfaceRecorder le(kLe);
  le.Press(kLow);
  EXPECT_EQ(le.Take(), (Msgs{NoteOn(44)}));
  EXPECT_EQ(le.mSurface.mEqBand, 1);
  EXPECT_EQ(le.mSurface.LampImage(13), 1);
  le.Turn(8, 1);  // gain of band 1
  EXPECT_EQ(le.Take(), (Msgs{Cc(17, 1), Cc(17, 1), Cc(17, 1), Cc(17, 1)}));
  le.Turn(10, -1);  // Q moves to the second EQ page
  EXPECT_EQ(le.Take(), (Msgs{NoteOn(41), Cc(17, 65), Cc(17, 65), Cc(17, 65), Cc(17, 65)}));
  le.Release(kLow);
  le.Press(kLow);
  EXPECT_EQ(le.Take(), (Msgs{NoteOn(40)})) << "the same band again, from page 2";

  SurfaceRecorder sx(kSx);
  sx.Press(kHigh);
  EXPECT_EQ(sx.Take(), (Msgs{NoteOn(44), NoteOn(41)}));
  EXPECT_EQ(sx.mSurface.mEqBand, 4);
  sx.Turn(9, 1);  // frequency of band 4
  EXPECT_EQ(sx.Take(), (Msgs{Cc(21, 1), Cc(21, 1), Cc(21, 1), Cc(21, 1)}));

  SurfaceRecorder locked(kLe);
  locked.mSurface.mEqLocked = 1;
  locked.Press(kLow);
  EXPECT_EQ(locked.Take(), Msgs{});
  EXPECT_EQ(locked.mSurface.mEqBand, 0);
}

TEST(SurfaceControls, CubaseSxShiftFramesTheNotesOfCtrlAndEqPages) {
  SurfaceRecorder r(kSx);
  r.mSurface.mAssignPage = 3;
  r.Press(kShift);
  r.Press(kCtrl);
  EXPECT_EQ(r.Take(), (Msgs{NoteOn(83), NoteOn(83, 0), NoteOn(41), NoteOn(83)}));
  EXPECT_EQ(r.mSurface.mPageCode, 15);
}

TEST(SurfaceControls, CtrlReleaseRelightsTheAssignmentAndTheBand) {
  SurfaceRecorder r(kLe);
  r.Press(kLow);
  r.Press(kAux1);
  r.Press(kCtrl);
  r.mSurface.mLampImage[74] = 0;
  r.mSurface.mLampImage[13] = 0;
  r.mLamps.clear();
  r.Release(kCtrl);
  EXPECT_EQ(r.mSurface.LampImage(74), 1);
  EXPECT_EQ(r.mSurface.LampImage(13), 1);
  EXPECT_FALSE(r.mLamps.empty()) << "the images are pushed";
}

TEST(SurfaceControls, ProgrammingWordFieldsRoundTrip) {
  struct Case {
    uint32_t word;
    uint8_t kind, controlId, channel, bank;
    bool option;
  };
  const Case cases[] = {
      {0x4A372345u | 0x80u, ProgrammingWord::kButton, 0x37, 4, 1, false},
      {0x4A372345u | 0x80000u, ProgrammingWord::kButton, 0x37, 4, 1, true},
      {0xE2000F00u | 0x8B0000u, ProgrammingWord::kFader, 0x0B, 16, 4, true},
  };
  for (const Case& c : cases) {
    const ProgrammingWord w = ProgrammingWord::Decode(c.word);
    EXPECT_EQ(w.mKind, c.kind);
    EXPECT_EQ(w.mControlId, c.controlId);
    EXPECT_EQ(w.mChannel, c.channel);
    EXPECT_EQ(w.mBank, c.bank);
    EXPECT_EQ(w.mControlOption, c.option);
    EXPECT_EQ(w.Encode(), c.word) << std::hex << c.word;
  }
  EXPECT_FALSE(ProgrammingWord::NamesControl(0x3FFFFFFF));
}

}  // namespace
