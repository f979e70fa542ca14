// Poll: what it fetches when, the watched values it reports once each, and that a change whose
// fetch failed is reported at the next poll.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "tests/client/TestClient.h"
#include "tests/client/Units.h"

namespace {

using ctest::Machine;
using Notes = std::vector<std::string>;
using ctest::UnitBlocks;

class Polling : public testing::Test {
 protected:
  void SetUp() override {
    main = ctest::PlugUnit(m, ctest::kMain, 7, &mainBlocks);
    program = std::make_unique<ctest::Program>(m.Run());
    Run([&] {
      client = std::make_unique<TestClient>();
      client->EnumerateDevices(kQX531InterfaceClass);
    });
  }
  void TearDown() override {
    Run([&] { client.reset(); });
    program.reset();
  }
  void Run(std::function<void()> job) { program->Do(std::move(job)); }
  Notes Poll() {
    Notes notes;
    Run([&] {
      client->Poll();
      notes = client->Take();
    });
    return notes;
  }
  // The unit's blocks changed as the driver changes them: the change counter moves.
  void Change(const std::function<void(UnitBlocks&)>& edit) {
    edit(mainBlocks);
    ++mainBlocks.changeCount;
    mainBlocks.Install(m, main);
  }
  std::vector<uint32_t> RequestNumbers() {
    std::vector<uint32_t> numbers;
    for (const scripted::LogEntry& e : m.Log(main)) numbers.push_back(e.request);
    return numbers;
  }

  Machine m;
  Machine::Unit main = nullptr;
  UnitBlocks mainBlocks;
  std::unique_ptr<ctest::Program> program;
  std::unique_ptr<TestClient> client;
};

TEST_F(Polling, TheFirstPollReportsEveryWatchedValueThatIsNotItsStartingValueThenTheRecords) {
  Change([](UnitBlocks& b) {
    b.preferences.mContinuousInputs = 3;
    b.preferences.mConverterDelay = 9;
    SharedStateBlock& s = b.shared;
    s.mSampleRate = 48000;
    s.mHardwareVersion = 0x10000;
    s.mStreamMask = 0x3F;
    s.mUnitCount = 2;
    s.mAlive = 1;
    s.mPluggedIn = 1;
    s.mStreaming = 1;
    s.mClockSource = 1;
    s.mInputLocked = 1;
    s.mOption16 = 1;
  });
  EXPECT_EQ(Poll(), (Notes{"OnClockSourceChanged 1", "OnSampleRateChanged 44100", "OnControlProtocolChanged 1",
                           "OnMonitorModeChanged 1", "OnBufferSizeIndexChanged 4", "OnOption6Changed 1",
                           "OnOption7Changed 1", "OnContinuousInputsChanged 3", "OnOption16Changed 1",
                           "OnConverterDelayChanged 9", "OnMasterFaderChanged 1", "OnOpticalOutSourceChanged 1",
                           "OnCoaxOutSourceChanged 1", "OnSpdifInSourceChanged 1", "OnUnitCountChanged 2",
                           "OnStreamMaskChanged 63", "OnAliveChanged 1", "OnPluggedInChanged 1",
                           "OnUnitRateChanged 48000", "OnHardwareVersionChanged 65536", "OnSharedWord8Changed 7",
                           "OnStreamingChanged 1", "OnInputLockedChanged 1", "OnUnitClockSourceChanged 1",
                           "OnUnitOption16Changed 1", "OnUnitRecords"}));
  ASSERT_EQ(client->records.size(), 1u);
  EXPECT_EQ(client->records[0][0].mSerial, 7u);
  EXPECT_STREQ(client->records[0][0].mName, "KR-6 7");
}

TEST_F(Polling, APollWithNothingMovedMakesOneRequestAndReportsNothing) {
  Poll();
  m.ClearLog(main);
  EXPECT_TRUE(Poll().empty());
  EXPECT_EQ(RequestNumbers(), std::vector<uint32_t>{1});
}

TEST_F(Polling, ASettingChangedElsewhereIsReportedAloneAndOnce) {
  Poll();
  Change([](UnitBlocks& b) { b.preferences.mSampleRate = 96000; });
  m.ClearLog(main);
  EXPECT_EQ(Poll(), Notes{"OnSampleRateChanged 96000"});
  EXPECT_EQ(RequestNumbers(), (std::vector<uint32_t>{1, 2, 3, 17}));
  EXPECT_TRUE(Poll().empty());
  Change([](UnitBlocks& b) { b.preferences.mOvrThreshold = 30; });
  EXPECT_EQ(Poll(), Notes{"OnOvrThresholdChanged 30"});
}

TEST_F(Polling, TheUnitListCounterAloneIsNotNoticedUntilTheChangeCounterMoves) {
  Poll();
  mainBlocks.listCount = 2;
  mainBlocks.records[1] = ctest::Record(101, "Wing");
  mainBlocks.Install(m, main);
  m.ClearLog(main);
  EXPECT_TRUE(Poll().empty());
  EXPECT_EQ(RequestNumbers(), std::vector<uint32_t>{1});
  Change([](UnitBlocks&) {});
  EXPECT_EQ(Poll(), Notes{"OnUnitRecords"});
  ASSERT_EQ(client->records.size(), 2u);
  EXPECT_STREQ(client->records[1][1].mName, "Wing");
}

TEST_F(Polling, EachPanelRequestOfTheUnitIsReportedOnceWithoutAValue) {
  Poll();
  Change([](UnitBlocks& b) { b.shared.mPanelRequest = 1; });
  EXPECT_EQ(Poll(), Notes{"OnPanelToggleRequest"});
  Change([](UnitBlocks& b) { b.shared.mPanelRequest = 2; });
  EXPECT_EQ(Poll(), Notes{"OnPanelToggleRequest"});
  EXPECT_TRUE(Poll().empty());
}

TEST_F(Polling, LosingTheLastUnitIsReportedOnceAsAnEmptyTableAndThenNothingIsAsked) {
  Poll();
  Run([&] { client->CloseMain(); });
  m.ClearLog(main);
  EXPECT_EQ(Poll(), Notes{"OnUnitRecords"});
  EXPECT_EQ(client->records.back()[0].mSerial, 0u);
  EXPECT_TRUE(Poll().empty());
  EXPECT_TRUE(m.Log(main).empty());
}

TEST_F(Polling, AnExpansionUnitPolledInsteadOfTheMainUnitReportsOnlyWhatDiffersAndNoMainUnitValues) {
  Change([](UnitBlocks& b) {
    b.shared.mUnitCount = 2;
    b.shared.mSampleRate = 48000;
  });
  Poll();
  ctest::UnitBlocks kr6Blocks;
  Machine::Unit kr6 = ctest::PlugUnit(m, ctest::kKr6, 101, &kr6Blocks);
  kr6Blocks.shared.mUnitCount = 3;
  kr6Blocks.shared.mSampleRate = 88200;
  kr6Blocks.shared.mStreaming = 1;
  kr6Blocks.records[1] = ctest::Record(101, "Wing");
  kr6Blocks.Install(m, kr6);
  std::string path = m.InterfacePath(kr6);
  Run([&] {
    client->OpenDevicePath(path);
    client->CloseMain();
  });
  EXPECT_EQ(Poll(), (Notes{"OnUnitCountChanged 3", "OnUnitRecords"}));
  EXPECT_STREQ(client->records.back()[1].mName, "Wing");
  EXPECT_TRUE(Poll().empty());
}

// A fetch that fails leaves its counter as it was: the next poll fetches again and the change is
// reported once, whichever fetch failed.
TEST_F(Polling, AChangeWhoseFetchFailedIsReportedOnceAtTheNextPoll) {
  const struct {
    const char* what;
    uint32_t request;
  } cases[] = {{"change counter", 1}, {"settings", 2}, {"shared state", 3}, {"unit-list counter", 17},
               {"unit records", 18}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Poll();
    client->records.clear();
    uint32_t rate = mainBlocks.preferences.mSampleRate == 48000 ? 96000 : 48000;
    std::string serial = std::to_string(client->records.size() + mainBlocks.listCount);
    Change([&](UnitBlocks& b) {
      b.preferences.mSampleRate = rate;
      ++b.listCount;
      b.records[2] = ctest::Record(300 + b.listCount, "Unit " + serial);
    });
    m.FailNext(main, c.request, 1);
    Notes notes = Poll();
    for (const std::string& n : Poll()) notes.push_back(n);
    for (const std::string& n : Poll()) notes.push_back(n);
    EXPECT_EQ(notes, (Notes{"OnSampleRateChanged " + std::to_string(rate), "OnUnitRecords"}));
    ASSERT_EQ(client->records.size(), 1u);
    EXPECT_EQ(client->records[0][2].mSerial, 300 + mainBlocks.listCount);
  }
}

TEST_F(Polling, TheDisplayIsFetchedWhenItsCountMovesAsABlockOrElseAsText) {
  uint32_t count = 1;
  char text[111];
  std::memset(text, 'T', 110);
  text[110] = 0;
  uint16_t cells[111] = {};
  for (int i = 0; i < 110; ++i) cells[i] = 'B';
  m.SetReply(main, ctest::Answer(14, &count, 4));
  m.SetReply(main, ctest::Answer(15, text, sizeof text));
  m.SetReply(main, ctest::Answer(25, cells, sizeof cells));
  auto poll = [&] {
    std::vector<std::string> lcd;
    Run([&] {
      client->lcd.clear();
      client->PollActiveLcd();
      lcd = client->lcd;
    });
    return lcd;
  };
  EXPECT_EQ(poll(), std::vector<std::string>{"block " + std::string(110, 'B')});
  EXPECT_TRUE(poll().empty());

  count = 2;
  m.SetReply(main, ctest::Answer(14, &count, 4));
  m.FailNext(main, 25, 1);
  EXPECT_EQ(poll(), std::vector<std::string>{"text " + std::string(110, 'T')});

  count = 3;
  m.SetReply(main, ctest::Answer(14, &count, 4));
  m.FailNext(main, 25, 1);
  m.FailNext(main, 15, 1);
  EXPECT_TRUE(poll().empty());
  EXPECT_EQ(poll(), std::vector<std::string>{"block " + std::string(110, 'B')});
  EXPECT_TRUE(poll().empty());
}

}  // namespace
