#include <gtest/gtest.h>

#include <memory>

#include "tests/unit/Requests.h"
#include "tests/unit/UnitDouble.h"
#include "unit/OvrTable.h"
#include "unit/RegisterMap.h"

namespace {

constexpr uint32_t Lamp(uint32_t code, uint32_t state) { return state << 16 | code; }

class Writer : public testing::Test {
 protected:
  void SetUp() override {
    unit.LookLikeMainUnit();
    ASSERT_EQ(unit.HandlePlugIn(), 0);
    unit.ForgetWrites();
  }

  void Hold() { unit.mCompletions = UnitDouble::Completions::Held; }

  std::vector<BusOp> ReleaseAndCollect() {
    unit.ReleaseAll();
    EXPECT_FALSE(unit.mQueuedValueChanged);
    return unit.QueuedWrites();
  }

  static uint32_t MidiEvent(uint32_t n) { return 0x09900000u | (n & 0x7F) << 8 | 0x40; }

  SettingsStore store;
  UnitDouble unit{&store};
};

TEST_F(Writer, LampIsSentOnlyWhenItsStateChangesUnlessForced) {
  unit.SetLamp(3, 1);
  unit.SetLamp(3, 1);
  unit.ForceLamp(3, 1);
  unit.SetLamp(3, 0);
  unit.SetLamp(115, 1);
  unit.ForceLamp(200, 1);
  const std::vector<BusOp> expected = {Q(QX5310_LAMP, Lamp(142, 1)), Q(QX5310_LAMP, Lamp(142, 1)),
                                       Q(QX5310_LAMP, Lamp(142, 0))};
  EXPECT_EQ(unit.QueuedWrites(), expected);
}

TEST_F(Writer, LampWithoutHardwareIsMarkedSentWithoutAWrite) {
  Hold();
  unit.SetLamp(1, 1);
  unit.SetLamp(0, 1);
  unit.SetLamp(86, 1);
  unit.SetLamp(2, 1);
  unit.SetLamp(7, 1);
  const std::vector<BusOp> expected = {Q(QX5310_LAMP, Lamp(15, 1)), Q(QX5310_LAMP, Lamp(47, 1)),
                                       Q(QX5310_LAMP, Lamp(78, 1))};
  EXPECT_EQ(ReleaseAndCollect(), expected);
  EXPECT_EQ(unit.mMostHeld, 1);
}

TEST_F(Writer, LampsChangedWhileAWriteIsHeldGoOutGroupByGroupInIdOrder) {
  Hold();
  unit.SetLamp(90, 1);
  unit.SetLamp(34, 1);
  unit.SetLamp(17, 1);
  unit.SetLamp(16, 1);
  unit.SetLamp(35, 1);
  const std::vector<BusOp> expected = {Q(QX5310_LAMP, Lamp(170, 1)), Q(QX5310_LAMP, Lamp(109, 1)),
                                       Q(QX5310_LAMP, Lamp(141, 1)), Q(QX5310_LAMP, Lamp(96, 1)),
                                       Q(QX5310_LAMP, Lamp(97, 1))};
  EXPECT_EQ(ReleaseAndCollect(), expected);
}

TEST_F(Writer, LampsRecordedBeforePlugInGoOutWithoutNestingCompletions) {
  UnitDouble other;
  other.LookLikeMainUnit();
  for (uint32_t id = 18; id <= 65; ++id) other.SetLamp(id, 1);
  EXPECT_TRUE(other.mWrites.empty());
  ASSERT_EQ(other.HandlePlugIn(), 0);
  EXPECT_EQ(other.WritesTo(QX5310_LAMP).size(), 48u + 2);
  EXPECT_EQ(other.mMostNested, 1) << "a completion inside its issuing call does not recurse";
}

TEST_F(Writer, AnUnreachableUnitIsAskedOncePerKickAndTheBusResetSendsEverything) {
  unit.mCompletions = UnitDouble::Completions::Failed;
  unit.SetLamp(3, 1);
  unit.SetLamp(5, 1);
  EXPECT_EQ(unit.QueuedWrites(), (std::vector<BusOp>{Q(QX5310_LAMP, Lamp(142, 1)), Q(QX5310_LAMP, Lamp(142, 1))}))
      << "the failed lamp goes first at every kick, and nothing is tried twice in one";
  EXPECT_EQ(unit.mMostNested, 1);
  unit.ForgetWrites();
  unit.mCompletions = UnitDouble::Completions::Inline;
  EXPECT_EQ(unit.HandleBusReset(), 0);
  const std::vector<BusOp> expected = {Q(QX5310_LAMP, Lamp(142, 1)), Q(QX5310_LAMP, Lamp(174, 1)),
                                       Q(QX5310_LAMP, Lamp(169, 1))};
  EXPECT_EQ(unit.QueuedWrites(), expected);
  EXPECT_EQ(unit.DroppedItems(WriterItems::Lamps), 0u);
}

TEST_F(Writer, RefusedLampStaysDueAndTheNextKickSendsIt) {
  unit.mCompletions = UnitDouble::Completions::Refused;
  unit.SetLamp(3, 1);
  unit.mCompletions = UnitDouble::Completions::Inline;
  unit.SetLamp(5, 1);
  EXPECT_EQ(unit.QueuedWrites(), (std::vector<BusOp>{Q(QX5310_LAMP, Lamp(142, 1)), Q(QX5310_LAMP, Lamp(174, 1))}));
  EXPECT_EQ(unit.mRefused, 1);
}

TEST_F(Writer, FaderMotorFollowsTargetsButNeverATouchedFader) {
  SurfaceEmulator& surface = unit.Surface();
  Hold();
  unit.SetFaderMotor(0, 100);
  unit.SetFaderMotor(0, 100);
  unit.SetFaderMotor(9, 5);
  unit.SetFaderMotor(3, 300);
  unit.SetFaderMotor(8, 800);
  surface.mFaderTouched[8] = 1;
  surface.mFaderTouchLatch[8] = 1;
  unit.SetFaderMotor(2, 200);
  unit.SetFaderMotor(8, 900);
  const std::vector<BusOp> expected = {Q(QX5310_FADER_MOTOR, 0 | 100 << 16), Q(QX5310_FADER_MOTOR, 2 | 200 << 16),
                                       Q(QX5310_FADER_MOTOR, 3 | 300 << 16)};
  EXPECT_EQ(ReleaseAndCollect(), expected) << "fader 8 was touched before its write went out";

  unit.ForgetWrites();
  surface.mFaderTouched[8] = 0;
  unit.SetFaderMotor(8, 800);
  unit.SetFaderMotor(0, 100);
  EXPECT_EQ(ReleaseAndCollect(), std::vector<BusOp>{Q(QX5310_FADER_MOTOR, 8 | 800 << 16)})
      << "a fader touched since its last write is driven again to the same target";
}

TEST_F(Writer, MidiOutGoesInBlocksOfAtMost16EventsAfterTheHeldBlock) {
  Hold();
  ASSERT_EQ(Ask(unit, 5, Words({2}), 0).mResult, 0);
  unit.ReleaseAll();
  unit.ForgetWrites();
  for (uint32_t n = 0; n <= 100; ++n) unit.SendMIDIOut(MidiEvent(n));
  const std::vector<BusOp> blocks = ReleaseAndCollect();
  std::vector<std::size_t> sizes;
  std::vector<uint8_t> bytes;
  for (const BusOp& block : blocks) {
    EXPECT_EQ(block.mKind, BusOp::QueuedBlock);
    EXPECT_EQ(block.mOffset, QX5310_MIDI_OUT_WINDOW);
    sizes.push_back(block.mData.size());
    bytes.insert(bytes.end(), block.mData.begin(), block.mData.end());
  }
  EXPECT_EQ(sizes, (std::vector<std::size_t>{4, 64, 64, 64, 64, 64, 64, 16}));
  ASSERT_EQ(bytes.size(), 101u * 4);
  for (uint32_t n = 0; n <= 100; ++n) {
    EXPECT_EQ(bytes[4 * n], 0x09);
    EXPECT_EQ(bytes[4 * n + 1], 0x90);
    EXPECT_EQ(bytes[4 * n + 2], n & 0x7F);
    EXPECT_EQ(bytes[4 * n + 3], 0x40);
  }
}

TEST_F(Writer, MidiOutBlockNeverCrossesTheRingEnd) {
  for (uint32_t n = 0; n < 1020; ++n) unit.SendMIDIOut(MidiEvent(n));
  Hold();
  unit.ForgetWrites();
  for (uint32_t n = 0; n < 11; ++n) unit.SendMIDIOut(MidiEvent(n));
  std::vector<std::size_t> sizes;
  for (const BusOp& block : ReleaseAndCollect()) sizes.push_back(block.mData.size());
  EXPECT_EQ(sizes, (std::vector<std::size_t>{4, 12, 28})) << "the tail up to byte 4095, then the head";
}

TEST_F(Writer, FullMidiOutRingDropsAndCountsWithoutTouchingTheBlockInFlight) {
  Hold();
  for (uint32_t n = 0; n < 1100; ++n) unit.SendMIDIOut(MidiEvent(n));
  EXPECT_EQ(unit.MidiOutDropped(), 1100u - 1023);
  std::size_t sent = 0;
  for (const BusOp& block : ReleaseAndCollect()) sent += block.mData.size();
  EXPECT_EQ(sent, 1023u * 4);
  unit.SendMIDIOut(MidiEvent(1));
  EXPECT_EQ(unit.HeldCount(), 1u) << "the ring has room again";
}

TEST_F(Writer, MidiOutOnCable4StaysInTheEngineAndNothingGoesOutUnplugged) {
  unit.SendMIDIOut(0x49903C64);
  UnitDouble absent;
  absent.SendMIDIOut(MidiEvent(1));
  EXPECT_TRUE(unit.mWrites.empty());
  EXPECT_TRUE(absent.mWrites.empty());
}

TEST_F(Writer, MidiOutDoneNoticeRunsOnceBeforeTheNextBlock) {
  int notices = 0;
  unit.ArmMIDIOutDoneNotice([](void* count) { ++*static_cast<int*>(count); }, &notices);
  unit.SendMIDIOut(MidiEvent(1));
  unit.SendMIDIOut(MidiEvent(2));
  EXPECT_EQ(notices, 1);
}

TEST_F(Writer, NotificationAddressesOfMainAndExpansionUnits) {
  unit.mLocalNode = 3;
  ASSERT_EQ(unit.StartMidi(), 0);
  const std::vector<BusOp> mainWrites = {Q(QX5310_MIDI_NOTIFY_HI, 0xFFC30001), Q(QX5310_MIDI_NOTIFY_LO, 0x00100000),
                                         Q(QX5310_MIDI_NOTIFY_ENABLE, 1)};
  EXPECT_EQ(unit.QueuedWrites(), mainWrites);

  UnitDouble kr6;
  kr6.LookLikeExpansionUnit(3);
  ASSERT_EQ(kr6.HandlePlugIn(), 0);
  kr6.ForgetWrites();
  ASSERT_EQ(kr6.StartMidi(), 0);
  const std::vector<BusOp> kr6Writes = {
      Q(QX5310_MIDI_NOTIFY_HI, 0xFFC00001),  Q(QX5310_MIDI_NOTIFY_LO, 0x00100000),  Q(QX5310_MIDI_NOTIFY_ENABLE, 1),
      Q(QX5310_ASYNC_NOTIFY_HI, 0xFFC00001), Q(QX5310_ASYNC_NOTIFY_LO, 0x00200000), Q(QX5310_ASYNC_NOTIFY_ENABLE, 1)};
  EXPECT_EQ(kr6.QueuedWrites(), kr6Writes);
  EXPECT_EQ(kr6.StartMidi(), 99);
}

TEST_F(Writer, MidiStopInTheMiddleOfTheNotificationSequenceLeavesTheEnablesOff) {
  UnitDouble kr6;
  kr6.LookLikeExpansionUnit(3);
  ASSERT_EQ(kr6.HandlePlugIn(), 0);
  kr6.ForgetWrites();
  kr6.mCompletions = UnitDouble::Completions::Held;
  ASSERT_EQ(kr6.StartMidi(), 0);
  ASSERT_EQ(kr6.StopMidi(), 0);
  kr6.ReleaseAll();
  const std::vector<BusOp> expected = {
      Q(QX5310_MIDI_NOTIFY_HI, 0xFFC00001), W(QX5310_MIDI_NOTIFY_ENABLE, 0),       W(QX5310_ASYNC_NOTIFY_ENABLE, 0),
      Q(QX5310_MIDI_NOTIFY_LO, 0x00100000), Q(QX5310_ASYNC_NOTIFY_HI, 0xFFC00001), Q(QX5310_ASYNC_NOTIFY_LO, 0x00200000)};
  EXPECT_EQ(kr6.mWrites, expected);
  EXPECT_EQ(kr6.mRegisters[QX5310_MIDI_NOTIFY_ENABLE], 0u);

  kr6.ForgetWrites();
  ASSERT_EQ(kr6.StartMidi(), 0);
  kr6.ReleaseAll();
  EXPECT_EQ(kr6.QueuedWrites().size(), 6u);
  EXPECT_EQ(kr6.mRegisters[QX5310_ASYNC_NOTIFY_ENABLE], 1u);
}

// The unit may take the enable after the stop's zeros, so the writer sends the zeros once more
// after it.
TEST_F(Writer, MidiStopWithTheEnableOnItsWayWritesTheZeroAgainAfterIt) {
  UnitDouble kr6;
  kr6.LookLikeExpansionUnit(3);
  ASSERT_EQ(kr6.HandlePlugIn(), 0);
  kr6.ForgetWrites();
  kr6.mCompletions = UnitDouble::Completions::Held;
  ASSERT_EQ(kr6.StartMidi(), 0);
  ASSERT_TRUE(kr6.ReleaseOne());  // the MIDI address high
  ASSERT_TRUE(kr6.ReleaseOne());  // the MIDI address low; the enable goes out
  ASSERT_EQ(kr6.StopMidi(), 0);
  kr6.ReleaseAll();
  const std::vector<BusOp> expected = {
      Q(QX5310_MIDI_NOTIFY_HI, 0xFFC00001),  Q(QX5310_MIDI_NOTIFY_LO, 0x00100000), Q(QX5310_MIDI_NOTIFY_ENABLE, 1),
      W(QX5310_MIDI_NOTIFY_ENABLE, 0),       W(QX5310_ASYNC_NOTIFY_ENABLE, 0),     Q(QX5310_MIDI_NOTIFY_ENABLE, 0),
      Q(QX5310_ASYNC_NOTIFY_HI, 0xFFC00001), Q(QX5310_ASYNC_NOTIFY_LO, 0x00200000), Q(QX5310_ASYNC_NOTIFY_ENABLE, 0)};
  EXPECT_EQ(kr6.mWrites, expected);
  EXPECT_EQ(kr6.mRegisters[QX5310_MIDI_NOTIFY_ENABLE], 0u);
  EXPECT_EQ(kr6.mRegisters[QX5310_ASYNC_NOTIFY_ENABLE], 0u);
}

TEST_F(Writer, BusResetResendsLamp89AndTheNotificationAddresses) {
  EXPECT_EQ(unit.HandleBusReset(), 0);
  EXPECT_EQ(unit.QueuedWrites(), std::vector<BusOp>{Q(QX5310_LAMP, Lamp(169, 1))});
  ASSERT_EQ(unit.StartMidi(), 0);
  unit.ForgetWrites();
  EXPECT_EQ(unit.HandleBusReset(), 0);
  EXPECT_EQ(unit.QueuedWrites().size(), 4u);
}

TEST_F(Writer, SettingsChangedWhileAWriteIsHeldGoOutInStepOrder) {
  Hold();
  unit.SetPreference(PreferencesBlock::kParamMasterFader, 2);
  unit.SetPreference(PreferencesBlock::kParamSpdifInSource, 2);
  unit.SetPreference(PreferencesBlock::kParamOpticalOutSource, 3);
  unit.SetPreference(PreferencesBlock::kParamOvrThreshold, 60);
  unit.SetPreference(PreferencesBlock::kParamMonitorMode, 0);
  unit.SetPreference(PreferencesBlock::kParamSampleRate, 48000);
  unit.SetPreference(PreferencesBlock::kParamCoaxOutSource, 2);
  const std::vector<BusOp> expected = {
      Q(QX5310_CONTROL_BITS, 0x4000),   Q(QX5310_RATE_CLOCK, 0x0201),
      Q(QX5310_CONTROL_BITS, 0),        Q(QX5310_OVR_LEVEL, uint32_t{OvrLevel(50)} << 16 | 0x104),
      Q(QX5310_CONTROL_BITS, 0x48800),  Q(QX5310_CONTROL_BITS, 0x200),
      Q(QX5310_CONTROL_BITS, 0x100),
  };
  EXPECT_EQ(ReleaseAndCollect(), expected);
  EXPECT_EQ(unit.mMostHeld, 1);
  const SharedStateBlock& state = unit.SharedState();
  EXPECT_EQ(state.mSampleRate, 48000u);
  EXPECT_EQ(state.mOpticalOutCode, 3);
  EXPECT_EQ(state.mCoaxOutCode, 4);
  EXPECT_EQ(state.mSpdifInCodeA, 5);
  EXPECT_EQ(state.mSpdifInCodeB, 1);
}

TEST_F(Writer, RoutingCodesOfTheOpticalCopyFollowTheCoaxialOutput) {
  unit.SetPreference(PreferencesBlock::kParamOpticalOutSource, 4);
  EXPECT_EQ(unit.SharedState().mOpticalOutCode, 5);
  unit.SetPreference(PreferencesBlock::kParamCoaxOutSource, 2);
  EXPECT_EQ(unit.SharedState().mOpticalOutCode, 4);
  EXPECT_EQ(unit.SharedState().mCoaxOutCode, 4);
}

TEST_F(Writer, SettingsThatNeedNoRegisterGoToTheEngineAndTheClientStreams) {
  struct Case {
    uint32_t id;
    uint32_t value;
    int refreshes;
  } const cases[] = {{24, 0, 1}, {28, 0, 1}, {68, 5, 1}, {72, 5, 1}, {64, 0, 0}};
  for (const Case& c : cases) {
    const int before = unit.mClientStreamRefreshes;
    unit.SetPreference(c.id, c.value);
    EXPECT_EQ(unit.mClientStreamRefreshes - before, c.refreshes) << c.id;
  }
  for (const auto& [protocol, mode] : {std::pair{2u, 2}, std::pair{3u, 4}, std::pair{4u, 8}, std::pair{5u, 16},
                                       std::pair{1u, 1}}) {
    unit.SetPreference(PreferencesBlock::kParamControlProtocol, protocol);
    EXPECT_EQ(unit.Surface().mEmulationMode, mode) << protocol;
  }
  EXPECT_TRUE(unit.QueuedWrites().empty());
}

TEST_F(Writer, WhileStreamingRateAndBufferSizeChangeNoRegister) {
  ASSERT_EQ(Ask(unit, 5, Words({1}), 0).mResult, 0);
  unit.ForgetWrites();
  unit.SetPreference(PreferencesBlock::kParamSampleRate, 96000);
  unit.SetPreference(PreferencesBlock::kParamBufferSizeIndex, 2);
  EXPECT_TRUE(unit.QueuedWrites().empty());
  EXPECT_EQ(unit.SharedState().mSampleRate, 96000u);
  EXPECT_EQ(unit.mClientStreamStops, 1);
}

TEST_F(Writer, RefusedSettingIsNotCountedAsWrittenAndBusResetSendsIt) {
  unit.mCompletions = UnitDouble::Completions::Refused;
  unit.SetPreference(PreferencesBlock::kParamMonitorMode, 2);
  unit.SetPreference(PreferencesBlock::kParamMasterFader, 2);
  EXPECT_EQ(unit.LastWrittenPreferences().mMonitorMode, 1u);
  EXPECT_EQ(unit.LastWrittenPreferences().mMasterFader, 1u);
  unit.mCompletions = UnitDouble::Completions::Inline;
  EXPECT_EQ(unit.HandleBusReset(), 0);
  const std::vector<BusOp> settings = {Q(QX5310_CONTROL_BITS, 0x2001000), Q(QX5310_CONTROL_BITS, 0x4000)};
  EXPECT_EQ(unit.WritesTo(QX5310_CONTROL_BITS), settings);
  EXPECT_EQ(unit.LastWrittenPreferences().mMonitorMode, 2u);
}

}  // namespace
