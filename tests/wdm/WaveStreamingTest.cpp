// Audio through the adapter end to end: the pin client plays into and records from all nine wave
// pairs at once, at each of the unit's rates, each pair at a width that turns with the rate so that
// every pair meets every width, and what the unit played and what it sampled arrive bit for bit.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "driver/QX531PnpDevice.h"
#include "sim/units/MainUnit.h"
#include "sim/units/SignalSource.h"
#include "tests/wdm/WdmRig.h"

namespace {

using wdmtest::WdmRig;

constexpr ULONG kCapturePin = 0;
constexpr ULONG kRenderPin = 2;
constexpr ULONG kPairs = 9;
constexpr ULONG kPlayedFrames = 2048;
constexpr ULONG kCheckedFrames = 2048;
const char16_t* const kPairNames[kPairs] = {u"WaveA1", u"WaveA2", u"WaveA3", u"WaveA4", u"WaveB1",
                                            u"WaveB2", u"WaveB3", u"WaveB4", u"WaveC1"};
constexpr ULONG kWidths[] = {16, 24, 32};

KSDATARANGE_AUDIO Exactly(ULONG rate, ULONG bits) { return wdmtest::PcmRange(2, bits, bits, rate, rate); }

// The played sample of frame f of channel c of pair k, as a 32-bit value naming all three; a pin
// of `bits` plays its top bits.
uint32_t Played(ULONG pair, ULONG channel, ULONG frame) {
  return (pair + 1) << 28 | channel << 27 | (frame & 0x7FF) << 16 | (frame & 0xFF) << 8;
}
uint32_t Top(uint32_t value, ULONG bits) { return bits == 32 ? value : value & ~((1u << (32 - bits)) - 1); }

void PutSample(std::vector<UCHAR>& out, uint32_t value, ULONG bits) {
  for (ULONG b = 32 - bits; b < 32; b += 8) out.push_back(static_cast<UCHAR>(value >> b));
}
uint32_t GetSample(const std::vector<UCHAR>& in, size_t at, ULONG bits) {
  uint32_t value = 0;
  for (ULONG i = 0; i < bits / 8; ++i) value |= static_cast<uint32_t>(in[at + i]) << (32 - bits + 8 * i);
  return value;
}

class WaveStreaming : public testing::TestWithParam<ULONG> {};

TEST_P(WaveStreaming, EveryPairPlaysAndRecordsBitExactThroughTheUnit) {
  const ULONG rate = GetParam();
  const ULONG turn = rate == 44100 ? 0 : rate == 48000 ? 1 : rate == 88200 ? 2 : 3;
  WdmRig rig;
  sim::MainUnit main;
  // The unit's inputs, and the same signals here to tell what it sampled.
  sim::SignalSource inputs;
  for (int c = 0; c < 18; ++c) {
    main.SetSignal(c, sim::Signal::Sine(997.0 + 13 * c, 0.5));
    inputs.Set(c, sim::Signal::Sine(997.0 + 13 * c, 0.5));
  }
  rig.Plug(main);
  main.Playback().SetCapture(true, rate * 4);

  std::vector<std::unique_ptr<plat::KsFilter>> filters;
  std::vector<std::unique_ptr<plat::KsWavePin>> renders;
  std::vector<std::unique_ptr<plat::KsWavePin>> captures;
  for (ULONG k = 0; k < kPairs; ++k) {
    const ULONG bits = kWidths[(k + turn) % 3];
    filters.push_back(rig.Filter(main, kPairNames[k]));
    ASSERT_NE(filters.back(), nullptr);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    renders.push_back(plat::KsWavePin::Open(*filters.back(), kRenderPin, Exactly(rate, bits), 10, 0, &status));
    ASSERT_EQ(status, STATUS_SUCCESS) << k;
    captures.push_back(
        plat::KsWavePin::Open(*filters.back(), kCapturePin, Exactly(rate, bits), 10, rate * 8 * 3, &status));
    ASSERT_EQ(status, STATUS_SUCCESS) << k;
    std::vector<UCHAR> play;
    for (ULONG f = 0; f < kPlayedFrames; ++f)
      for (ULONG c = 0; c < 2; ++c) PutSample(play, Played(k, c, f), bits);
    renders.back()->Play(std::move(play));
  }
  for (ULONG k = 0; k < kPairs; ++k) {
    ASSERT_EQ(renders[k]->Run(), STATUS_SUCCESS);
    ASSERT_EQ(captures[k]->Run(), STATUS_SUCCESS);
  }
  QX531PnpDevice* device = rig.DeviceOf(main);
  EXPECT_EQ(device->SampleRate(), rate);
  ASSERT_TRUE(rig.sched.RunUntil([&] { return device->IsStreamValid() && device->LockState() == 2; },
                                 rig.sched.Now() + 5 * plat::kNsPerSecond));
  // A whole cyclic buffer passes before what was played first comes round to the unit.
  rig.sched.RunFor(1600 * plat::kNsPerMs);

  const uint64_t sent = main.FramesSent();
  for (ULONG k = 0; k < kPairs; ++k) {
    SCOPED_TRACE(testing::Message() << "pair " << k);
    const ULONG bits = kWidths[(k + turn) % 3];
    for (ULONG c = 0; c < 2; ++c) {
      const std::vector<int32_t>& played = main.Playback().Captured(static_cast<int>(2 * k + c));
      size_t at = 0;
      while (at < played.size() && static_cast<uint32_t>(played[at]) != Top(Played(k, c, 0), bits)) ++at;
      ASSERT_LE(at + kPlayedFrames, played.size()) << "the played frames reached the unit";
      for (ULONG f = 0; f < kPlayedFrames; ++f)
        ASSERT_EQ(static_cast<uint32_t>(played[at + f]), Top(Played(k, c, f), bits)) << "channel " << c << " frame " << f;
    }

    const std::vector<UCHAR> recorded = captures[k]->Recorded();
    const ULONG frameBytes = 2 * bits / 8;
    const size_t frames = recorded.size() / frameBytes;
    ASSERT_GT(frames, 2 * kCheckedFrames);
    const size_t from = frames / 2;
    auto recordedSample = [&](size_t frame, ULONG c) { return GetSample(recorded, frame * frameBytes + c * bits / 8, bits); };
    auto unitSample = [&](uint64_t frame, ULONG c) {
      return Top(inputs.Sample(static_cast<int>(2 * k + c), frame, rate), bits);
    };
    ASSERT_GT(sent, kCheckedFrames);
    uint64_t unitFrame = sent - kCheckedFrames + 1;
    bool found = false;
    while (!found && unitFrame > 0) {
      --unitFrame;
      found = true;
      for (ULONG i = 0; i < kCheckedFrames && found; ++i)
        found = recordedSample(from + i, 0) == unitSample(unitFrame + i, 0) &&
                recordedSample(from + i, 1) == unitSample(unitFrame + i, 1);
    }
    EXPECT_TRUE(found) << "the recorded frames are frames the unit sampled, in order";
  }
}

INSTANTIATE_TEST_SUITE_P(Rates, WaveStreaming, testing::Values(44100u, 48000u, 88200u, 96000u));

}  // namespace
