// Checkpoints of the doubles put a unit back exactly, so that the same steps after each restore
// give the same result: what the fuzz targets rely on to run many inputs on one unit.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "tests/unit/Requests.h"
#include "tests/unit/StreamDouble.h"
#include "tests/unit/UnitDouble.h"
#include "unit/PreferencesBlock.h"
#include "unit/RegisterMap.h"
#include "unit/SharedStateBlock.h"

namespace {

constexpr uint64_t kSecond = 8000;

std::vector<uint8_t> SharedStateBytes(const QX531Device& unit) {
  std::vector<uint8_t> bytes(sizeof(SharedStateBlock));
  std::memcpy(bytes.data(), &unit.SharedState(), bytes.size());
  return bytes;
}

// What a unit shows after some steps: its queued writes, its shared state and its settings.
struct Outcome {
  std::vector<BusOp> mWrites;
  std::vector<uint8_t> mSharedState;
  std::vector<uint8_t> mPreferences;
  uint32_t mChangeCount;

  bool operator==(const Outcome&) const = default;
};

Outcome Observe(const UnitDouble& unit) {
  std::vector<uint8_t> preferences(sizeof(PreferencesBlock));
  std::memcpy(preferences.data(), &unit.CurrentPreferences(), preferences.size());
  return Outcome{unit.QueuedWrites(), SharedStateBytes(unit), preferences, unit.ChangeCount()};
}

TEST(Checkpoint, PluggedInUnitsPutBackGiveTheSameWritesAndStateForTheSameSteps) {
  SettingsStore store;
  UnitDouble main{&store};
  UnitDouble expansion{&store};
  main.LookLikeMainUnit();
  expansion.LookLikeExpansionUnit(0x1234);
  ASSERT_EQ(main.HandlePlugIn(), 0);
  ASSERT_EQ(expansion.HandlePlugIn(), 0);
  const Outcome before = Observe(main);
  const int32_t storeWrites = store.mWrites;
  const std::function<void()> restoreMain = main.Checkpoint();
  const std::function<void()> restoreExpansion = expansion.Checkpoint();

  auto steps = [&] {
    main.mCompletions = UnitDouble::Completions::Held;
    Ask(main, 11, Words({PreferencesBlock::kMagic, PreferencesBlock::kVersion, PreferencesBlock::kParamControlProtocol, 2}), 0);
    for (uint32_t n = 0; n < 40; ++n) main.SendMIDIOut(0x09900040u | n << 8);
    Ask(main, 20, Words({0x1234, 5, 1}), 0);
    main.ReleaseAll();
    main.mCompletions = UnitDouble::Completions::Inline;
    main.SendMIDIOut(0x49905E7F);
    return std::vector<Outcome>{Observe(main), Observe(expansion)};
  };
  const std::vector<Outcome> first = steps();
  ASSERT_NE(first[0], before);

  restoreMain();
  restoreExpansion();
  EXPECT_EQ(Observe(main), before);
  EXPECT_EQ(steps(), first);
  EXPECT_EQ(store.mWrites, storeWrites + 1);
}

TEST(Checkpoint, ALockedStreamPutBackRunsTheSameListsAfterTheSameFault) {
  StreamDouble unit;
  unit.Start(48000, 64);
  ASSERT_TRUE(unit.RunUntilLocked(10 * kSecond));
  const std::function<void()> restore = unit.Checkpoint();

  struct Seen {
    size_t mPlaybackPackets;
    uint32_t mHalves;
    uint32_t mDbcErrors;
    uint32_t mLockState;
    uint64_t mCycle;
    bool operator==(const Seen&) const = default;
  };
  auto run = [&] {
    unit.InjectFault(StreamDouble::Fault::DropPacket);
    unit.RunCycles(kSecond / 10);
    return Seen{unit.mPlayback.size(), unit.mHalves, unit.DbcErrors(), unit.LockState(), unit.mCycle};
  };
  const Seen first = run();
  EXPECT_GT(first.mDbcErrors, 0u);

  restore();
  EXPECT_EQ(run(), first);
}

}  // namespace
