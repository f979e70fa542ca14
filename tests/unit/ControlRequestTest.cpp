#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "tests/unit/Requests.h"
#include "tests/unit/UnitDouble.h"
#include "unit/RegisterMap.h"

namespace {

class ControlRequest : public testing::Test {
 protected:
  void SetUp() override {
    main = std::make_unique<UnitDouble>(&store);
    main->LookLikeMainUnit();
    ASSERT_EQ(main->HandlePlugIn(), 0);
  }

  UnitDouble& AddExpansion(uint32_t serial) {
    kr6s.push_back(std::make_unique<UnitDouble>(&store));
    kr6s.back()->LookLikeExpansionUnit(serial);
    EXPECT_EQ(kr6s.back()->HandlePlugIn(), 0);
    return *kr6s.back();
  }

  static LcdTextBlock Display(char fill) {
    LcdTextBlock block{};
    for (std::size_t i = 0; i < LcdTextBlock::kCells; ++i) block.mCells[i] = {static_cast<uint8_t>(fill + i % 10), 0x5A};
    return block;
  }

  SettingsStore store;
  std::unique_ptr<UnitDouble> main;
  std::vector<std::unique_ptr<UnitDouble>> kr6s;
};

TEST_F(ControlRequest, ReadingRequestsNeedTheirOutputLength) {
  const LcdTextBlock display = Display('a');
  main->PublishLcdBlock(&display);
  struct Case {
    uint32_t n;
    uint32_t outputLength;
    int32_t result;
    uint32_t bytes;
  } const cases[] = {
      {1, 3, 99, 0},     {1, 4, 0, 4},       {2, 1167, 99, 0},   {2, 1168, 0, 1168}, {3, 131, 99, 0},
      {3, 132, 0, 132},  {6, 3, 99, 0},      {6, 8, 99, 0},      {6, 4, 0, 4},       {14, 3, 99, 0},
      {14, 4, 0, 4},     {15, 109, 99, 0},   {15, 110, 0, 110},  {17, 3, 99, 0},     {17, 8, 0, 4},
      {18, 1087, 99, 0}, {18, 1088, 0, 1088}, {23, 4, 0, 4},     {24, 109, 99, 0},   {24, 110, 0, 110},
      {25, 219, 99, 0},  {25, 220, 0, 220},  {26, 219, 99, 0},   {26, 4096, 0, 220},
  };
  for (const Case& c : cases) {
    const Answer answer = Ask(*main, c.n, {}, c.outputLength);
    EXPECT_EQ(answer.mResult, c.result) << c.n << "/" << c.outputLength;
    EXPECT_EQ(answer.mBytes, c.bytes) << c.n << "/" << c.outputLength;
    uint32_t bytes = 7;
    EXPECT_EQ(main->HandleControlRequest(c.n, nullptr, 0, c.outputLength, &bytes), 99) << c.n << " without buffer";
    EXPECT_EQ(bytes, 0u);
  }
}

TEST_F(ControlRequest, RequestsThatNeedABufferOrExactLengthsRefuse) {
  struct Case {
    uint32_t n;
    std::vector<uint8_t> input;
    uint32_t outputLength;
  } const cases[] = {
      {5, {3, 0, 0}, 0},          {5, {3, 0, 0, 0, 0}, 0}, {9, {0, 0, 0}, 4},
      {9, Words({0}), 5},         {9, Words({0}), 3},
  };
  for (const Case& c : cases) EXPECT_EQ(Ask(*main, c.n, c.input, c.outputLength).mResult, 99) << c.n;
  for (uint32_t n : {5u, 7u, 8u, 9u, 10u}) {
    EXPECT_EQ(main->HandleControlRequest(n, nullptr, 8, 4, nullptr), 99) << n;
  }
  EXPECT_FALSE(main->IsStreaming());
}

TEST_F(ControlRequest, SettingRequestsWithShortOrWrongInputDoNothingAndSucceed) {
  const PreferencesBlock before = main->CurrentPreferences();
  const uint32_t changes = main->ChangeCount();
  const uint32_t lists = main->UnitListCount();
  main->ForgetWrites();
  struct Case {
    uint32_t n;
    std::vector<uint8_t> input;
  } const cases[] = {
      {8, std::vector<uint8_t>(7)},
      {8, std::vector<uint8_t>(12)},
      {11, Words({PreferencesBlock::kMagic, 7, 8})},
      {11, Words({PreferencesBlock::kMagic, 6, 8, 2})},
      {11, Words({0x51353332, 7, 8, 2})},
      {12, {1, 0, 0}},
      {13, std::vector<uint8_t>(15)},
      {19, std::vector<uint8_t>(67, 1)},
      {19, BytesOf(NameRecord(0, "nobody"))},
      {20, Words({5, 3})},
      {21, Words({5})},
      {21, Words({0, 5})},
      {21, Words({5, 0})},
      {22, Words({1, 2, 3})},
      {27, Words({1})},
      {0x1000, Words({1})},
  };
  for (const Case& c : cases) EXPECT_EQ(Ask(*main, c.n, c.input, 0).mResult, 0) << c.n;
  EXPECT_EQ(std::memcmp(&main->CurrentPreferences(), &before, sizeof before), 0);
  EXPECT_EQ(main->ChangeCount(), changes);
  EXPECT_EQ(main->UnitListCount(), lists);
  EXPECT_EQ(store.mWrites, 0);
  EXPECT_TRUE(main->mWrites.empty());
}

TEST_F(ControlRequest, RequestsOnAUnitNotPluggedInDoNothing) {
  UnitDouble absent(&store);
  for (uint32_t n : {7u, 8u, 10u, 11u, 12u, 13u, 16u, 19u, 20u, 21u}) {
    EXPECT_EQ(Ask(absent, n, Words({PreferencesBlock::kMagic, 7, 8, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), 0)
                  .mResult,
              0)
        << n;
  }
  const Answer read = Ask(absent, 9, Words({0x000}), 4);
  EXPECT_EQ(read.mResult, 0);
  EXPECT_EQ(read.mBytes, 0u);
  EXPECT_TRUE(absent.mWrites.empty());
  EXPECT_EQ(absent.CurrentPreferences().mClockSource, 1u);
  EXPECT_EQ(absent.SharedState().mPanelRequest, 0);
}

TEST_F(ControlRequest, LogIsReadAndWrittenByRequests0And4) {
  Ask(*main, 0, {}, 4096);
  EXPECT_EQ(Ask(*main, 4, {'a', 'b', 'c', 'd', 'e', 'f'}, 0).mResult, 0) << "text without a NUL";
  uint32_t bytes = 0;
  char text[3] = {'x', 'y', 'z'};
  EXPECT_EQ(main->HandleControlRequest(4, text, 2, 0, &bytes), 0);
  EXPECT_EQ(main->HandleControlRequest(4, nullptr, 10, 0, &bytes), 0);
  const Answer first = Ask(*main, 0, {}, 5);
  EXPECT_EQ(first.mResult, 0);
  EXPECT_EQ(std::string(first.mBuffer.begin(), first.mBuffer.begin() + first.mBytes), "abcde");
  const Answer rest = Ask(*main, 0, {}, 100);
  EXPECT_EQ(std::string(rest.mBuffer.begin(), rest.mBuffer.begin() + rest.mBytes), "fxy");
  EXPECT_EQ(main->HandleControlRequest(0, nullptr, 0, 100, &bytes), 0);
  EXPECT_EQ(bytes, 0u);
}

TEST_F(ControlRequest, CountersAndBlocksAreReturnedAsTheyStand) {
  const Answer changes = Ask(*main, 1, {}, 4);
  EXPECT_EQ(changes.Word(0), main->ChangeCount());
  const Answer lists = Ask(*main, 17, {}, 4);
  EXPECT_EQ(lists.Word(0), main->UnitListCount());
  const Answer preferences = Ask(*main, 2, {}, 1168);
  EXPECT_EQ(std::memcmp(preferences.mBuffer.data(), &main->CurrentPreferences(), 1168), 0);
  const Answer state = Ask(*main, 3, {}, 132);
  EXPECT_EQ(std::memcmp(state.mBuffer.data(), &main->SharedState(), 132), 0);
}

TEST_F(ControlRequest, StreamMaskStartsAndStopsAudioAndMidi) {
  struct Case {
    uint32_t mask;
    bool streaming;
    bool midi;
    uint32_t inForce;
  } const cases[] = {
      {0x03, true, true, 0x03}, {0x02, false, true, 0x02}, {0x05, true, false, 0x05},
      {0x08, true, false, 0x08}, {0x00, false, false, 0x00}, {0x1F, true, true, 0x1F},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Ask(*main, 5, Words({c.mask}), 0).mResult, 0) << c.mask;
    EXPECT_EQ(main->IsStreaming(), c.streaming) << c.mask;
    EXPECT_EQ(main->IsMidiRunning(), c.midi) << c.mask;
    EXPECT_EQ(main->SharedState().mStreaming, c.streaming);
    EXPECT_EQ(main->SharedState().mMidiRunning, c.midi);
    EXPECT_EQ(main->SharedState().mStreamMask, c.mask);
    EXPECT_EQ(Ask(*main, 6, {}, 4).Word(0), c.inForce) << c.mask;
  }
  UnitDouble& kr6 = AddExpansion(4);
  EXPECT_EQ(Ask(kr6, 5, Words({0x1F}), 0).mResult, 0);
  EXPECT_FALSE(kr6.IsStreaming());
  EXPECT_TRUE(kr6.IsMidiRunning());
  EXPECT_EQ(Ask(kr6, 6, {}, 4).Word(0), 0x02u);
}

TEST_F(ControlRequest, StreamMaskReportsTheFirstFailure) {
  main->mResults["AllocateIsochStream0"] = 7;
  EXPECT_EQ(Ask(*main, 5, Words({3}), 0).mResult, 7) << "the MIDI start that followed succeeded";
  EXPECT_TRUE(main->IsMidiRunning());
  EXPECT_EQ(Ask(*main, 6, {}, 4).Word(0), 0x02u);
}

TEST_F(ControlRequest, FailedStreamStartFreesItsStreamsSoTheNextStartWorks) {
  main->mResults["StartIsochStreams"] = 6;
  EXPECT_EQ(Ask(*main, 5, Words({1}), 0).mResult, 6);
  EXPECT_FALSE(main->IsStreaming());
  EXPECT_NE(std::find(main->mCalls.begin(), main->mCalls.end(), "FreeIsochStream0"), main->mCalls.end());
  EXPECT_NE(std::find(main->mCalls.begin(), main->mCalls.end(), "FreeIsochStream1"), main->mCalls.end());
  main->mResults.erase("StartIsochStreams");
  EXPECT_EQ(Ask(*main, 5, Words({1}), 0).mResult, 0);
  EXPECT_TRUE(main->IsStreaming());
  EXPECT_EQ(main->SharedState().mStreaming, 1);
}

TEST_F(ControlRequest, StreamStartProgramsTheStreamRegisters) {
  main->ForgetWrites();
  ASSERT_EQ(Ask(*main, 5, Words({1}), 0).mResult, 0);
  const std::vector<BusOp> expected = {
      W(RECORD_ISOCHANNEL, 1),         W(RECORD_ISOSPEED, 2),  W(PLAYBACK_ISOCHANNEL, 2),
      W(QX5310_CONTROL_BITS, 0x200000), W(QX5310_INPUT_MASK, 0), W(QX5310_OUTPUT_MASK, 0),
      W(QX5310_PACKET_PARAM, 13),      W(QX5310_RATE_CLOCK, 0x101),
  };
  EXPECT_EQ(main->mWrites, expected);
  const std::string log = [this] {
    const Answer answer = Ask(*main, 0, {}, 4096);
    return std::string(answer.mBuffer.begin(), answer.mBuffer.begin() + answer.mBytes);
  }();
  EXPECT_NE(log.find("   New RECORD_ISOCHANNEL   0x00000001\n"), std::string::npos);
  EXPECT_NE(log.find("   New PLAYBACK_ISOCHANNEL 0x00000002\n"), std::string::npos);
}

TEST_F(ControlRequest, RegisterAndBlockRequestsReachTheUnit) {
  main->ForgetWrites();
  const uint32_t changes = main->ChangeCount();
  EXPECT_EQ(Ask(*main, 8, Words({QX5310_PROGRAMMING_WORD, 0x4A123456}), 0).mResult, 0);
  EXPECT_EQ(main->SharedState().mProgrammingWord, 0x4A123456u);
  EXPECT_EQ(main->ChangeCount(), changes + 1);
  EXPECT_EQ(Ask(*main, 8, Words({0x188, 9}), 0).mResult, 0);
  EXPECT_EQ(main->ChangeCount(), changes + 1);
  EXPECT_EQ(Ask(*main, 7, {}, 0).mResult, 0);
  EXPECT_EQ(Ask(*main, 7, {0x90, 0x3C, 0x64}, 0).mResult, 0);
  EXPECT_EQ(Ask(*main, 10, {}, 0).mResult, 0);
  EXPECT_EQ(Ask(*main, 10, {1, 2, 3, 4, 5}, 0).mResult, 0);
  const std::vector<BusOp> expected = {
      W(QX5310_PROGRAMMING_WORD, 0x4A123456),
      W(0x188, 9),
      BusOp{BusOp::WriteBlock, QX5310_MIDI_OUT_WINDOW, 0, {0x90, 0x3C, 0x64}},
      BusOp{BusOp::WriteBlock, QX5310_FLASH_DATA_WINDOW, 0, {}},
      BusOp{BusOp::WriteBlock, QX5310_FLASH_DATA_WINDOW, 0, {1, 2, 3, 4, 5}},
  };
  EXPECT_EQ(main->mWrites, expected);
  main->mRegisters[QX5310_FLASH_COMMAND] = 0xA5A5;
  const Answer read = Ask(*main, 9, Words({QX5310_FLASH_COMMAND}), 4);
  EXPECT_EQ(read.mResult, 0);
  EXPECT_EQ(read.mBytes, 4u);
  EXPECT_EQ(read.Word(0), 0xA5A5u);
}

TEST_F(ControlRequest, SetPreferenceAcceptsOnlySettingsWithValidValues) {
  struct Case {
    uint32_t id;
    uint32_t value;
    int32_t result;
    bool applied;
  } const cases[] = {
      {8, 2, 0, true},        {8, 5, 99, false},       {12, 48000, 0, true}, {12, 32000, 99, false},
      {16, 3, 0, true},       {16, 0, 99, false},      {20, 7, 0, true},     {20, 8, 99, false},
      {40, 2, 0, true},       {40, 0, 99, false},      {48, 4, 0, true},     {48, 5, 99, false},
      {52, 2, 0, true},       {52, 3, 99, false},      {56, 2, 0, true},     {56, 3, 99, false},
      {60, 5, 0, true},       {60, 0, 99, false},      {44, 51, 0, true},    {68, 0xF, 0, true},
      {1164, 1, 0, true},     {0, 1, 99, false},       {4, 6, 99, false},    {10, 2, 99, false},
      {1165, 1, 0, false},    {1168, 1, 0, false},     {0xFFFFFFFC, 1, 0, false},
  };
  for (const Case& c : cases) {
    const uint32_t before = main->CurrentPreferences().Word(c.id);
    const int32_t writes = store.mWrites;
    EXPECT_EQ(SetPreferenceOn(*main, c.id, c.value), c.result) << c.id << "=" << c.value;
    EXPECT_EQ(main->CurrentPreferences().Word(c.id), c.applied ? c.value : before) << c.id << "=" << c.value;
    EXPECT_EQ(store.mWrites, writes + (c.applied ? 1 : 0)) << c.id << "=" << c.value;
  }
}

TEST_F(ControlRequest, SetPreferenceReachesEveryUnitAndTheStore) {
  UnitDouble& kr6 = AddExpansion(21);
  const uint32_t mainChanges = main->ChangeCount();
  const uint32_t kr6Changes = kr6.ChangeCount();
  ASSERT_EQ(SetPreferenceOn(kr6, PreferencesBlock::kParamMonitorMode, 3), 0);
  for (UnitDouble* unit : {main.get(), &kr6}) {
    EXPECT_EQ(unit->CurrentPreferences().mMonitorMode, 3u);
    EXPECT_EQ(unit->WritesTo(QX5310_CONTROL_BITS).back(), Q(QX5310_CONTROL_BITS, 0x4001000));
  }
  EXPECT_GT(main->ChangeCount(), mainChanges);
  EXPECT_GT(kr6.ChangeCount(), kr6Changes);
  EXPECT_EQ(store.mBlock.mMonitorMode, 3u);
}

TEST_F(ControlRequest, PanelRequestCountsWhilePanelIsAttachedElseAsksThePlatform) {
  main->HandleModeCommand(3, 1);
  EXPECT_EQ(main->mPanelRequests, 1);
  EXPECT_EQ(Ask(*main, 12, Words({1}), 0).mResult, 0);
  main->HandleModeCommand(0x10003, 0x20001);
  main->HandleModeCommand(3, 1);
  main->HandleModeCommand(3, 2);
  EXPECT_EQ(main->SharedState().mPanelRequest, 2);
  EXPECT_EQ(main->mPanelRequests, 1);
  EXPECT_EQ(Ask(*main, 16, {}, 0).mResult, 0);
  EXPECT_EQ(main->SharedState().mPanelRequest, 1);
}

TEST_F(ControlRequest, InputMonitorFieldsCannotSpillIntoEachOther) {
  struct Case {
    uint32_t channel, on, gain, pan;
    uint32_t word;
  } const cases[] = {
      {3, 0, 0, 0, 0x83000000},
      {3, 1, 0x20000000, 0x7FFFFFFF, 0x03FF8000},
      {0xFF, 1, 0, 0, 0x7F000000},
      {0, 1, 0xFFFFFFFF, 0, 0x0000FFFF},
      {0, 1, 0x3FFFDFFF, 0, 0x0000FFFF},
      {0, 1, 0x3FFFDFFE - 0x3FFF, 0, 0x0000FFFE},
      {0, 1, 0, 0x80000000, 0x00000000},
      {0, 1, 0, 0xFFFFFFFF, 0x00000000},
      {0, 1, 0, 0x7FBFFFFF, 0x00FF0000},
      {0, 1, 0, 0x00400000, 0x00010000},
  };
  for (const Case& c : cases) {
    main->ForgetWrites();
    ASSERT_EQ(Ask(*main, 13, Words({c.channel, c.on, c.gain, c.pan}), 0).mResult, 0);
    EXPECT_EQ(main->mWrites, std::vector<BusOp>{W(QX5310_INPUT_MONITOR, c.word)})
        << std::hex << c.channel << " " << c.gain << " " << c.pan;
  }
}

TEST_F(ControlRequest, DisplayRequestsAnswerForTheActiveOrTheAskedUnit) {
  for (uint32_t n : {15u, 24u, 25u, 26u}) EXPECT_EQ(Ask(*main, n, {}, 220).mResult, 99) << n << " before any text";
  UnitDouble& kr6 = AddExpansion(8);
  const LcdTextBlock mainText = Display('a');
  const LcdTextBlock kr6Text = Display('k');
  main->PublishLcdBlock(&mainText);
  kr6.PublishLcdBlock(&kr6Text);
  kr6.HandleModeCommand(4, 0);
  EXPECT_EQ(kr6.SharedState().mActive, 1);
  EXPECT_EQ(main->SharedState().mActive, 0);

  const Answer activeText = Ask(*main, 15, {}, 110);
  const Answer ownText = Ask(*main, 24, {}, 110);
  EXPECT_EQ(activeText.mBuffer[0], 'k');
  EXPECT_EQ(activeText.mBuffer[109], 'k' + 9);
  EXPECT_EQ(ownText.mBuffer[1], 'b');
  const Answer activeBlock = Ask(*main, 25, {}, 220);
  const Answer ownBlock = Ask(*main, 26, {}, 220);
  EXPECT_EQ(std::memcmp(activeBlock.mBuffer.data(), &kr6Text, 220), 0);
  EXPECT_EQ(std::memcmp(ownBlock.mBuffer.data(), &mainText, 220), 0);
  EXPECT_EQ(Ask(*main, 14, {}, 4).Word(0), Ask(kr6, 23, {}, 4).Word(0));
  EXPECT_NE(Ask(*main, 14, {}, 4).Word(0), Ask(*main, 23, {}, 4).Word(0));

  const uint32_t stamp = Ask(kr6, 23, {}, 4).Word(0);
  const uint32_t changes = kr6.ChangeCount();
  kr6.HandleModeCommand(4, 0);
  EXPECT_EQ(Ask(kr6, 23, {}, 4).Word(0), stamp) << "making the active unit active changes nothing";
  EXPECT_EQ(kr6.ChangeCount(), changes);

  UnitDouble loose(&store);
  const LcdTextBlock looseText = Display('z');
  loose.PublishLcdBlock(&looseText);
  main->HandleUnPlug();
  kr6.HandleUnPlug();
  EXPECT_EQ(Ask(loose, 15, {}, 110).mBuffer[0], 'z') << "no active unit: the unit asked answers";
  EXPECT_EQ(Ask(loose, 14, {}, 4).Word(0), Ask(loose, 23, {}, 4).Word(0));
}

TEST_F(ControlRequest, UnitRecordsListPresentUnitsInBlockOrder) {
  UnitDouble& a = AddExpansion(31);
  UnitDouble& b = AddExpansion(32);
  b.HandleUnPlug();
  AddExpansion(33);
  const Answer records = Ask(*main, 18, {}, 1088);
  ASSERT_EQ(records.mResult, 0);
  UnitNameRecord got[16];
  std::memcpy(got, records.mBuffer.data(), sizeof got);
  EXPECT_EQ(got[0].mSerial, 33u);
  EXPECT_EQ(got[1].mSerial, 31u);
  EXPECT_EQ(got[2].mSerial, 0u) << "serial 32 has a record but no unit";
  EXPECT_EQ(got[2].mName[0], 0);
  EXPECT_STREQ(got[1].mName, "KR-6 31");
  (void)a;
}

TEST_F(ControlRequest, RenamingKeepsAll64NameBytesAndTellsEveryUnit) {
  UnitDouble& kr6 = AddExpansion(41);
  UnitNameRecord renamed{};
  renamed.mSerial = 41;
  std::memset(renamed.mName, 'N', sizeof renamed.mName);
  const uint32_t kr6Lists = kr6.UnitListCount();
  const int32_t writes = store.mWrites;
  ASSERT_EQ(Ask(*main, 19, BytesOf(renamed), 0).mResult, 0);
  EXPECT_EQ(std::memcmp(&kr6.SharedState().mUnitName, &renamed, sizeof renamed), 0);
  EXPECT_EQ(std::memcmp(&kr6.CurrentPreferences().mUnitNames[0], &renamed, sizeof renamed), 0);
  ASSERT_EQ(main->mPortNames.size(), 1u);
  EXPECT_EQ(std::memcmp(&main->mPortNames[0], &renamed, sizeof renamed), 0);
  EXPECT_EQ(kr6.UnitListCount(), kr6Lists + 1);
  EXPECT_EQ(store.mWrites, writes + 1);
  const Answer records = Ask(*main, 18, {}, 1088);
  EXPECT_EQ(std::memcmp(records.mBuffer.data(), &renamed, sizeof renamed), 0);
}

TEST_F(ControlRequest, RenamingPurgesRecords8To14OfAbsentUnits) {
  UnitDouble& present = AddExpansion(50);
  PreferencesBlock block = present.CurrentPreferences();
  const uint32_t serials[16] = {50, 60, 61, 62, 63, 64, 65, 66, 67, 68, 50, 69, 0, 70, 71, 72};
  for (int r = 0; r < 16; ++r) block.mUnitNames[r] = NameRecord(serials[r], "r");
  store = SettingsStore{true, block, 0};
  main.reset();
  kr6s.clear();
  SetUp();
  UnitDouble& unit = AddExpansion(50);
  ASSERT_EQ(Ask(*main, 19, BytesOf(NameRecord(99, "nobody")), 0).mResult, 0);
  // 67 goes and 68 moves up unseen; 50 is present; 69, then 70 and then 72 go as they move up.
  const uint32_t expected[16] = {50, 60, 61, 62, 63, 64, 65, 66, 68, 50, 0, 71, 0, 0, 0, 0};
  for (int r = 0; r < 16; ++r) EXPECT_EQ(unit.CurrentPreferences().mUnitNames[r].mSerial, expected[r]) << r;
  EXPECT_TRUE(main->mPortNames.empty()) << "no record carried serial 99";
  EXPECT_EQ(store.mBlock.mUnitNames[11].mSerial, 71u);
}

TEST_F(ControlRequest, SwappingRecordsChangesUnitOrder) {
  AddExpansion(81);
  AddExpansion(82);
  const int32_t writes = store.mWrites;
  ASSERT_EQ(Ask(*main, 21, Words({81, 82}), 0).mResult, 0);
  EXPECT_EQ(main->CurrentPreferences().mUnitNames[0].mSerial, 81u);
  EXPECT_EQ(main->CurrentPreferences().mUnitNames[1].mSerial, 82u);
  EXPECT_EQ(kr6s[0]->CurrentPreferences().mUnitNames[0].mSerial, 81u);
  EXPECT_EQ(store.mWrites, writes + 1);
  const uint32_t lists = main->UnitListCount();
  ASSERT_EQ(Ask(*main, 21, Words({81, 999}), 0).mResult, 0);
  EXPECT_EQ(main->CurrentPreferences().mUnitNames[0].mSerial, 81u) << "one record missing: no swap";
  EXPECT_EQ(main->UnitListCount(), lists + 1);
}

TEST_F(ControlRequest, UnitLampReachesOnlyAnExpansionUnitWithAValidLampAndState) {
  UnitDouble& kr6 = AddExpansion(90);
  kr6.ForgetWrites();
  main->ForgetWrites();
  struct Case {
    uint32_t serial, lamp, state;
  } const cases[] = {{90, 115, 1}, {90, 5, 2}, {91, 5, 1}, {0, 5, 1}, {90, 5, 1}, {90, 5, 1}};
  for (const Case& c : cases) EXPECT_EQ(Ask(*main, 20, Words({c.serial, c.lamp, c.state}), 0).mResult, 0);
  EXPECT_EQ(kr6.mWrites, std::vector<BusOp>{Q(QX5310_LAMP, 0x10000 | 146)});
  EXPECT_TRUE(main->mWrites.empty());
}

}  // namespace
