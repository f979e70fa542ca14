#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "tests/unit/Requests.h"
#include "tests/unit/UnitDouble.h"
#include "unit/OvrTable.h"
#include "unit/RegisterMap.h"

namespace {

std::string ReadLog(QX531Device& unit) {
  const Answer answer = Ask(unit, 0, {}, 4096);
  return std::string(answer.mBuffer.begin(), answer.mBuffer.begin() + answer.mBytes);
}

std::unique_ptr<UnitDouble> PlugMain(SettingsStore* store = nullptr) {
  auto unit = std::make_unique<UnitDouble>(store);
  unit->LookLikeMainUnit();
  EXPECT_EQ(unit->HandlePlugIn(), 0);
  return unit;
}

std::unique_ptr<UnitDouble> PlugExpansion(uint32_t guidSerial, SettingsStore* store = nullptr) {
  auto unit = std::make_unique<UnitDouble>(store);
  unit->LookLikeExpansionUnit(guidSerial);
  EXPECT_EQ(unit->HandlePlugIn(), 0);
  return unit;
}

TEST(PlugIn, MainUnitReportsItsVersionsAndTakesSlotZeroAsActiveUnit) {
  auto main = PlugMain();
  const SharedStateBlock& state = main->SharedState();
  EXPECT_EQ(main->UnitKind(), QX531Device::kKindMain);
  EXPECT_TRUE(main->HasAudio());
  EXPECT_TRUE(main->IsPluggedIn());
  EXPECT_EQ(main->Serial(), 0u);
  EXPECT_EQ(state.mRegisterVersion, 0x00020005u);
  EXPECT_EQ(state.mFpgaVersion, 0x107u);
  EXPECT_EQ(state.mArmVersion, 0x203u);
  EXPECT_EQ(state.mSerial, 0u);
  EXPECT_EQ(state.mUnitKind, 1);
  EXPECT_EQ(state.mPluggedIn, 1);
  EXPECT_EQ(state.mUnitIndex, 0);
  EXPECT_EQ(state.mUnitCount, 1);
  EXPECT_EQ(state.mActive, 1);
  EXPECT_EQ(state.mAlive, 1);
  EXPECT_EQ(state.mReserved32, 7u);
  EXPECT_EQ(state.mUnitName.mSerial, 0u);
  EXPECT_EQ(main->GetActiveUnit(), main.get());
  EXPECT_EQ(main->UnitListCount(), 1u);
}

TEST(PlugIn, MainUnitOpensItsHandlesInOrder) {
  auto main = PlugMain();
  const std::vector<std::pair<uint32_t, uint32_t>> expected = {
      {0, 0},                                          // synchronous access
      {1, 0},                                          // requests 7 and 10
      {0, 1}, {0, 1}, {1, 1}, {0, 1}, {0, 1},          // lamp, fader, MIDI out, settings, notification
      {0, 1}, {0, 1}, {0, 1}, {0, 1}, {0, 1},          // stream enables, disables and restart
  };
  EXPECT_EQ(main->mOpenedHandles, expected);
  EXPECT_EQ(main->mLiveBuffers, 140);
}

TEST(PlugIn, MainUnitLogsWhatItFound) {
  auto main = PlugMain();
  const std::string log = ReadLog(*main);
  for (const char* line : {
           "QX5310DeviceHandlePlugIn\n",
           "   Driver Register Version 0x00000014\n",
           "   QX5310_REGISTER_VERSION 0x00020005\n",
           "   QX5310_HARDWARE_SERIAL  0x00000000\n",
           "   QX5310_GUID_LSB         0x12345678\n",
           "QX5310DeviceHandlePlugIn mRegBaseAddress        0xF0000000\n",
           "QX5310DeviceHandlePlugIn mMIDIReceiveLo         0x00100000\n",
       }) {
    EXPECT_NE(log.find(line), std::string::npos) << line;
  }
  EXPECT_EQ(log.find("mAsyncReceiveHi"), std::string::npos);
}

TEST(PlugIn, MainUnitProgramsItsStreamRegistersThenForcesLamps89And4) {
  UnitDouble main;
  main.LookLikeMainUnit();
  main.mRegisters[QX5310_RATE_CLOCK] = 0x0201;
  main.mRegisters[QX5310_OVR_LEVEL] = uint32_t{OvrLevel(25)} << 16;
  ASSERT_EQ(main.HandlePlugIn(), 0);
  const std::vector<BusOp> expected = {
      W(QX5310_CONTROL_BITS, 0x200000), W(QX5310_INPUT_MASK, 0), W(QX5310_OUTPUT_MASK, 0),
      W(QX5310_PACKET_PARAM, 13),       W(QX5310_RATE_CLOCK, 0x0201),
      Q(QX5310_LAMP, 0x10000 | 169),    Q(QX5310_LAMP, 0x10000 | 110),
  };
  EXPECT_EQ(main.mWrites, expected);
}

TEST(PlugIn, ExpansionUnitSendsEverySettingThenTheLampsInOrderWhileCompletionsAreHeld) {
  auto main = PlugMain();
  UnitDouble kr6;
  kr6.LookLikeExpansionUnit(77);
  kr6.mCompletions = UnitDouble::Completions::Held;
  ASSERT_EQ(kr6.HandlePlugIn(), 0);
  kr6.ReleaseAll();
  const std::vector<BusOp> settings = {
      Q(QX5310_RATE_CLOCK, 0x0101),    Q(QX5310_CONTROL_BITS, 0x100000), Q(QX5310_CONTROL_BITS, 0x400000),
      Q(QX5310_OVR_LEVEL, 0x47FA0104), Q(QX5310_CONTROL_BITS, 0xC0000),  Q(QX5310_CONTROL_BITS, 0x20000),
      Q(QX5310_CONTROL_BITS, 0x10000),
  };
  const std::vector<BusOp> lamps = {Q(QX5310_LAMP, 0x10000 | 142), Q(QX5310_LAMP, 0x10000 | 242)};
  std::vector<BusOp> sentSettings;
  for (const BusOp& op : kr6.QueuedWrites()) {
    if (op.mOffset != QX5310_LAMP) sentSettings.push_back(op);
  }
  EXPECT_EQ(sentSettings, settings);
  EXPECT_EQ(kr6.WritesTo(QX5310_LAMP), lamps);
  EXPECT_EQ(kr6.mMostHeld, 2) << "one settings write and one lamp write at a time";
  EXPECT_FALSE(kr6.mQueuedValueChanged);
}

TEST(PlugIn, ExpansionUnitGetsItsSerialDefaultNameAndAsyncWindow) {
  SettingsStore store;
  auto main = PlugMain(&store);
  auto kr6 = PlugExpansion(1234, &store);
  const SharedStateBlock& state = kr6->SharedState();
  EXPECT_EQ(kr6->UnitKind(), QX531Device::kKindExpansion);
  EXPECT_FALSE(kr6->HasAudio());
  EXPECT_EQ(kr6->mLiveBuffers, 0);
  EXPECT_EQ(kr6->mOpenedHandles.size(), 7u);
  EXPECT_EQ(state.mSerial, 1234u);
  EXPECT_EQ(state.mUnitKind, 2);
  EXPECT_EQ(state.mUnitIndex, 1);
  EXPECT_EQ(state.mUnitCount, 2);
  EXPECT_EQ(main->SharedState().mUnitCount, 2);
  EXPECT_EQ(state.mActive, 0);
  EXPECT_STREQ(state.mUnitName.mName, "KR-6 1234");
  EXPECT_EQ(kr6->CurrentPreferences().mUnitNames[0].mSerial, 1234u);
  EXPECT_EQ(main->CurrentPreferences().mUnitNames[0].mSerial, 1234u) << "the block goes to every unit";
  EXPECT_EQ(store.mBlock.mUnitNames[0].mSerial, 1234u);
  EXPECT_EQ(main->UnitListCount(), 2u);
  const std::string log = ReadLog(*kr6);
  EXPECT_NE(log.find("QX5310DeviceHandlePlugIn mAsyncReceiveLo        0x00200000\n"), std::string::npos);
}

TEST(PlugIn, ExpansionUnitArrivingWithoutMainUnitBecomesActive) {
  auto first = PlugExpansion(5);
  EXPECT_EQ(first->SharedState().mActive, 1);
  auto second = PlugExpansion(6);
  EXPECT_EQ(first->SharedState().mActive, 0);
  EXPECT_EQ(second->SharedState().mActive, 1);
  EXPECT_EQ(first->GetActiveUnit(), second.get());
  auto main = PlugMain();
  EXPECT_EQ(main->SharedState().mActive, 1);
  EXPECT_EQ(second->SharedState().mActive, 0);
  auto third = PlugExpansion(7);
  EXPECT_EQ(third->SharedState().mActive, 0);
}

TEST(PlugIn, SerialsAreNonzeroAndUnique) {
  struct Case {
    std::vector<uint32_t> guids;
    std::vector<uint32_t> serials;
  } const cases[] = {
      {{0}, {1}},
      {{5, 5, 5}, {5, 6, 7}},
      {{0, 1}, {1, 2}},
      {{0xFFFFFFFF, 0xFFFFFFFF}, {0xFFFFFFFF, 1}},
  };
  for (const Case& c : cases) {
    std::vector<std::unique_ptr<UnitDouble>> units;
    for (uint32_t guid : c.guids) units.push_back(PlugExpansion(guid));
    for (std::size_t i = 0; i < units.size(); ++i) EXPECT_EQ(units[i]->Serial(), c.serials[i]) << i;
  }
}

TEST(PlugIn, SettingsComeFromAnotherUnitElseTheStoreElseDefaults) {
  PreferencesBlock stored = PreferencesBlock::Defaults();
  stored.mBufferSizeIndex = 6;
  stored.mControlProtocol = 3;
  PreferencesBlock wrongMagic = stored;
  wrongMagic.mMagic = 0x51353332;
  PreferencesBlock wrongVersion = stored;
  wrongVersion.mVersion = 6;
  PreferencesBlock badField = stored;
  badField.mControlProtocol = 9;

  struct Case {
    const char* name;
    bool storeHasBlock;
    PreferencesBlock block;
    uint32_t bufferSizeIndex;
    uint32_t protocol;
  } const cases[] = {
      {"stored", true, stored, 6, 3},
      {"nothing stored", false, stored, 4, 1},
      {"wrong magic", true, wrongMagic, 4, 1},
      {"wrong version", true, wrongVersion, 4, 1},
      {"invalid field", true, badField, 6, 1},
  };
  for (const Case& c : cases) {
    SettingsStore store{c.storeHasBlock, c.block, 0};
    auto kr6 = PlugExpansion(9, &store);
    EXPECT_EQ(kr6->CurrentPreferences().mBufferSizeIndex, c.bufferSizeIndex) << c.name;
    EXPECT_EQ(kr6->CurrentPreferences().mControlProtocol, c.protocol) << c.name;
  }

  SettingsStore store{true, stored, 0};
  auto main = PlugMain(&store);
  ASSERT_EQ(SetPreferenceOn(*main, PreferencesBlock::kParamControlProtocol, 2), 0);
  SettingsStore otherStore{true, badField, 0};
  auto kr6 = PlugExpansion(9, &otherStore);
  EXPECT_EQ(kr6->CurrentPreferences().mControlProtocol, 2u) << "a present unit's block wins over the store";
  EXPECT_EQ(kr6->CurrentPreferences().mBufferSizeIndex, 6u);
}

TEST(PlugIn, MainUnitTakesClockRateRoutingAndOvrFromItsRegisters) {
  struct Case {
    uint32_t rateClock, control, ovr;
    uint32_t clock, rate, monitor, master, optical, coax, spdif, ovrIndex;
    std::size_t queued;  // the lamps, and the rate word unless the unit reported clock and rate
  } const cases[] = {
      {0x8202, 0x00000000, 32767u << 16, 2, 96000, 1, 1, 1, 1, 1, 0, 2},
      {0x0005, 0x00000010, 31838u << 16, 1, 44100, 3, 1, 1, 1, 1, 2, 3},  // clock 5, no rate code: kept
      {0x0300, 0x01000010, 18000u << 16, 1, 44100, 2, 1, 1, 1, 1, 50, 3},
      {0x8103, 0x00000040, 0, 3, 88200, 1, 2, 1, 1, 1, 50, 2},
      {0x0104, 0x00000008, 0, 4, 44100, 1, 1, 2, 1, 1, 50, 2},
      {0x0104, 0x00000088, 0, 4, 44100, 1, 1, 3, 1, 1, 50, 2},
      {0x0104, 0x0000008C, 0, 4, 44100, 1, 1, 4, 1, 1, 50, 2},
      {0x0104, 0x00000080, 0, 4, 44100, 1, 1, 1, 1, 1, 50, 2},
      {0x0101, 0x00000003, 0, 1, 44100, 1, 1, 1, 2, 2, 50, 2},
  };
  for (const Case& c : cases) {
    UnitDouble main;
    main.LookLikeMainUnit();
    main.mRegisters[QX5310_RATE_CLOCK] = c.rateClock;
    main.mRegisters[QX5310_CONTROL_BITS] = c.control;
    main.mRegisters[QX5310_OVR_LEVEL] = c.ovr;
    ASSERT_EQ(main.HandlePlugIn(), 0);
    const PreferencesBlock& p = main.CurrentPreferences();
    const uint32_t got[] = {p.mClockSource, p.mSampleRate,       p.mMonitorMode,   p.mMasterFader,
                            p.mOpticalOutSource, p.mCoaxOutSource, p.mSpdifInSource, p.mOvrThreshold};
    const uint32_t want[] = {c.clock, c.rate, c.monitor, c.master, c.optical, c.coax, c.spdif, c.ovrIndex};
    for (std::size_t i = 0; i < std::size(want); ++i) {
      EXPECT_EQ(got[i], want[i]) << std::hex << c.control << " field " << i;
    }
    EXPECT_EQ(main.QueuedWrites().size(), c.queued) << "what came from the unit is not written back";
  }
}

TEST(PlugIn, ExpansionUnitLeavesTheMainUnitsSettingsAlone) {
  auto main = PlugMain();
  ASSERT_EQ(SetPreferenceOn(*main, PreferencesBlock::kParamMonitorMode, 2), 0);
  const PreferencesBlock before = main->CurrentPreferences();
  UnitDouble kr6;
  kr6.LookLikeExpansionUnit(3);
  kr6.mRegisters[QX5310_RATE_CLOCK] = 0x8202;
  kr6.mRegisters[QX5310_CONTROL_BITS] = 0x0000008D;
  ASSERT_EQ(kr6.HandlePlugIn(), 0);
  PreferencesBlock after = main->CurrentPreferences();
  std::memcpy(after.mUnitNames, before.mUnitNames, sizeof after.mUnitNames);
  EXPECT_EQ(std::memcmp(&after, &before, sizeof before), 0);
  EXPECT_EQ(kr6.CurrentPreferences().mMonitorMode, 2u);
  EXPECT_EQ(kr6.CurrentPreferences().mSampleRate, 44100u);
}

TEST(PlugIn, SecondPlugInReturns99AndChangesNothing) {
  auto main = PlugMain();
  main->ForgetWrites();
  const uint32_t changes = main->ChangeCount();
  EXPECT_EQ(main->HandlePlugIn(), 99);
  EXPECT_TRUE(main->mWrites.empty());
  EXPECT_EQ(main->ChangeCount(), changes);
}

TEST(PlugIn, FailedStepLeavesTheUnitOutAndFreesWhatItTook) {
  struct Case {
    const char* step;
    int32_t result;
    int32_t failBufferFrom;
  } const cases[] = {
      {"PlatformAttach", 5, -1},  {"ExtractNodeAndGenerationIDs", 6, -1}, {"OpenAddressHandle", 7, -1},
      {"AllocateFWMemorySpace", 8, -1}, {"PlatformStartAudio", 9, -1}, {"", 2, 100},
      {"OpenAddressHandle", 7, 0},  // the first failure is the one reported
  };
  for (const Case& c : cases) {
    UnitDouble main;
    main.LookLikeMainUnit();
    main.mResults[c.step] = c.result;
    main.mFailBufferFrom = c.failBufferFrom;
    EXPECT_EQ(main.HandlePlugIn(), c.result) << c.step;
    EXPECT_FALSE(main.IsPluggedIn());
    EXPECT_EQ(main.SharedState().mPluggedIn, 0);
    EXPECT_EQ(main.SharedState().mUnitCount, 0);
    EXPECT_EQ(main.mLiveBuffers, 0) << c.step;
    EXPECT_EQ(main.mLiveHandles, 0) << c.step;
    EXPECT_TRUE(main.QueuedWrites().empty()) << c.step;
    auto next = PlugMain();
    EXPECT_EQ(next->SharedState().mUnitIndex, 0) << "slot 0 stayed free";
  }
}

TEST(PlugIn, PacketSlotsRunThroughTheBuffersWithoutCrossingAPage) {
  auto main = PlugMain();
  struct Direction {
    const uint8_t* const* a;
    const uint8_t* const* b;
    uint32_t pitch;
  } const directions[] = {
      {main->RecordSlots(0), main->RecordSlots(1), QX531Device::kRecordSlotPitch},
      {main->PlaybackSlots(0), main->PlaybackSlots(1), QX531Device::kPlaybackSlotPitch},
  };
  for (const Direction& d : directions) {
    std::vector<const uint8_t*> slots(d.a, d.a + QX531Device::kPacketsPerList);
    slots.insert(slots.end(), d.b, d.b + QX531Device::kPacketsPerList);
    for (std::size_t i = 0; i < slots.size(); ++i) {
      ASSERT_NE(slots[i], nullptr);
      const auto start = reinterpret_cast<uintptr_t>(slots[i]);
      if (i % 12 == 0) continue;  // the next buffer
      const uintptr_t step = start - reinterpret_cast<uintptr_t>(slots[i - 1]);
      EXPECT_EQ(step, i % 3 == 0 ? 4096 - 2 * d.pitch : d.pitch) << i;
    }
  }
}

TEST(PlugIn, UnplugHandsActivityOnFreesEverythingAndMayRunTwice) {
  auto main = PlugMain();
  auto kr6 = PlugExpansion(10);
  ASSERT_EQ(Ask(*main, 5, Words({3}), 0).mResult, 0);
  main->ForgetWrites();
  const uint32_t kr6Lists = kr6->UnitListCount();
  EXPECT_EQ(main->HandleUnPlug(), 0);
  EXPECT_EQ(main->WritesTo(QX5310_MIDI_NOTIFY_ENABLE), std::vector<BusOp>{W(QX5310_MIDI_NOTIFY_ENABLE, 0)});
  EXPECT_FALSE(main->IsPluggedIn());
  EXPECT_FALSE(main->IsStreaming());
  EXPECT_EQ(main->SharedState().mPluggedIn, 0);
  EXPECT_EQ(main->mLiveBuffers, 0);
  EXPECT_EQ(main->mLiveHandles, 0);
  EXPECT_EQ(kr6->SharedState().mActive, 1);
  EXPECT_EQ(kr6->SharedState().mUnitCount, 1);
  EXPECT_EQ(kr6->UnitListCount(), kr6Lists + 1);
  const auto calls = main->mCalls.size();
  EXPECT_EQ(main->HandleUnPlug(), 0);
  for (std::size_t i = calls; i < main->mCalls.size(); ++i) {
    EXPECT_NE(main->mCalls[i], "PlatformDetach");
    EXPECT_NE(main->mCalls[i], "PlatformStopAudio");
  }
  auto again = PlugMain();
  EXPECT_EQ(again->SharedState().mUnitIndex, 0);
}

TEST(PlugIn, NewNameRecordGoesFirstAndDisplacesARecordOfNoPresentUnit) {
  SettingsStore store{true, PreferencesBlock::Defaults(), 0};
  auto present = PlugExpansion(200, &store);
  PreferencesBlock block = present->CurrentPreferences();
  const uint32_t serials[16] = {100, 200, 101, 102, 103, 104, 105, 106, 107, 108, 109, 110, 111, 112, 113, 200};
  for (int r = 0; r < 16; ++r) block.mUnitNames[r] = NameRecord(serials[r], "x");
  store.mBlock = block;
  present.reset();
  auto kept = PlugExpansion(200, &store);
  auto added = PlugExpansion(300);
  const uint32_t expected[16] = {300, 100, 200, 101, 102, 103, 104, 105, 106, 107, 108, 109, 110, 111, 112, 200};
  for (int r = 0; r < 16; ++r) EXPECT_EQ(added->CurrentPreferences().mUnitNames[r].mSerial, expected[r]) << r;
  EXPECT_STREQ(kept->SharedState().mUnitName.mName, "x") << "a unit with a record keeps its name";
}

}  // namespace
