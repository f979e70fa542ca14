// The per-period copy between the audio adapter's wave pins and one half of the unit's channel
// buffers, as tables: sample conversions both ways, saturating mixing, the pre-roll of the first
// periods, positions, and pins, channels and buffers out of range.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <utility>
#include <vector>

#include "driver/WdmClientState.h"
#include "tests/driver/DriverRig.h"

namespace {

using drvtest::DriverRig;

constexpr ULONG kRender = WdmClientState::kRender;
constexpr ULONG kCapture = WdmClientState::kCapture;

struct Notes {
  std::vector<std::pair<ULONG, ULONG>> calls;  // pin, direction
};

void Noted(PVOID client, ULONG pin, ULONG direction) { static_cast<Notes*>(client)->calls.emplace_back(pin, direction); }

// One half of the unit's channel buffers.
struct Half {
  explicit Half(ULONG frames) {
    for (ULONG c = 0; c < WdmClientState::kUnitChannels; ++c) {
      render[c].assign(frames, 0);
      capture[c].assign(frames, 0);
      view.render[c] = render[c].data();
      view.capture[c] = capture[c].data();
    }
  }
  std::vector<LONG> render[WdmClientState::kUnitChannels];
  std::vector<LONG> capture[WdmClientState::kUnitChannels];
  WdmClientState::ChannelHalf view{};
};

class WdmCopy : public testing::Test {
 protected:
  void SetUp() override {
    state.Reset();
    state.RegisterCallbacks(&notes, nullptr, Noted);
  }
  void TearDown() override { state.RegisterCallbacks(nullptr, nullptr, nullptr); }

  // A pin with its format, a buffer of `bytes` and the adapter's run request.
  std::vector<UCHAR>& RunPin(ULONG pin, ULONG format, ULONG bytes, ULONG period) {
    buffers.emplace_back(bytes, 0);
    std::vector<UCHAR>& buffer = buffers.back();
    const UCHAR capture = (format & kWdmFormatCapture) ? 1 : 0;
    state.SetStreamFormat(pin, format);
    state.SetStreamBuffer(pin, capture, buffer.data(), bytes);
    state.SetStreamState(pin, capture != 0, kWdmStateRun, period, false);
    return buffer;
  }

  DriverRig rig;
  WdmClientState state;
  Notes notes;
  std::deque<std::vector<UCHAR>> buffers{};
};

struct ConversionCase {
  ULONG format;
  std::vector<UCHAR> frame;  // one frame of the pin's buffer: two channels
  LONG first, second;        // what the unit's two channels get
};

TEST_F(WdmCopy, RenderSamplesOfEachWidthBecomeTheUnitsLeftAlignedWords) {
  for (const ConversionCase& c : std::vector<ConversionCase>{
           {2 | kWdmFormat16Bit, {0x34, 0x12, 0xCD, 0xAB}, 0x12340000, static_cast<LONG>(0xABCD0000)},
           {2 | kWdmFormat24Bit, {0x56, 0x34, 0x12, 0xFF, 0xEE, 0x80}, 0x12345600, static_cast<LONG>(0x80EEFF00)},
           {2 | kWdmFormat32Bit, {0x78, 0x56, 0x34, 0x12, 1, 0, 0, 0}, 0x12345678, 1},
           {2 | 0x400, {1, 2, 3, 4, 5, 6, 7, 8}, 0, 0}}) {
    SCOPED_TRACE(c.format);
    state.Reset();
    Half half(8);
    std::vector<UCHAR>& buffer = RunPin(1, c.format, 256, 8);
    for (size_t at = 0; at < buffer.size(); ++at) buffer[at] = c.frame[at % c.frame.size()];
    state.CopyClientChannels(half.view, 0x3FFFF, 0, 8);
    for (ULONG f = 0; f < 8; ++f) {
      EXPECT_EQ(half.render[2][f], c.first) << f;
      EXPECT_EQ(half.render[3][f], c.second) << f;
    }
    EXPECT_EQ(half.render[0][0], 0) << "pin 1 plays channels 2 and 3 alone";
  }
}

TEST_F(WdmCopy, CaptureSamplesTakeTheTopBytesOfTheUnitsWords) {
  struct Case {
    ULONG format;
    std::vector<UCHAR> frame;
  };
  for (const Case& c : std::vector<Case>{{2 | kWdmFormat16Bit | kWdmFormatCapture, {0x34, 0x12, 0x90, 0x80}},
                                         {2 | kWdmFormat24Bit | kWdmFormatCapture, {0x56, 0x34, 0x12, 0xA0, 0x90, 0x80}},
                                         {2 | kWdmFormat32Bit | kWdmFormatCapture, {0x78, 0x56, 0x34, 0x12, 0xB0, 0xA0, 0x90, 0x80}}}) {
    SCOPED_TRACE(c.format);
    state.Reset();
    Half half(4);
    for (ULONG f = 0; f < 4; ++f) {
      half.capture[4][f] = 0x12345678;
      half.capture[5][f] = static_cast<LONG>(0x8090A0B0);
    }
    std::vector<UCHAR>& buffer = RunPin(2, c.format, 64, 4);
    state.CopyClientChannels(half.view, 0, 0, 4);
    for (ULONG f = 0; f < 4; ++f)
      EXPECT_TRUE(std::equal(c.frame.begin(), c.frame.end(), buffer.begin() + static_cast<long>(f * c.frame.size()))) << f;
  }
}

TEST_F(WdmCopy, MixingWithAnotherClientSaturatesWhereTwoOfOneSignOverflow) {
  struct Case {
    LONG other;
    USHORT sample;  // the pin's 16-bit sample
    LONG result;
  };
  for (const Case& c : std::vector<Case>{{0x7FFFFFFF, 0x7FFF, 0x7FFFFFFF},
                                         {static_cast<LONG>(0x80000000), 0x8000, static_cast<LONG>(0x80000000)},
                                         {0x10000000, 0x0001, 0x10010000},
                                         {-0x10000, 0x7FFF, 0x7FFE0000},
                                         {0x7FFFFFFF, 0x8000, -1}}) {
    SCOPED_TRACE(testing::Message() << c.other << " + " << c.sample);
    state.Reset();
    Half half(2);
    half.render[0] = {c.other, c.other};
    half.view.render[0] = half.render[0].data();
    std::vector<UCHAR>& buffer = RunPin(0, 2 | kWdmFormat16Bit, 64, 2);
    for (size_t at = 0; at < buffer.size(); at += 4) std::memcpy(&buffer[at], &c.sample, 2);
    state.CopyClientChannels(half.view, 0, 0x1, 2);
    EXPECT_EQ(half.render[0][0], c.result);
    EXPECT_EQ(half.render[0][1], c.result);
  }
}

struct PreRollCase {
  ULONG period;
  bool firstSilent;
  std::vector<size_t> notifiedAfter;  // notifications after each of three periods
  std::vector<ULONG> positionAfter;   // byte positions after each period
};

TEST_F(WdmCopy, AStereoRenderPinPreRollsItsFirstPeriodsByThePeriodLength) {
  for (const PreRollCase& c : std::vector<PreRollCase>{{256, false, {0, 1, 2}, {1024, 2048, 3072}},
                                                       {512, true, {1, 2, 3}, {0, 2048, 4096 % 4096}}}) {
    SCOPED_TRACE(c.period);
    state.Reset();
    notes.calls.clear();
    std::vector<UCHAR>& buffer = RunPin(0, 2 | kWdmFormat16Bit, 4096, c.period);
    for (size_t at = 0; at < buffer.size(); at += 2) buffer[at + 1] = 0x11;
    for (int period = 0; period < 3; ++period) {
      SCOPED_TRACE(period);
      Half half(c.period);
      state.CopyClientChannels(half.view, 0x3, 0, c.period);
      EXPECT_EQ(half.render[0][0], period == 0 && c.firstSilent ? 0 : 0x11000000);
      EXPECT_EQ(notes.calls.size(), c.notifiedAfter[period]);
      EXPECT_EQ(state.mPins[0][kRender].position, c.positionAfter[period]);
    }
    EXPECT_EQ(state.mPins[0][kRender].state, static_cast<ULONG>(kWdmStateRun));
    EXPECT_EQ(state.GetStreamPosition(0, 0), c.notifiedAfter[2] * c.period * 4);
  }
}

TEST_F(WdmCopy, WhileOnePinPreRollsTheOthersGoOnAsUsual) {
  RunPin(3, 2 | kWdmFormat16Bit | kWdmFormatCapture, 4096, 512);
  RunPin(1, 2 | kWdmFormat16Bit, 4096, 512);
  Half half(512);
  state.CopyClientChannels(half.view, 0xF, 0, 512);
  state.SetStreamState(0, false, kWdmStateStop, 512, false);
  RunPin(0, 2 | kWdmFormat16Bit, 4096, 512);
  notes.calls.clear();
  state.CopyClientChannels(half.view, 0xF, 0, 512);
  EXPECT_NE(std::find(notes.calls.begin(), notes.calls.end(), std::make_pair(ULONG{3}, kCapture)), notes.calls.end())
      << "the capture pin was notified while pin 0 pre-rolled";
  EXPECT_NE(std::find(notes.calls.begin(), notes.calls.end(), std::make_pair(ULONG{1}, kRender)), notes.calls.end());
}

TEST_F(WdmCopy, AStopPutsARenderPinOfTheFirstFourEightyFramesInWithTheConverterDelay) {
  struct Case {
    ULONG pin;
    bool capture;
    bool delay;
    ULONG position;
  };
  for (const Case& c : std::vector<Case>{{2, false, true, 80 * 4}, {2, false, false, 0}, {4, false, true, 0}, {2, true, true, 0}}) {
    SCOPED_TRACE(testing::Message() << c.pin << " capture " << c.capture << " delay " << c.delay);
    state.Reset();
    RunPin(c.pin, 2 | kWdmFormat16Bit | (c.capture ? kWdmFormatCapture : 0), 4096, 256);
    state.SetStreamState(c.pin, c.capture, kWdmStateStop, 256, c.delay);
    EXPECT_EQ(state.mPins[c.pin][c.capture ? kCapture : kRender].position, c.position);
    EXPECT_EQ(state.GetStreamPosition(c.pin, c.capture), 0u);
  }
}

TEST_F(WdmCopy, PinsChannelsAndBuffersOutOfRangeAreIgnored) {
  struct Case {
    const char* what;
    ULONG pin;
    ULONG format;
    ULONG bytes;
    ULONG64 channels;  // the direction's channel mask after the run request
    bool copied;
  };
  for (const Case& c : std::vector<Case>{
           {"a mono pin claims its one channel", 3, 1 | kWdmFormat16Bit, 64, 1ull << 6, true},
           {"a stereo pin beyond the unit's channels", 9, 2 | kWdmFormat16Bit, 64, 0, false},
           {"a wide pin below the first wide pin", 5, 8 | kWdmFormat32Bit, 256, 0, false},
           {"a wide pin past the last channel", 19, 8 | kWdmFormat32Bit, 256, 0, false},
           {"a wide pin in range", 18, 8 | kWdmFormat32Bit, 256, 0xFFull << 8, true},
           {"a pin without a buffer", 0, 2 | kWdmFormat16Bit, 0, 0x3, false},
           {"a buffer smaller than one frame", 0, 2 | kWdmFormat16Bit, 2, 0x3, false},
           {"a pin out of the table", 34, 2 | kWdmFormat16Bit, 64, 0, false}}) {
    SCOPED_TRACE(c.what);
    state.Reset();
    notes.calls.clear();
    buffers.emplace_back(c.bytes + 1, 0x22);
    state.SetStreamFormat(c.pin, c.format);
    state.SetStreamBuffer(c.pin, 0, c.bytes != 0 ? buffers.back().data() : nullptr, c.bytes);
    state.SetStreamState(c.pin, false, kWdmStateRun, 256, false);
    EXPECT_EQ(state.mChannelMask[kRender], c.channels);
    Half half(8);
    state.CopyClientChannels(half.view, ~0ull, 0, 8);
    state.CopyClientChannels(half.view, ~0ull, 0, 8);
    EXPECT_EQ(!notes.calls.empty(), c.copied);
    EXPECT_EQ(state.GetStreamPosition(c.pin, 0), c.copied ? 8 * (state.mPins[c.pin][kRender].bytesPerFrame) : 0u);
    if (c.pin == 3) {
      EXPECT_EQ(half.render[7][0], 0) << "the mono pin's second channel stays silent";
    }
  }
}

struct WrapCase {
  ULONG pin;
  ULONG channels;
  ULONG sampleBytes;
  ULONG firstChannel;  // the unit channel of the pin's first
};

// A sample of frame k of channel c that tells every byte apart, left-aligned as the unit has it.
ULONG WrapSample(ULONG k, ULONG c, ULONG sampleBytes) {
  const ULONG value = (k + 1) << 24 | (c + 1) << 16 | ((k * 8 + c + 0x40) & 0xFF) << 8 | 0x5A;
  return value & ~((1u << (8 * (4 - sampleBytes))) - 1);
}

const WrapCase kWrapCases[] = {{1, 1, 2, 2}, {1, 2, 2, 2}, {17, 8, 2, 0}, {1, 1, 3, 2}, {1, 2, 3, 2},
                               {17, 8, 3, 0}, {1, 1, 4, 2}, {1, 2, 4, 2}, {17, 8, 4, 0}};
constexpr ULONG kWrapFrames = 13;  // the buffer: whole frames, no power of two
constexpr ULONG kWrapPeriod = 8;
constexpr ULONG kWrapPeriods = 4;  // 32 frames: twice across the end

ULONG WidthBits(ULONG sampleBytes) {
  return sampleBytes == 2 ? kWdmFormat16Bit : sampleBytes == 3 ? kWdmFormat24Bit : kWdmFormat32Bit;
}

TEST_F(WdmCopy, RenderWrapsAtTheEndOfAWholeFrameBufferOfAnySize) {
  for (const WrapCase& c : kWrapCases) {
    SCOPED_TRACE(testing::Message() << c.channels << " channels of " << c.sampleBytes << " bytes");
    state.Reset();
    const ULONG frameBytes = c.channels * c.sampleBytes;
    std::vector<UCHAR>& buffer = RunPin(c.pin, c.channels | WidthBits(c.sampleBytes), kWrapFrames * frameBytes, kWrapPeriod);
    for (ULONG k = 0; k < kWrapFrames; ++k)
      for (ULONG ch = 0; ch < c.channels; ++ch)
        for (ULONG i = 0; i < c.sampleBytes; ++i)
          buffer[k * frameBytes + ch * c.sampleBytes + i] =
              static_cast<UCHAR>(WrapSample(k, ch, c.sampleBytes) >> (8 * (4 - c.sampleBytes + i)));
    for (ULONG period = 0; period < kWrapPeriods; ++period) {
      SCOPED_TRACE(period);
      Half half(kWrapPeriod);
      state.CopyClientChannels(half.view, 0x3FFFF, 0, kWrapPeriod);
      for (ULONG f = 0; f < kWrapPeriod; ++f)
        for (ULONG ch = 0; ch < c.channels; ++ch)
          ASSERT_EQ(static_cast<ULONG>(half.render[c.firstChannel + ch][f]),
                    WrapSample((period * kWrapPeriod + f) % kWrapFrames, ch, c.sampleBytes))
              << "frame " << f << " channel " << ch;
      const WdmClientState::Pin& p = state.mPins[c.pin][kRender];
      EXPECT_EQ(p.position, (period + 1) * kWrapPeriod % kWrapFrames * frameBytes);
      EXPECT_EQ(state.GetStreamPosition(c.pin, 0) % p.size, (period * kWrapPeriod % kWrapFrames) * frameBytes)
          << "the notified frames, a period behind the pre-rolled copy";
    }
  }
}

TEST_F(WdmCopy, CaptureWrapsAtTheEndOfAWholeFrameBufferOfAnySize) {
  for (const WrapCase& c : kWrapCases) {
    SCOPED_TRACE(testing::Message() << c.channels << " channels of " << c.sampleBytes << " bytes");
    state.Reset();
    const ULONG frameBytes = c.channels * c.sampleBytes;
    const ULONG guard = kWrapFrames * frameBytes;
    std::vector<UCHAR>& buffer = buffers.emplace_back(guard + 8, 0xEE);  // past the pin's end: never written
    state.SetStreamFormat(c.pin, c.channels | WidthBits(c.sampleBytes) | kWdmFormatCapture);
    state.SetStreamBuffer(c.pin, 1, buffer.data(), guard);
    state.SetStreamState(c.pin, true, kWdmStateRun, kWrapPeriod, false);
    for (ULONG period = 0; period < kWrapPeriods; ++period) {
      Half half(kWrapPeriod);
      for (ULONG f = 0; f < kWrapPeriod; ++f)
        for (ULONG ch = 0; ch < c.channels; ++ch)
          half.capture[c.firstChannel + ch][f] = static_cast<LONG>(WrapSample(period * kWrapPeriod + f, ch, 4));
      state.CopyClientChannels(half.view, 0, 0, kWrapPeriod);
      EXPECT_EQ(state.mPins[c.pin][kCapture].position, (period + 1) * kWrapPeriod % kWrapFrames * frameBytes);
      EXPECT_EQ(state.GetStreamPosition(c.pin, 1) % (kWrapFrames * frameBytes), state.mPins[c.pin][kCapture].position);
    }
    // Each slot holds the last of the 32 frames that fell on it.
    for (ULONG slot = 0; slot < kWrapFrames; ++slot) {
      ULONG k = slot;
      while (k + kWrapFrames < kWrapPeriods * kWrapPeriod) k += kWrapFrames;
      for (ULONG ch = 0; ch < c.channels; ++ch) {
        ULONG got = 0;
        for (ULONG i = 0; i < c.sampleBytes; ++i)
          got |= static_cast<ULONG>(buffer[slot * frameBytes + ch * c.sampleBytes + i]) << (8 * (4 - c.sampleBytes + i));
        EXPECT_EQ(got, WrapSample(k, ch, c.sampleBytes)) << "slot " << slot << " channel " << ch;
      }
    }
    for (ULONG at = guard; at < buffer.size(); ++at) EXPECT_EQ(buffer[at], 0xEE) << at;
  }
}

TEST_F(WdmCopy, PositionsOfAWholeFrameBufferStayInStepWithTheCopyPastThirtyTwoBits) {
  constexpr ULONG kFrameBytes = 6;
  constexpr ULONG kSize = kWrapFrames * kFrameBytes;
  RunPin(1, 2 | kWdmFormat24Bit, kSize, kWrapPeriod);
  Half half(kWrapPeriod);
  for (int period = 0; period < 2; ++period) state.CopyClientChannels(half.view, 0x3FFFF, 0, kWrapPeriod);
  WdmClientState::Pin& p = state.mPins[1][kRender];
  ASSERT_EQ(p.state, static_cast<ULONG>(kWdmStateRun));
  // Whole buffers later, a few periods short of the byte count's 32-bit wrap.
  p.frames += (0xFFFFFFFFu - 64 * kFrameBytes) / kSize * kWrapFrames;
  for (int period = 0; period < 24; ++period) {
    SCOPED_TRACE(period);
    state.CopyClientChannels(half.view, 0x3FFFF, 0, kWrapPeriod);
    // The notified frames are a period behind the copy.
    EXPECT_EQ((state.GetStreamPosition(1, 0) + kWrapPeriod * kFrameBytes) % kSize, p.position);
  }
}

struct ReformatCase {
  ULONG state;
  ULONG frame;  // the pin's frame when the format changes
  ULONG expected;  // bytes into the buffer afterwards
};

// A paused pin keeps its frame across a format change, in whole frames of the new
// format and within the buffer's whole frames of it (4096 bytes hold 682 frames of 6 bytes).
TEST_F(WdmCopy, APausedPinKeepsItsFrameInWholeFramesOfTheNewFormat) {
  for (const ReformatCase& c : std::vector<ReformatCase>{
           {kWdmStatePause, 100, 100 * 6},
           {kWdmStatePause, 1000, (1000 - 682) * 6},
       }) {
    SCOPED_TRACE(c.frame);
    state.Reset();
    RunPin(2, 2 | kWdmFormat16Bit, 4096, 256);
    state.SetStreamState(2, false, c.state, 256, true);
    state.mPins[2][kRender].position = c.frame * 4;
    state.SetStreamFormat(2, 2 | kWdmFormat24Bit);
    EXPECT_EQ(state.mPins[2][kRender].position, c.expected);
  }
}

TEST_F(WdmCopy, AStoppedPinsConverterDelayIsWholeFramesOfTheFormatItRunsWith) {
  RunPin(2, 2 | kWdmFormat16Bit, 4096, 256);
  state.SetStreamState(2, false, kWdmStateStop, 256, true);
  ASSERT_EQ(state.mPins[2][kRender].position, 80u * 4);
  state.SetStreamFormat(2, 2 | kWdmFormat24Bit);
  EXPECT_EQ(state.mPins[2][kRender].position, 80u * 6);
}

TEST_F(WdmCopy, RenderAndCaptureBuffersOfOnePinKeepTheirOwnSizes) {
  std::vector<UCHAR>& render = RunPin(0, 2 | kWdmFormat16Bit, 64, 16);
  RunPin(0, 2 | kWdmFormat16Bit | kWdmFormatCapture, 4096, 16);
  for (size_t at = 0; at < render.size(); at += 4) render[at + 1] = static_cast<UCHAR>(at / 4);
  Half half(32);
  state.CopyClientChannels(half.view, 0x3, 0, 32);
  EXPECT_EQ(half.render[0][16], 0) << "the 64-byte render buffer wraps after 16 frames";
  EXPECT_EQ(state.mPins[0][kCapture].position, 128u) << "the capture buffer does not wrap at 64 bytes";
}

TEST_F(WdmCopy, RunningTwiceAttachesOnceAndAStopReleasesOnlyItsOwnChannels) {
  RunPin(0, 2 | kWdmFormat16Bit, 64, 256);
  RunPin(1, 2 | kWdmFormat16Bit, 64, 256);
  EXPECT_TRUE(state.mActive);
  state.SetStreamState(0, false, kWdmStateRun, 256, false);
  EXPECT_EQ(state.mChannelMask[kRender], 0xFull);
  EXPECT_FALSE(state.SetStreamState(0, false, kWdmStateStop, 256, false)) << "pin 1 still runs";
  EXPECT_EQ(state.mChannelMask[kRender], 0xCull);
  EXPECT_FALSE(state.SetStreamState(0, false, kWdmStateStop, 256, false));
  EXPECT_EQ(state.mChannelMask[kRender], 0xCull) << "a second stop takes nothing more";
  EXPECT_TRUE(state.SetStreamState(1, false, kWdmStatePause, 256, false)) << "the last running pin stops the adapter";
  EXPECT_FALSE(state.mActive);
  EXPECT_EQ(state.mChannelMask[kRender], 0ull);
}

}  // namespace
