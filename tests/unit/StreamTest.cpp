#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "tests/unit/Requests.h"
#include "tests/unit/StreamDouble.h"
#include "unit/RegisterMap.h"

namespace {

constexpr uint64_t kSecond = 8000;

std::string ReadLog(QX531Device& unit) {
  const Answer answer = Ask(unit, 0, {}, 4096);
  return std::string(answer.mBuffer.begin(), answer.mBuffer.begin() + answer.mBytes);
}

std::size_t Occurrences(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

std::unique_ptr<StreamDouble> Locked(uint32_t rate, uint32_t frames) {
  auto unit = std::make_unique<StreamDouble>();
  unit->Start(rate, frames);
  EXPECT_TRUE(unit->RunUntilLocked(10 * kSecond));
  return unit;
}

struct Geometry {
  uint32_t rate;
  uint32_t frames;
  uint32_t streamFrames;
  uint32_t packets;
};

TEST(StreamGeometry, PacketsPerBufferFollowTheRateAndFrames) {
  const Geometry cases[] = {
      {48000, 256, 256, 45},   {44100, 64, 64, 13},    {96000, 2048, 2048, 173},
      {44100, 32, 32, 7},      {88200, 128, 128, 13},  {96000, 32, 64, 6},  // 32 frames cannot lock there
  };
  for (const Geometry& c : cases) {
    StreamDouble unit;
    unit.Start(c.rate, c.frames);
    EXPECT_EQ(unit.BufferFrames(), c.streamFrames) << c.rate << " " << c.frames;
    EXPECT_EQ(unit.PacketsPerBuffer(), c.packets) << c.rate << " " << c.frames;
  }
}

struct Setting {
  uint32_t rate;
  uint32_t frames;
};

// The whole road: lock, record halves of exactly the buffer frames whose frame numbers run on,
// playback packets with DBC continuity that replay the record block counts, and the loop from the
// record halves into the playback halves arriving bit-exact at the unit. Each rate runs in a
// process of its own.
class StreamLoopAtRate : public testing::TestWithParam<uint32_t> {};

TEST_P(StreamLoopAtRate, LocksAndLoopsBitExactAtEverySize) {
  const uint32_t rate = GetParam();
  for (const uint32_t frames : {64u, 256u, 2048u}) {
    SCOPED_TRACE(std::to_string(rate) + " Hz, " + std::to_string(frames) + " frames");
    auto unit = Locked(rate, frames);
    unit->RunCycles(2 * kSecond);
    EXPECT_EQ(unit->LockState(), 2u);
    EXPECT_TRUE(unit->IsStreamValid());
    EXPECT_EQ(unit->SharedState().mInputLocked, 1);
    EXPECT_GT(unit->mHalves, 2 * rate / frames - 4);
    EXPECT_EQ(unit->mBadHalves, 0u);
    EXPECT_EQ(unit->mFrameBreaks, 0u);
    EXPECT_EQ(unit->mPlaybackHeaderErrors, 0u);
    EXPECT_EQ(unit->mDbcBreaks, 0u);
    EXPECT_GT(unit->mLoopFrames, uint64_t{rate});
    EXPECT_EQ(unit->mLoopBreaks, 0u);

    std::vector<uint32_t> played;
    for (const StreamDouble::PlaybackPacket& p : unit->mPlayback) played.push_back(p.mBlocks);
    const auto& recorded = unit->mRecordBlockCounts;
    EXPECT_NE(std::search(recorded.begin(), recorded.end(), played.begin(), played.end()), recorded.end())
        << "playback block counts are a run of the record block counts";
    const std::string log = ReadLog(*unit);
    EXPECT_EQ(log.find("Callback"), std::string::npos) << log;
  }
}

INSTANTIATE_TEST_SUITE_P(Rates, StreamLoopAtRate, testing::Values(44100u, 48000u, 88200u, 96000u));

TEST(StreamLoop, StaysLockedWithTheUnitClock300PpmOff) {
  for (const int32_t ppm : {300, -300}) {
    StreamDouble unit;
    unit.mClockPpm = ppm;
    unit.Start(48000, 256);
    ASSERT_TRUE(unit.RunUntilLocked(10 * kSecond)) << ppm;
    const uint32_t hooks = unit.mSequenceHooks;
    for (int i = 0; i < 12; ++i) {
      unit.RunCycles(kSecond);
      ASSERT_EQ(unit.LockState(), 2u) << ppm << " ppm, second " << i;
    }
    EXPECT_EQ(unit.mSequenceHooks, hooks);
    EXPECT_EQ(unit.mFrameBreaks, 0u);
    EXPECT_EQ(unit.mLoopBreaks, 0u);
    EXPECT_NEAR(unit.MeasuredRate(), 48000 + 48000 * ppm / 1000000, 1);
  }
}

TEST(StreamLoop, MeasuredRateIsExactAfterTheMeasurementEnds) {
  for (const uint32_t rate : {88200u, 96000u, 44100u}) {
    auto unit = Locked(rate, 512);
    unit->RunCycles(11 * kSecond);
    EXPECT_EQ(unit->MeasuredRate(), rate);
  }
}

struct FaultCase {
  StreamDouble::Fault fault;
  uint32_t dbcErrors;
  uint32_t dbsErrors;
};

TEST(StreamErrors, OneBadRecordPacketCostsOneErrorAndTheStreamRelocks) {
  const FaultCase cases[] = {
      {StreamDouble::Fault::DropPacket, 1, 0},
      {StreamDouble::Fault::WrongDbs, 0, 1},
      {StreamDouble::Fault::EmptyPacket, 0, 0},
      {StreamDouble::Fault::OversizedPacket, 0, 0},
  };
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.fault));
    auto unit = Locked(48000, 256);
    const uint32_t hooks = unit->mSequenceHooks;
    unit->InjectFault(c.fault);
    unit->RunCycles(kSecond / 10);
    EXPECT_FALSE(unit->IsStreamValid());
    EXPECT_EQ(unit->DbcErrors(), c.dbcErrors);
    EXPECT_EQ(unit->DbsErrors(), c.dbsErrors);
    EXPECT_GT(unit->mSequenceHooks, hooks);
    EXPECT_TRUE(unit->RunUntilLocked(5 * kSecond));
    EXPECT_EQ(Occurrences(ReadLog(*unit), "QX531SignalForIsocReinitialize needed\n"), 0u);
  }
}

TEST(StreamErrors, TheTenthDbcErrorEscalatesToReinitialisation) {
  auto unit = Locked(48000, 256);
  for (int error = 1; error <= 10; ++error) {
    unit->InjectFault(StreamDouble::Fault::DropPacket);
    unit->RunCycles(kSecond / 10);
    const std::string log = ReadLog(*unit);
    EXPECT_EQ(Occurrences(log, "QX531SignalForIsocReinitialize needed\n"), error == 10 ? 1u : 0u) << error;
    EXPECT_EQ(unit->DbcErrors(), error == 10 ? 0u : static_cast<uint32_t>(error));
    ASSERT_TRUE(unit->RunUntilLocked(5 * kSecond)) << error;
  }
}

// Lists handed back straight to the handlers, without the bus.
struct Order {
  const char* name;
  void (QX531Device::*steps[4])();
};

TEST(StreamOrder, NormalCompletionOrdersNeverLogAnError) {
  const Order orders[] = {
      {"record A, playback A, record B, playback B",
       {&QX531Device::HandleInputBufferACallback, &QX531Device::HandleOutputBufferACallback,
        &QX531Device::HandleInputBufferBCallback, &QX531Device::HandleOutputBufferBCallback}},
      {"record A, record B, playback A, playback B",
       {&QX531Device::HandleInputBufferACallback, &QX531Device::HandleInputBufferBCallback,
        &QX531Device::HandleOutputBufferACallback, &QX531Device::HandleOutputBufferBCallback}},
      {"playback A, record A, playback B, record B",
       {&QX531Device::HandleOutputBufferACallback, &QX531Device::HandleInputBufferACallback,
        &QX531Device::HandleOutputBufferBCallback, &QX531Device::HandleInputBufferBCallback}},
  };
  for (const Order& order : orders) {
    StreamDouble unit;
    unit.Start(48000, 256);
    for (int round = 0; round < 30; ++round) {
      for (auto step : order.steps) (unit.*step)();
    }
    const std::string log = ReadLog(unit);
    EXPECT_EQ(log.find("Callback"), std::string::npos) << order.name << "\n" << log;
    EXPECT_EQ(log.find("stopped"), std::string::npos) << order.name;
  }
}

TEST(StreamOrder, PlaybackRunningAheadReportsTheStoppedInputOnce) {
  StreamDouble unit;
  unit.Start(48000, 256);
  for (int i = 0; i < 4; ++i) {
    unit.HandleOutputBufferACallback();
    unit.HandleOutputBufferBCallback();
  }
  const std::string log = ReadLog(unit);
  EXPECT_EQ(Occurrences(log, "Input stream stopped (A)\n"), 1u);
  EXPECT_EQ(log.find("Callback"), std::string::npos) << "the latch keeps the order line out";
  EXPECT_GE(Occurrences(log, "QX531SignalForIsocReinitialize needed\n"), 1u);
}

TEST(StreamOrder, ARecordBListBeforeItsAListIsLoggedWithTheCounters) {
  StreamDouble unit;
  unit.Start(48000, 256);
  const uint32_t hooks = unit.mSequenceHooks;
  unit.HandleInputBufferBCallback();
  const std::string log = ReadLog(unit);
  EXPECT_NE(log.find("QX531HandleInputBufferBCallback  0000001  0000000 ( 0000000)\n"), std::string::npos) << log;
  EXPECT_EQ(unit.mSequenceHooks, hooks + 1);
  EXPECT_FALSE(unit.IsStreamValid());
}

void ListA(StreamDouble& unit) {
  unit.HandleInputBufferACallback();
  unit.HandleOutputBufferACallback();
}

// One pass of each list; the record slots hold nothing, so only an invalid stream gets through.
void Pass(StreamDouble& unit) {
  ListA(unit);
  unit.HandleInputBufferBCallback();
  unit.HandleOutputBufferBCallback();
}

std::vector<BusOp> StreamProgramming(const StreamDouble& unit) {
  std::vector<BusOp> writes;
  for (const BusOp& op : unit.QueuedWrites()) {
    if (op.mOffset >= QX5310_INPUT_MASK && op.mOffset <= QX5310_CONTROL_BITS) writes.push_back(op);
  }
  return writes;
}

TEST(StreamProgramming, StartSwitchesOnRestartsAndWaitsTwentyFourPasses) {
  StreamDouble unit;
  unit.Start(48000, 256);
  unit.ForgetWrites();
  Pass(unit);
  Pass(unit);
  EXPECT_EQ(StreamProgramming(unit), (std::vector<BusOp>{Q(QX5310_CONTROL_BITS, 0x2000), Q(QX5310_STREAM_RESTART, 1)}));
  for (int pass = 1; pass <= 23; ++pass) {
    Pass(unit);
    EXPECT_FALSE(unit.IsStreamValid()) << pass;
  }
  ListA(unit);
  EXPECT_TRUE(unit.IsStreamValid());
}

TEST(StreamProgramming, AChangedMaskSwitchesOffReprogramsAndRestarts) {
  auto unit = Locked(48000, 256);
  unit->ForgetWrites();
  unit->SetMasks(0xFF, 0x3FFFF);
  EXPECT_FALSE(unit->IsStreamValid());
  ASSERT_TRUE(unit->RunUntilLocked(10 * kSecond));
  EXPECT_EQ(StreamProgramming(*unit),
            (std::vector<BusOp>{Q(QX5310_CONTROL_BITS, 0x200000), Q(QX5310_INPUT_MASK, 0xFF),
                                Q(QX5310_CONTROL_BITS, 0x2000), Q(QX5310_STREAM_RESTART, 1)}));
  EXPECT_EQ(unit->mBadHalves, 0u);
}

TEST(StreamProgramming, AnOutstandingRestartWriteHoldsTheSequence) {
  StreamDouble unit;
  unit.Start(48000, 256);
  unit.ForgetWrites();
  unit.mCompletions = UnitDouble::Completions::Held;
  Pass(unit);
  Pass(unit);
  EXPECT_EQ(StreamProgramming(unit), (std::vector<BusOp>{Q(QX5310_CONTROL_BITS, 0x2000)}));
  unit.ReleaseAll();
  Pass(unit);
  EXPECT_EQ(StreamProgramming(unit).back(), Q(QX5310_STREAM_RESTART, 1));
  Pass(unit);  // the restart write is still outstanding: this pass does not count
  unit.ReleaseAll();
  for (int pass = 1; pass <= 23; ++pass) Pass(unit);
  EXPECT_FALSE(unit.IsStreamValid());
  ListA(unit);
  EXPECT_TRUE(unit.IsStreamValid());
}

TEST(StreamProgramming, ARefusedWriteIsTriedAgainAtTheNextPass) {
  StreamDouble unit;
  unit.Start(48000, 256);
  unit.mCompletions = UnitDouble::Completions::Refused;
  Pass(unit);
  Pass(unit);
  EXPECT_EQ(unit.mRefused, 2);
  unit.mCompletions = UnitDouble::Completions::Inline;
  unit.ForgetWrites();
  Pass(unit);
  EXPECT_EQ(StreamProgramming(unit), (std::vector<BusOp>{Q(QX5310_CONTROL_BITS, 0x2000)}));
}

TEST(StreamStatus, RateAndClockReportedByTheUnitUpdateTheBlocksAndTheStream) {
  auto unit = Locked(44100, 256);
  unit->mUnitWords[52] = 0x0202;
  unit->RunCycles(kSecond / 10);
  EXPECT_NE(ReadLog(*unit).find("New sample rate/clock: 0x00000202\n"), std::string::npos);
  EXPECT_EQ(unit->SharedState().mSampleRate, 48000u);
  EXPECT_EQ(unit->SharedState().mClockSource, 2);
  EXPECT_EQ(unit->CurrentPreferences().mSampleRate, 48000u);
  EXPECT_EQ(unit->RequestedPreferences().mClockSource, 2u);
  EXPECT_EQ(unit->LastWrittenPreferences().mSampleRate, 48000u);
  ASSERT_TRUE(unit->RunUntilLocked(10 * kSecond));
  EXPECT_EQ(unit->mRegisters[QX5310_RATE_CLOCK], 0x0202u);
  EXPECT_NEAR(unit->MeasuredRate(), 48000, 10);
}

TEST(StreamStatus, SurfaceIsDispatchedEveryFiveMillisecondsOfAudio) {
  const Setting cases[] = {{48000, 64}, {44100, 256}, {96000, 2048}};
  for (const Setting& c : cases) {
    auto unit = Locked(c.rate, c.frames);
    const uint32_t halves = unit->mHalves;
    const uint32_t dispatches = unit->mDispatches;
    unit->RunCycles(kSecond);
    const uint32_t threshold = c.rate / 200;
    const uint32_t perDispatch = (threshold + c.frames - 1) / c.frames;
    const double expected = static_cast<double>(unit->mHalves - halves) / perDispatch;
    EXPECT_NEAR(unit->mDispatches - dispatches, expected, 1.0) << c.rate << " " << c.frames;
  }
}

}  // namespace
