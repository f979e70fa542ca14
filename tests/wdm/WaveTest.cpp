// The wave subdevices as the audio stack opens them: each pair's DMA buffers handed to the unit
// driver, the formats a pair accepts, data-range intersections that propose only what a pin
// takes (at the rate of the adapter's open streams), and states and formats relayed to the unit
// driver when a pin runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "driver/QX531PnpDevice.h"
#include "platform/kernel/RegistryHive.h"
#include "platform/portcls/DmaChannel.h"
#include "platform/portcls/PortWaveCyclic.h"
#include "sim/units/MainUnit.h"
#include "tests/wdm/WdmRig.h"

namespace {

using wdmtest::WdmRig;

constexpr ULONG kCapturePin = 0;
constexpr ULONG kRenderPin = 2;
const char16_t* const kPairs[] = {u"WaveA1", u"WaveA2", u"WaveA3", u"WaveA4", u"WaveB1",
                                  u"WaveB2", u"WaveB3", u"WaveB4", u"WaveC1"};

constexpr auto Range = wdmtest::PcmRange;

KSDATAFORMAT_WAVEFORMATEXTENSIBLE Format(USHORT tag, USHORT channels, ULONG rate, USHORT bits, ULONG mask) {
  KSDATAFORMAT_WAVEFORMATEXTENSIBLE f{};
  f.DataFormat.FormatSize = tag == WAVE_FORMAT_EXTENSIBLE ? sizeof f : sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX);
  f.DataFormat.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  f.DataFormat.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  f.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  WAVEFORMATEXTENSIBLE& w = f.WaveFormatExt;
  w.Format.wFormatTag = tag;
  w.Format.nChannels = channels;
  w.Format.nSamplesPerSec = rate;
  w.Format.wBitsPerSample = bits;
  w.Format.nBlockAlign = static_cast<USHORT>(channels * bits / 8);
  w.Format.nAvgBytesPerSec = w.Format.nBlockAlign * rate;
  w.Format.cbSize = tag == WAVE_FORMAT_EXTENSIBLE ? 22 : 0;
  w.Samples.wValidBitsPerSample = bits;
  w.dwChannelMask = mask;
  w.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  return f;
}

// Opens a pin with an explicit format, as a client that skipped the intersection would.
NTSTATUS OpenWith(plat::KsFilter& filter, ULONG pin, KSDATAFORMAT_WAVEFORMATEXTENSIBLE format) {
  auto* port = static_cast<plat::pc::PortWaveCyclic*>(&filter.Port());
  plat::pc::WavePin* opened = nullptr;
  const NTSTATUS status = port->NewPin(pin, &format.DataFormat, 0, &opened);
  if (opened != nullptr) {
    opened->Close();
    opened->Release();
  }
  return status;
}

class WaveTest : public testing::Test {
 protected:
  void SetUp() override { rig.Plug(main); }

  WdmClientState& Client() { return rig.DeviceOf(main)->mWdmClient; }

  WdmRig rig;
  sim::MainUnit main;
};

TEST_F(WaveTest, EveryPairHandsTheUnitDriverBothItsBuffers) {
  for (ULONG pair = 0; pair < 9; ++pair) {
    for (ULONG direction : {WdmClientState::kRender, WdmClientState::kCapture}) {
      const WdmClientState::Pin& p = Client().mPins[pair][direction];
      EXPECT_NE(p.buffer, nullptr) << pair;
      EXPECT_EQ(p.size, 0x20000u) << pair;
    }
  }
}

struct FormatCase {
  const char* what;
  KSDATAFORMAT_WAVEFORMATEXTENSIBLE format;
  NTSTATUS status;
};

TEST_F(WaveTest, APairTakesOnlyFormatsItCanStream) {
  std::unique_ptr<plat::KsFilter> filter = rig.Filter(main, u"WaveA1");
  ASSERT_NE(filter, nullptr);
  KSDATAFORMAT_WAVEFORMATEXTENSIBLE shortExtensible = Format(WAVE_FORMAT_EXTENSIBLE, 2, 48000, 24, 3);
  shortExtensible.DataFormat.FormatSize = 100;
  KSDATAFORMAT_WAVEFORMATEXTENSIBLE tooShort = Format(WAVE_FORMAT_PCM, 2, 48000, 16, 0);
  tooShort.DataFormat.FormatSize = 81;
  const FormatCase cases[] = {
      {"16-bit stereo 48 kHz", Format(WAVE_FORMAT_PCM, 2, 48000, 16, 0), STATUS_SUCCESS},
      {"24-bit mono 96 kHz extensible", Format(WAVE_FORMAT_EXTENSIBLE, 1, 96000, 24, 4), STATUS_SUCCESS},
      {"32-bit stereo 88.2 kHz extensible", Format(WAVE_FORMAT_EXTENSIBLE, 2, 88200, 32, 3), STATUS_SUCCESS},
      {"8-bit", Format(WAVE_FORMAT_PCM, 2, 48000, 8, 0), STATUS_INVALID_DEVICE_REQUEST},
      {"20-bit", Format(WAVE_FORMAT_PCM, 2, 48000, 20, 0), STATUS_INVALID_DEVICE_REQUEST},
      {"3 channels", Format(WAVE_FORMAT_PCM, 3, 48000, 16, 0), STATUS_INVALID_DEVICE_REQUEST},
      {"32 kHz", Format(WAVE_FORMAT_PCM, 2, 32000, 16, 0), STATUS_INVALID_DEVICE_REQUEST},
      {"extensible mono with a stereo mask", Format(WAVE_FORMAT_EXTENSIBLE, 1, 48000, 16, 3),
       STATUS_INVALID_DEVICE_REQUEST},
      {"extensible shorter than its record", shortExtensible, STATUS_INVALID_DEVICE_REQUEST},
      {"shorter than a wave format", tooShort, STATUS_INVALID_DEVICE_REQUEST},
  };
  for (const FormatCase& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(OpenWith(*filter, kRenderPin, c.format), c.status);
    EXPECT_EQ(OpenWith(*filter, kCapturePin, c.format), c.status);
  }
}

TEST_F(WaveTest, TheIntersectionProposesTheBestFormatThePinTakes) {
  std::unique_ptr<plat::KsFilter> filter = rig.Filter(main, u"WaveB2");
  std::vector<UCHAR> out;
  ASSERT_EQ(filter->Intersect(kRenderPin, Range(8, 8, 32, 8000, 192000).DataRange, &out), STATUS_SUCCESS);
  ASSERT_EQ(out.size(), 104u);
  KSDATAFORMAT_WAVEFORMATEXTENSIBLE f;
  std::memcpy(&f, out.data(), sizeof f);
  EXPECT_EQ(f.DataFormat.Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX);
  EXPECT_EQ(f.DataFormat.SampleSize, 8u);
  EXPECT_EQ(f.WaveFormatExt.Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
  EXPECT_EQ(f.WaveFormatExt.Format.nChannels, 2);
  EXPECT_EQ(f.WaveFormatExt.Format.nSamplesPerSec, 96000u);
  EXPECT_EQ(f.WaveFormatExt.Format.wBitsPerSample, 32);
  EXPECT_EQ(f.WaveFormatExt.Format.nAvgBytesPerSec, 8u * 96000);
  EXPECT_EQ(f.WaveFormatExt.dwChannelMask, 3u);

  ASSERT_EQ(filter->Intersect(kCapturePin, Range(1, 16, 24, 44100, 50000).DataRange, &out), STATUS_SUCCESS);
  std::memcpy(&f, out.data(), sizeof f);
  EXPECT_EQ(f.WaveFormatExt.Format.nChannels, 1);
  EXPECT_EQ(f.WaveFormatExt.dwChannelMask, 4u);
  EXPECT_EQ(f.WaveFormatExt.Format.nSamplesPerSec, 48000u) << "the highest rate of the unit in the range";
  EXPECT_EQ(f.WaveFormatExt.Format.wBitsPerSample, 24);

  EXPECT_EQ(filter->Intersect(kRenderPin, Range(2, 16, 32, 50000, 60000).DataRange, &out), STATUS_NO_MATCH);
  EXPECT_EQ(filter->Intersect(kRenderPin, Range(2, 18, 20, 44100, 96000).DataRange, &out), STATUS_NO_MATCH);
  EXPECT_EQ(filter->Intersect(kRenderPin, Range(0, 16, 32, 44100, 96000).DataRange, &out), STATUS_NO_MATCH);

  KSDATARANGE analog{};
  analog.FormatSize = sizeof analog;
  analog.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  analog.SubFormat = KSDATAFORMAT_SUBTYPE_ANALOG;
  analog.Specifier = KSDATAFORMAT_SPECIFIER_NONE;
  ASSERT_EQ(filter->Intersect(1, analog, &out), STATUS_SUCCESS) << "the bridge pin";
  EXPECT_EQ(out.size(), 64u);
}

TEST_F(WaveTest, TheIntersectionReportsItsLengthBeforeItWritesAnything) {
  std::unique_ptr<plat::KsFilter> filter = rig.Filter(main, u"WaveA1");
  const KSDATARANGE_AUDIO range = Range(2, 16, 32, 44100, 96000);
  ULONG length = 0;
  EXPECT_EQ(filter->Port().Intersect(kRenderPin, &range.DataRange, 0, nullptr, &length), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(length, 104u);
  std::vector<UCHAR> small(103, 0xEE);
  EXPECT_EQ(filter->Port().Intersect(kRenderPin, &range.DataRange, 103, small.data(), &length), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(small, std::vector<UCHAR>(103, 0xEE));
}

TEST_F(WaveTest, TheAdaptersStreamsShareOneRate) {
  std::unique_ptr<plat::KsFilter> a1 = rig.Filter(main, u"WaveA1");
  std::unique_ptr<plat::KsFilter> b1 = rig.Filter(main, u"WaveB1");
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  std::unique_ptr<plat::KsWavePin> render =
      plat::KsWavePin::Open(*a1, kRenderPin, Range(2, 16, 16, 44100, 48000), 10, 0, &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  std::vector<UCHAR> out;
  ASSERT_EQ(b1->Intersect(kCapturePin, Range(2, 16, 32, 44100, 96000).DataRange, &out), STATUS_SUCCESS);
  KSDATAFORMAT_WAVEFORMATEXTENSIBLE f;
  std::memcpy(&f, out.data(), sizeof f);
  EXPECT_EQ(f.WaveFormatExt.Format.nSamplesPerSec, 48000u) << "the open stream's rate";
  EXPECT_EQ(b1->Intersect(kCapturePin, Range(2, 16, 32, 44100, 44100).DataRange, &out), STATUS_NO_MATCH);
  EXPECT_EQ(OpenWith(*b1, kCapturePin, Format(WAVE_FORMAT_PCM, 2, 44100, 16, 0)), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(OpenWith(*a1, kCapturePin, Format(WAVE_FORMAT_PCM, 2, 44100, 16, 0)), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(OpenWith(*b1, kCapturePin, Format(WAVE_FORMAT_PCM, 2, 48000, 24, 0)), STATUS_SUCCESS);
  EXPECT_EQ(a1->Intersect(kRenderPin, Range(2, 16, 32, 44100, 96000).DataRange, &out), STATUS_NO_MATCH)
      << "the render pin is taken";
  EXPECT_EQ(rig.DeviceOf(main)->SampleRate(), 48000u) << "asked of the unit";
  render.reset();
  ASSERT_EQ(b1->Intersect(kCapturePin, Range(2, 16, 32, 44100, 44100).DataRange, &out), STATUS_SUCCESS)
      << "free again once no stream is open";
}

struct RunCase {
  ULONG pin;
  ULONG channels;
  ULONG bits;
  ULONG word;
};

TEST_F(WaveTest, RunningAPinSendsItsFormatWordAndStateAndStopSendsStop) {
  std::unique_ptr<plat::KsFilter> filter = rig.Filter(main, u"WaveA2");
  for (const RunCase& c : {RunCase{kCapturePin, 2, 24, 0x1202}, RunCase{kRenderPin, 1, 32, 0x0801},
                           RunCase{kRenderPin, 2, 16, 0x0102}}) {
    SCOPED_TRACE(c.word);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    std::unique_ptr<plat::KsWavePin> pin =
        plat::KsWavePin::Open(*filter, c.pin, Range(c.channels, c.bits, c.bits, 48000, 48000), 10, 0, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    const ULONG period = rig.DeviceOf(main)->BufferFrames();
    EXPECT_EQ(pin->FramingSize(), period * c.channels * c.bits / 8);
    const WdmClientState::Pin& p = Client().mPins[1][c.pin == kCapturePin ? 1 : 0];
    ASSERT_EQ(pin->Run(), STATUS_SUCCESS);
    EXPECT_EQ(p.format, c.word);
    EXPECT_GE(p.state, 3u) << "running or pre-rolling";
    ASSERT_EQ(pin->Leave(KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_EQ(p.state, 2u);
    ASSERT_EQ(pin->Leave(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(p.state, 0u);
  }
}

TEST(WaveRate, PreventAppSRChangeKeepsTheUnitsRate) {
  WdmRig rig;
  plat::RegistryHive::CreateKey(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\qx5310wdm\\Parameters");
  plat::RegistryHive::SetDword(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\qx5310wdm\\Parameters",
                               u"PreventAppSRChange", 1);
  sim::MainUnit main;
  rig.Plug(main);
  const ULONG before = rig.DeviceOf(main)->SampleRate();
  const ULONG other = before == 96000 ? 48000 : 96000;
  std::unique_ptr<plat::KsFilter> filter = rig.Filter(main, u"WaveC1");
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  std::unique_ptr<plat::KsWavePin> pin =
      plat::KsWavePin::Open(*filter, kRenderPin, Range(2, 16, 16, other, other), 10, 0, &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(rig.DeviceOf(main)->SampleRate(), before);
}

// One period of the unit driver's isochronous completion, at DISPATCH_LEVEL: the per-period copy,
// which advances the running pins and calls the period callback.
struct Period {
  explicit Period(QX531PnpDevice* d) : device(d), frames(d->BufferFrames()) {
    for (ULONG c = 0; c < WdmClientState::kUnitChannels; ++c) {
      render[c].assign(frames, 0);
      capture[c].assign(frames, 0);
      half.render[c] = render[c].data();
      half.capture[c] = capture[c].data();
    }
    KeInitializeDpc(&dpc, Run, this);
  }
  void Once(WdmRig& rig) {
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    rig.sched.RunFor(plat::kNsPerMs);
  }
  static void Run(PKDPC, PVOID context, PVOID, PVOID) {
    auto* self = static_cast<Period*>(context);
    self->device->mWdmClient.CopyClientChannels(self->half, (1u << WdmClientState::kUnitChannels) - 1, 0,
                                                self->frames);
  }
  QX531PnpDevice* device;
  ULONG frames;
  std::vector<LONG> render[WdmClientState::kUnitChannels];
  std::vector<LONG> capture[WdmClientState::kUnitChannels];
  WdmClientState::ChannelHalf half{};
  KDPC dpc;
};

TEST_F(WaveTest, PositionsFollowTheUnitDriversFramesWithinAWholeFrameBufferAndEachPeriodNotifies) {
  struct Case {
    ULONG channels;
    ULONG bits;
  };
  for (const Case& c : {Case{2, 16}, Case{1, 16}, Case{2, 24}, Case{1, 24}, Case{2, 32}}) {
    SCOPED_TRACE(testing::Message() << c.channels << " x " << c.bits << " bits");
    std::unique_ptr<plat::KsFilter> filter = rig.Filter(main, u"WaveA1");
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    std::unique_ptr<plat::KsWavePin> pin =
        plat::KsWavePin::Open(*filter, kRenderPin, Range(c.channels, c.bits, c.bits, 48000, 48000), 10, 0, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    const ULONG frameBytes = c.channels * c.bits / 8;
    const ULONG size = 0x20000 - 0x20000 % frameBytes;
    ASSERT_EQ(pin->BufferSize(), size) << "the port's cyclic buffer is whole frames";
    const WdmClientState::Pin& unitPin = Client().mPins[0][WdmClientState::kRender];
    EXPECT_EQ(unitPin.size, size) << "the unit driver wraps where the port does";
    Period period(rig.DeviceOf(main));
    ASSERT_LT(period.frames, 512u) << "a short period: no silent first period";
    ASSERT_EQ(pin->Run(), STATUS_SUCCESS);
    ULONG position = 1;
    ASSERT_EQ(pin->Position(&position), STATUS_SUCCESS);
    EXPECT_EQ(position, 0u);
    const ULONG periods = 3 + size / (period.frames * frameBytes);
    for (ULONG i = 0; i < periods; ++i) period.Once(rig);
    // The first period pre-rolls without a notification; every later one is notified.
    const ULONG bytes = (periods - 1) * period.frames * frameBytes;
    ASSERT_EQ(pin->Position(&position), STATUS_SUCCESS);
    EXPECT_EQ(position, bytes % size) << "wrapped within the buffer";
    EXPECT_EQ(unitPin.position, (bytes + period.frames * frameBytes) % size)
        << "the copy runs a period ahead of the notified frames, in the same buffer";
    EXPECT_EQ(pin->Notifications(), periods - 1);
    EXPECT_EQ(pin->NotificationIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(pin->BytesMoved(), bytes) << "the audio stack moved what the position passed";
  }
}

TEST(WaveRate, AStreamAtARateOtherThanTheHostSessionsIsAcceptedAndTheUnitKeepsTheHostsRate) {
  WdmRig rig;
  sim::MainUnit main;
  rig.Plug(main);
  QX531PnpDevice* device = rig.DeviceOf(main);
  device->AsioState().mActive = 1;
  const ULONG rate = device->SampleRate();
  const ULONG other = rate == 96000 ? 48000 : 96000;
  std::unique_ptr<plat::KsFilter> filter = rig.Filter(main, u"WaveB3");
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  std::unique_ptr<plat::KsWavePin> pin =
      plat::KsWavePin::Open(*filter, kCapturePin, Range(2, 24, 24, other, other), 10, 0, &status);
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(device->SampleRate(), rate);
  pin.reset();
  device->AsioState().mActive = 0;
}

std::vector<UCHAR> Bytes(const KSDATAFORMAT_WAVEFORMATEXTENSIBLE& f) {
  const auto* p = reinterpret_cast<const UCHAR*>(&f);
  return std::vector<UCHAR>(p, p + f.DataFormat.FormatSize);
}

TEST_F(WaveTest, APinTurnsByteCountsIntoTimeDividingByItsFrameSizeFirst) {
  struct Case {
    ULONG channels, bits, rate;
    LONGLONG bytes, time;
  };
  std::unique_ptr<plat::KsFilter> filter = rig.Filter(main, u"WaveA3");
  for (const Case& c : {Case{2, 16, 48000, 192000, 10000000}, Case{1, 24, 44100, 66150, 4999999},
                        Case{2, 32, 96000, 768000, 10000000}, Case{2, 24, 88200, 529200, 9999996}}) {
    SCOPED_TRACE(testing::Message() << c.channels << " x " << c.bits << " bits at " << c.rate);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    std::unique_ptr<plat::KsWavePin> pin =
        plat::KsWavePin::Open(*filter, kCapturePin, Range(c.channels, c.bits, c.bits, c.rate, c.rate), 10, 0, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    LONGLONG position = c.bytes;
    ASSERT_EQ(pin->NormalizePosition(&position), STATUS_SUCCESS);
    EXPECT_EQ(position, c.time);
  }
}

TEST_F(WaveTest, APausedPinKeepsItsFramesInWholeFramesOfANewFormat) {
  std::unique_ptr<plat::KsFilter> filter = rig.Filter(main, u"WaveA1");
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  std::unique_ptr<plat::KsWavePin> pin =
      plat::KsWavePin::Open(*filter, kRenderPin, Range(2, 16, 16, 48000, 48000), 10, 0, &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  Period period(rig.DeviceOf(main));
  ASSERT_EQ(pin->Run(), STATUS_SUCCESS);
  for (int i = 0; i < 4; ++i) period.Once(rig);
  ASSERT_EQ(pin->Leave(KSSTATE_PAUSE), STATUS_SUCCESS);
  ULONG position = 0;
  ASSERT_EQ(pin->Position(&position), STATUS_SUCCESS);
  const ULONG frames = position / 4;
  ASSERT_EQ(frames, 3 * period.frames) << "the first period pre-rolls";

  EXPECT_EQ(pin->SetFormat(Bytes(Format(WAVE_FORMAT_PCM, 2, 48000, 24, 0))), STATUS_SUCCESS);
  const ULONG size = pin->BufferSize();
  EXPECT_EQ(size % 6, 0u);
  ASSERT_EQ(pin->Position(&position), STATUS_SUCCESS);
  EXPECT_EQ(position, frames * 6 % size) << "the frames played so far, in frames of the new format";
  ASSERT_EQ(pin->Run(), STATUS_SUCCESS);
  for (int i = 0; i < 2; ++i) period.Once(rig);
  ASSERT_EQ(pin->Position(&position), STATUS_SUCCESS);
  EXPECT_EQ(position, (frames + period.frames) * 6 % size) << "the first period after a run pre-rolls";
  EXPECT_EQ(pin->SetFormat(Bytes(Format(WAVE_FORMAT_PCM, 2, 48000, 16, 0))), STATUS_INVALID_DEVICE_REQUEST)
      << "not while it runs";
}

TEST_F(WaveTest, EachStreamOfAPairKeepsItsOwnWidthAndChannels) {
  std::unique_ptr<plat::KsFilter> filter = rig.Filter(main, u"WaveB1");
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  std::unique_ptr<plat::KsWavePin> render =
      plat::KsWavePin::Open(*filter, kRenderPin, Range(1, 16, 16, 48000, 48000), 10, 0, &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  std::unique_ptr<plat::KsWavePin> capture =
      plat::KsWavePin::Open(*filter, kCapturePin, Range(2, 16, 24, 48000, 48000), 10, 0, &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  ASSERT_EQ(capture->SetFormat(Bytes(Format(WAVE_FORMAT_PCM, 2, 48000, 24, 0))), STATUS_SUCCESS);
  EXPECT_EQ(render->FramingSize(), rig.DeviceOf(main)->BufferFrames() * 2);
  EXPECT_EQ(render->BufferSize(), 0x20000u);
  EXPECT_EQ(capture->BufferSize(), 0x20000u - 0x20000u % 6);
  ASSERT_EQ(render->Run(), STATUS_SUCCESS);
  ASSERT_EQ(capture->Run(), STATUS_SUCCESS);
  EXPECT_EQ(Client().mPins[4][WdmClientState::kRender].format, 0x0101u) << "16-bit mono";
  EXPECT_EQ(Client().mPins[4][WdmClientState::kCapture].format, 0x1202u) << "24-bit stereo";
}

TEST_F(WaveTest, AStreamChangesTheRateOnlyWhileNoOtherStreamOfTheAdapterIsOpen) {
  struct Case {
    const char* what;
    const char16_t* other;  // the subdevice of another open stream, if any
    ULONG otherPin;
    NTSTATUS status;
  };
  const Case cases[] = {
      {"the only open stream", nullptr, 0, STATUS_SUCCESS},
      {"the pair's capture open", u"WaveA1", kCapturePin, STATUS_INVALID_PARAMETER},
      {"another pair's render open", u"WaveC1", kRenderPin, STATUS_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::unique_ptr<plat::KsFilter> filter = rig.Filter(main, u"WaveA1");
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    std::unique_ptr<plat::KsWavePin> pin =
        plat::KsWavePin::Open(*filter, kRenderPin, Range(2, 16, 16, 48000, 48000), 10, 0, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    std::unique_ptr<plat::KsFilter> otherFilter;
    std::unique_ptr<plat::KsWavePin> other;
    if (c.other != nullptr) {
      otherFilter = rig.Filter(main, c.other);
      other = plat::KsWavePin::Open(*otherFilter, c.otherPin, Range(2, 16, 16, 48000, 48000), 10, 0, &status);
      ASSERT_EQ(status, STATUS_SUCCESS);
    }
    ASSERT_EQ(rig.DeviceOf(main)->SampleRate(), 48000u);
    EXPECT_EQ(pin->SetFormat(Bytes(Format(WAVE_FORMAT_PCM, 2, 44100, 16, 0))), c.status);
    EXPECT_EQ(rig.DeviceOf(main)->SampleRate(), NT_SUCCESS(c.status) ? 44100u : 48000u) << "asked of the unit";
  }
}

// The adapter initialises its wave ports pair by pair, and each pair's miniport makes its render
// channel, then its capture channel: a pair and a direction name one channel.
void FailPairBuffer(ULONG pair, ULONG direction, ULONG above, ULONG times) {
  plat::pc::FailWaveDmaBuffersAbove(pair, direction == WdmClientState::kRender ? 0 : 1, above, times);
}

// One pair's buffer of one direction cannot be had at any size: that pin alone goes without; a
// pair without its capture buffer is not registered, every other pair is whole.
TEST(WaveBuffers, OnePairsBufferOfOneDirectionMissingLeavesEveryOtherBufferWhole) {
  struct Case {
    ULONG pair;
    ULONG direction;
  };
  // (The ninth pair's own failure is the start's, so its capture is left whole here.)
  for (const Case c : {Case{0, WdmClientState::kCapture}, Case{4, WdmClientState::kRender},
                       Case{7, WdmClientState::kCapture}, Case{8, WdmClientState::kRender}}) {
    SCOPED_TRACE(testing::Message() << "pair " << c.pair << " direction " << c.direction);
    WdmRig rig;
    sim::MainUnit main;
    FailPairBuffer(c.pair, c.direction, 0, 0xFFFFFFFF);
    rig.Plug(main);
    plat::pc::FailWaveDmaBuffersAbove(plat::pc::kNoWavePort, 0, 0, 0);
    const WdmClientState& client = rig.DeviceOf(main)->mWdmClient;
    for (ULONG pair = 0; pair < 9; ++pair) {
      for (ULONG direction : {WdmClientState::kRender, WdmClientState::kCapture}) {
        const bool missing = pair == c.pair && (direction == c.direction || c.direction == WdmClientState::kCapture);
        EXPECT_EQ(client.mPins[pair][direction].buffer == nullptr, missing) << pair << " " << direction;
      }
    }
  }
}

// Pool that holds no large contiguous buffer: each pair's buffers halve until one can be had, and
// the unit driver is handed the size allocated.
TEST(WaveBuffers, EachBufferHalvesDownToFourKilobytesUntilOneCanBeHad) {
  struct Case {
    ULONG largest;
    ULONG size;
  };
  for (const Case& c : {Case{0x1FFFF, 0x10000}, Case{0x8000, 0x8000}, Case{0x1FFF, 0x1000}}) {
    SCOPED_TRACE(c.largest);
    WdmRig rig;
    sim::MainUnit main;
    plat::pc::FailDmaBuffersAbove(c.largest);
    rig.Plug(main);
    plat::pc::FailDmaBuffersAbove(0, 0);
    for (ULONG pair = 0; pair < 9; ++pair)
      for (ULONG direction : {WdmClientState::kRender, WdmClientState::kCapture}) {
        EXPECT_NE(rig.DeviceOf(main)->mWdmClient.mPins[pair][direction].buffer, nullptr) << pair;
        EXPECT_EQ(rig.DeviceOf(main)->mWdmClient.mPins[pair][direction].size, c.size) << pair;
      }
    std::unique_ptr<plat::KsFilter> filter = rig.Filter(main, u"WaveB4");
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    std::unique_ptr<plat::KsWavePin> pin =
        plat::KsWavePin::Open(*filter, kRenderPin, Range(2, 16, 16, 48000, 48000), 10, 0, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(pin->BufferSize(), c.size);
  }
}

// Pool short of large buffers for the first pair's render buffer only.
TEST(WaveBuffers, EachDirectionWrapsItsPositionAtItsOwnBuffersSize) {
  WdmRig rig;
  sim::MainUnit main;
  plat::pc::FailDmaBuffersAbove(0x7FFF, 2);
  rig.Plug(main);
  plat::pc::FailDmaBuffersAbove(0, 0);
  const WdmClientState& client = rig.DeviceOf(main)->mWdmClient;
  EXPECT_EQ(client.mPins[0][WdmClientState::kRender].size, 0x8000u);
  EXPECT_EQ(client.mPins[0][WdmClientState::kCapture].size, 0x20000u);
  std::unique_ptr<plat::KsFilter> filter = rig.Filter(main, u"WaveA1");
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  std::unique_ptr<plat::KsWavePin> render =
      plat::KsWavePin::Open(*filter, kRenderPin, Range(2, 16, 16, 48000, 48000), 10, 0, &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  std::unique_ptr<plat::KsWavePin> capture =
      plat::KsWavePin::Open(*filter, kCapturePin, Range(2, 16, 16, 48000, 48000), 10, 1 << 20, &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(render->BufferSize(), 0x8000u);
  EXPECT_EQ(capture->BufferSize(), 0x20000u);
  Period period(rig.DeviceOf(main));
  ASSERT_EQ(render->Run(), STATUS_SUCCESS);
  ASSERT_EQ(capture->Run(), STATUS_SUCCESS);
  const ULONG periods = 2 + 0x8000 / (period.frames * 4);
  for (ULONG i = 0; i < periods; ++i) period.Once(rig);
  ULONG renderPosition = 0;
  ULONG capturePosition = 0;
  ASSERT_EQ(render->Position(&renderPosition), STATUS_SUCCESS);
  ASSERT_EQ(capture->Position(&capturePosition), STATUS_SUCCESS);
  // The render pin's first period pre-rolls; the capture pin records from its first.
  const ULONG rendered = (periods - 1) * period.frames * 4;
  const ULONG captured = periods * period.frames * 4;
  ASSERT_GT(rendered, 0x8000u);
  ASSERT_LT(captured, 0x20000u);
  EXPECT_EQ(renderPosition, rendered % 0x8000);
  EXPECT_EQ(capturePosition, captured);
}

// The first pair's buffers fail at every size: without a render buffer its render pin matches no
// format and refuses a stream, and its capture pin still opens; without a capture buffer the pair
// is not registered at all.
TEST(WaveBuffers, APinWithoutABufferIsRefusedAndAPairWithoutACaptureBufferIsNotRegistered) {
  struct Case {
    const char* what;
    ULONG failures;  // the render buffer's six sizes, then the capture buffer's
    bool registered;
  };
  for (const Case& c : {Case{"no render buffer", 6, true}, Case{"no buffer at all", 12, false}}) {
    SCOPED_TRACE(c.what);
    WdmRig rig;
    sim::MainUnit main;
    plat::pc::FailDmaBuffersAbove(0xFFF, c.failures);
    rig.Plug(main);
    plat::pc::FailDmaBuffersAbove(0, 0);
    EXPECT_EQ(rig.DeviceOf(main)->mWdmClient.mPins[0][WdmClientState::kRender].buffer, nullptr);
    EXPECT_NE(rig.DeviceOf(main)->mWdmClient.mPins[1][WdmClientState::kRender].buffer, nullptr);
    const std::vector<std::u16string> names = rig.SubdeviceNames(main);
    EXPECT_EQ(std::count(names.begin(), names.end(), u"WaveA1"), c.registered ? 1 : 0);
    EXPECT_EQ(std::count(names.begin(), names.end(), u"Topology"), 1) << "the ninth pair decides";
    std::unique_ptr<plat::KsFilter> other = rig.Filter(main, u"WaveA2");
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    EXPECT_NE(plat::KsWavePin::Open(*other, kRenderPin, Range(2, 16, 16, 48000, 48000), 10, 0, &status), nullptr);
    if (!c.registered) continue;
    std::unique_ptr<plat::KsFilter> filter = rig.Filter(main, u"WaveA1");
    EXPECT_EQ(plat::KsWavePin::Open(*filter, kRenderPin, Range(2, 16, 16, 48000, 48000), 10, 0, &status), nullptr);
    EXPECT_EQ(status, STATUS_NO_MATCH);
    EXPECT_EQ(OpenWith(*filter, kRenderPin, Format(WAVE_FORMAT_PCM, 2, 48000, 16, 0)), STATUS_INVALID_DEVICE_REQUEST)
        << "a stream asked for without the intersection";
    EXPECT_NE(plat::KsWavePin::Open(*filter, kCapturePin, Range(2, 16, 16, 48000, 48000), 10, 0, &status), nullptr);
  }
}

}  // namespace
