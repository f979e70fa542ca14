#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/unit/Requests.h"
#include "tests/unit/StreamDouble.h"
#include "unit/StatusWords.h"

namespace {

std::string ReadLog(QX531Device& unit) {
  const Answer answer = Ask(unit, 0, {}, 4096);
  return std::string(answer.mBuffer.begin(), answer.mBuffer.begin() + answer.mBytes);
}

class StatusWordsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unit.LookLikeMainUnit();
    ASSERT_EQ(unit.HandlePlugIn(), 0);
    // A held button reads 0: start with every button released.
    for (uint32_t b = 0; b < 2048; ++b) {
      unit.StatusIndexArray()[b] = 6 + b % 4;
      unit.StatusValueArray()[b] = 0xFFFFFFFF;
    }
    unit.HandleStatusWords(2048);
  }

  void Word(uint32_t index, uint32_t value, uint32_t blocks = 2048) {
    for (uint32_t b = 0; b < blocks; ++b) {
      unit.StatusIndexArray()[b] = index;
      unit.StatusValueArray()[b] = value;
    }
    unit.HandleStatusWords(blocks);
  }

  StreamDouble unit;
};

TEST_F(StatusWordsTest, OnlyTheLastSixtyFourBlocksOfABufferAreStored) {
  struct Case {
    uint32_t blocks;
    uint32_t firstStored;
  };
  for (const Case c : {Case{10, 0}, Case{300, 236}}) {
    StreamDouble fresh;
    for (uint32_t b = 0; b < c.blocks; ++b) {
      fresh.StatusIndexArray()[b] = 0xFFFFFF00u | (b % 64);  // only the low 6 bits index
      fresh.StatusValueArray()[b] = 1000 + b;
    }
    fresh.HandleStatusWords(c.blocks);
    for (uint32_t word = 0; word < 64; ++word) {
      uint32_t expected = 0;
      for (uint32_t b = c.firstStored; b < c.blocks; ++b) {
        if (b % 64 == word) expected = 1000 + b;
      }
      EXPECT_EQ(fresh.Status().mWords[word], expected) << c.blocks << " blocks, word " << word;
    }
  }
}

TEST(StatusWordsTake, EachWordComesFromTheLastPairThatNamesIt) {
  struct Case {
    const char* what;
    uint32_t count;
    uint32_t (*index)(uint32_t i);
  };
  const Case cases[] = {
      {"in turn from word 0", 64, [](uint32_t i) { return i; }},
      {"in turn from word 40, wrapping", 64, [](uint32_t i) { return 40 + i; }},
      {"a short run wrapping", 20, [](uint32_t i) { return 50 + i; }},
      {"a short run not wrapping", 32, [](uint32_t i) { return 3 + i; }},
      {"in turn with high bits set", 64, [](uint32_t i) { return 0xABCDEF00u | ((17 + i) % 64); }},
      {"high bits changing along the run", 64, [](uint32_t i) { return (i << 6) | ((5 + i) % 64); }},
      {"a word repeated", 64, [](uint32_t i) { return i == 30 ? 29u : i; }},
      {"every pair one word", 64, [](uint32_t) { return 7u; }},
      {"backwards", 64, [](uint32_t i) { return 63 - i; }},
      {"one pair", 1, [](uint32_t) { return 63u; }},
      {"none", 0, [](uint32_t i) { return i; }},
  };
  for (const Case& c : cases) {
    uint32_t index[64], value[64];
    for (uint32_t i = 0; i < c.count; ++i) {
      index[i] = c.index(i);
      value[i] = 0x1000 + i;
    }
    StatusWords words;
    for (uint32_t w = 0; w < StatusWords::kWords; ++w) words.mWords[w] = 0xDEAD0000 | w;
    uint32_t expected[StatusWords::kWords];
    std::memcpy(expected, words.mWords, sizeof expected);
    for (uint32_t i = 0; i < c.count; ++i) expected[index[i] % 64] = value[i];
    words.Take(index, value, c.count);
    for (uint32_t w = 0; w < StatusWords::kWords; ++w) EXPECT_EQ(words.mWords[w], expected[w]) << c.what << ", word " << w;
  }
}

TEST_F(StatusWordsTest, DispatchesOnceEnoughFramesForFiveMillisecondsArrived) {
  struct Case {
    uint32_t rate;
    uint32_t frames;
    uint32_t buffersPerDispatch;
  };
  for (const Case c : {Case{48000, 64, 4}, Case{44100, 64, 4}, Case{88200, 128, 4}, Case{96000, 256, 2}, Case{44100, 2048, 1}}) {
    unit.SetSampleRate(c.rate);
    unit.mDispatches = 0;
    for (uint32_t n = 1; n <= 3 * c.buffersPerDispatch; ++n) {
      Word(0, 0, c.frames);
      EXPECT_EQ(unit.mDispatches, n / c.buffersPerDispatch) << c.rate << " " << c.frames << " buffer " << n;
    }
  }
}

TEST_F(StatusWordsTest, ARateAndClockChangeIsLoggedAndTakenIntoTheBlocks) {
  Word(52, 0x0101);
  const uint32_t changes = unit.ChangeCount();
  Word(52, 0x0201);
  EXPECT_NE(ReadLog(unit).find("New sample rate/clock: 0x00000201\n"), std::string::npos);
  EXPECT_EQ(unit.SharedState().mSampleRate, 48000u);
  EXPECT_EQ(unit.CurrentPreferences().mSampleRate, 48000u);
  EXPECT_EQ(unit.RequestedPreferences().mSampleRate, 48000u);
  EXPECT_GT(unit.ChangeCount(), changes);

  Word(52, 0x0201 | 0x7000);  // bits outside 0x8307
  EXPECT_EQ(ReadLog(unit), "");
  Word(52, 0x0207);  // clock 7 and the rate unchanged: logged, nothing set
  EXPECT_EQ(unit.SharedState().mClockSource, 1);
  EXPECT_EQ(unit.SharedState().mSampleRate, 48000u);
}

TEST_F(StatusWordsTest, ALostSyncReprogramsTheStreamOnlyWhenTheWordChanges) {
  ReadLog(unit);
  Word(53, 0x20);
  EXPECT_EQ(ReadLog(unit), "");
  for (const uint32_t word : {0x01u, 0x04u, 0x40u, 0x80u}) {
    Word(53, word);
    EXPECT_EQ(ReadLog(unit), "QX531SignalForIsocReinitialize needed\n") << word;
    Word(53, word);
    EXPECT_EQ(ReadLog(unit), "") << word;
  }
}

TEST_F(StatusWordsTest, AProgrammingWordAsksForThePanelWhenNoneIsAttached) {
  const int32_t before = unit.mPanelRequests;
  Word(56, 0x12345678);
  EXPECT_EQ(unit.mPanelRequests, before + 1);
  EXPECT_EQ(unit.SharedState().mProgrammingWord, 0x12345678u);
  Word(56, 0x12345679);
  EXPECT_EQ(unit.mPanelRequests, before + 1) << "only a word after 0 asks";
  EXPECT_EQ(unit.SharedState().mProgrammingWord, 0x12345679u);
  Word(56, 0);
  Ask(unit, 12, Words({1}), 0);
  Word(56, 5);
  EXPECT_EQ(unit.mPanelRequests, before + 1) << "a panel is attached";
}

TEST_F(StatusWordsTest, LampTestStepsThroughEveryLampOnEverySecondDispatch) {
  Ask(unit, 5, Words({0x04}), 0);
  unit.mLampCalls.clear();
  for (int i = 0; i < 2 * 115; ++i) Word(0, 0);
  ASSERT_EQ(unit.mLampCalls.size(), 2u * 115);
  for (std::size_t step = 0; step < 115; ++step) {
    const auto off = unit.mLampCalls[2 * step];
    const auto on = unit.mLampCalls[2 * step + 1];
    EXPECT_EQ(off.second, 0u);
    EXPECT_EQ(on.second, 1u);
    EXPECT_EQ(on.first, off.first == 114 ? 0 : off.first + 1);
    if (step > 0) {
      EXPECT_EQ(off.first, unit.mLampCalls[2 * step - 1].first);
    }
  }
}

TEST_F(StatusWordsTest, FaderTestRampsUntouchedFadersEveryFourthDispatch) {
  Word(5, 0x01FE0000);  // touch bits: fader 1 touched, faders 2-9 not
  Ask(unit, 5, Words({0x08}), 0);
  unit.mFaderCalls.clear();
  for (int i = 0; i < 8; ++i) Word(0, 300);
  ASSERT_EQ(unit.mFaderCalls.size(), 16u) << "two steps, the touched fader left alone";
  for (std::size_t i = 0; i < 16; ++i) EXPECT_EQ(unit.mFaderCalls[i].first, 1 + i % 8);
  for (uint32_t i = 0; i < 8; ++i) {
    const uint32_t j = i + 2;
    const uint32_t before = unit.mFaderCalls[i].second;
    const uint32_t after = unit.mFaderCalls[i + 8].second;
    EXPECT_TRUE(after == 0 || (after >= before && after - before <= 32 / j + 1)) << j;
    EXPECT_LE(after, 1023u);
  }
}

TEST_F(StatusWordsTest, ExpansionRecordsSetSlotsAndDispatchOncePerWrite) {
  const uint8_t record[] = {0x0C, 0x12, 0x34, 0x99, 0x85, 0xFF, 0xFF, 0x00, 0x17, 0xAB, 0xCD, 0x00};
  std::memcpy(unit.AsyncWindow(), record, sizeof record);
  unit.mDispatches = 0;
  unit.HandleAsyncReceive(6);
  EXPECT_EQ(unit.mDispatches, 0u) << "not a multiple of 4";
  EXPECT_EQ(unit.Status().Slot(12), 0xFFFF);
  unit.HandleAsyncReceive(12);
  EXPECT_EQ(unit.mDispatches, 1u);
  EXPECT_EQ(unit.Status().Slot(12), 0x1234) << "the first two button bytes";
  EXPECT_EQ(unit.Status().mWords[6] & 0xFF, 0x34u);
  EXPECT_EQ(unit.Status().Slot(0x17), 0xABCD);
  EXPECT_EQ(unit.Status().Slot(0x05), 0u) << "index 0x85 is skipped";
  unit.HandleAsyncReceive(0);
  EXPECT_EQ(unit.mDispatches, 2u);
}

}  // namespace
