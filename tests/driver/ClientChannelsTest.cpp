// The clients' channel buffers on the Windows unit object: one block of whole pages with the rows
// staggered, attach counts that keep a channel streaming until its last client lets go, and the
// per-half channel tables, conversions and exchanges between the stream and the three kinds of
// client.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "driver/AsioRequests.h"
#include "driver/WdmClientState.h"
#include "tests/driver/WinDeviceRig.h"
#include "tests/support/Seeds.h"
#include "unit/ChannelRows.h"
#include "unit/ControlRequests.h"
#include "unit/PreferencesBlock.h"

namespace {

using drivertest::WinDeviceRig;
using plat::kNsPerMs;
using plat::kNsPerSecond;

constexpr ULONG kHalfBytes = 8192;
constexpr ULONG kFrames = 256;

// The unit object with its client state in reach.
class ClientUnit : public drivertest::TestUnit {
 public:
  using TestUnit::TestUnit;
  using QX531WinDevice::UpdateChannelMaps;

  AsioClientState& Asio() { return mAsio; }
  PUCHAR Block() const { return mChannelBlock; }
  PLONG RecordHalf(ULONG c, ULONG h) const { return mRecordChannelHalves[c][h]; }
  PLONG PlaybackHalf(ULONG c, ULONG h) const { return mPlaybackChannelHalves[c][h]; }
  PLONG ActiveRecord(ULONG c, ULONG h) const { return mActiveRecordHalves[c][h]; }
  PLONG ActivePlayback(ULONG c, ULONG h) const { return mActivePlaybackHalves[c][h]; }
  LONG RecordCount(ULONG c) const { return mRecordAttachCount[c]; }
  LONG PlaybackCount(ULONG c) const { return mPlaybackAttachCount[c]; }
  uint32_t* const* RecordTable(ULONG h) const { return mRecordTable[h]; }
  const uint32_t* const* PlaybackTable(ULONG h) const { return mPlaybackTable[h]; }
  const uint32_t* StatusIndex() const { return mStatusIndex; }
  const uint32_t* StatusValue() const { return mStatusValue; }
  uint32_t InputMask() const { return mInputMask; }
  uint32_t OutputMask() const { return mOutputMask; }
  BufferDescriptor* Descriptor(ULONG i) { return &mDescriptors[i]; }
  void SetWdm(WdmClientState* wdm) { mWdm = wdm; }
  void MarkClientChanged() { mClientChanged = 1; }
  // The stream's frames per half, as its geometry sets them.
  void UseFrames(uint32_t frames) {
    SetBufferFrames(frames);
    ComputeBufferGeometry();
  }
  // The completion's call, at its IRQL.
  void Convert(uint32_t list, BufferDescriptor* record, BufferDescriptor* playback) {
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    ConvertBufferPair(list, record, playback);
    KeLowerIrql(irql);
  }
  std::vector<uint32_t> statusBlocks;
  void HandleStatusWords(uint32_t blocks) override { statusBlocks.push_back(blocks); }
};

class ClientChannels : public testing::Test {
 protected:
  void SetUp() override {
    unit = std::make_unique<ClientUnit>(rig.device, rig.counted);
    poolBefore = WinDeviceRig::FrameworkPoolBytes();
    ASSERT_EQ(unit->AllocateChannelBuffers(), STATUS_SUCCESS);
  }
  void TearDown() override {
    unit->FreeChannelBuffers();
    EXPECT_EQ(WinDeviceRig::FrameworkPoolBytes(), poolBefore);
    unit.reset();
  }

  sim::MainUnit main;
  WinDeviceRig rig{main};
  std::unique_ptr<ClientUnit> unit;
  size_t poolBefore = 0;
};

TEST_F(ClientChannels, AllHalvesLieInOneBlockOfWholePagesInStaggeredRowsAndASecondAllocationKeepsThem) {
  const uintptr_t block = reinterpret_cast<uintptr_t>(unit->Block());
  ASSERT_NE(block, 0u);
  EXPECT_EQ(block % PAGE_SIZE, 0u);
  const size_t taken = WinDeviceRig::FrameworkPoolBytes() - poolBefore;
  EXPECT_EQ(taken % PAGE_SIZE, 0u);
  EXPECT_GE(taken, ChannelRowsBytes(36, 2 * kHalfBytes));
  for (ULONG c = 0; c < 18; ++c) {
    for (ULONG h = 0; h < 2; ++h) {
      EXPECT_EQ(reinterpret_cast<uintptr_t>(unit->RecordHalf(c, h)), block + ChannelHalfOffset(c, h, kHalfBytes));
      EXPECT_EQ(reinterpret_cast<uintptr_t>(unit->PlaybackHalf(c, h)),
                block + ChannelHalfOffset(18 + c, h, kHalfBytes));
      EXPECT_EQ(unit->ActiveRecord(c, h), nullptr);
      EXPECT_EQ(unit->ActivePlayback(c, h), nullptr);
    }
  }
  EXPECT_EQ(unit->mRecordHalves[4][1], unit->RecordHalf(4, 1)) << "the kernel client's table has every half";
  EXPECT_EQ(unit->mPlaybackHalves[4][1], unit->PlaybackHalf(4, 1));

  unit->AttachRecordChannel(3, TRUE);
  unit->RecordHalf(3, 0)[0] = 0x1234;
  ASSERT_EQ(unit->AllocateChannelBuffers(), STATUS_SUCCESS);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(unit->Block()), block);
  EXPECT_EQ(unit->RecordCount(3), 1);
  EXPECT_EQ(unit->ActiveRecord(3, 0), unit->RecordHalf(3, 0));
  EXPECT_EQ(unit->RecordHalf(3, 0)[0], 0x1234);
  EXPECT_EQ(WinDeviceRig::FrameworkPoolBytes() - poolBefore, taken);
}

// Pages a process still maps stay allocated; once the mapping is gone they go back.
TEST_F(ClientChannels, BuffersAProcessStillMapsAreNotFreed) {
  const PUCHAR block = unit->Block();
  unit->Asio().mPlaybackMappings[17][1].mMdl = reinterpret_cast<PMDL>(block);
  unit->FreeChannelBuffers();
  EXPECT_EQ(unit->Block(), block);
  EXPECT_NE(unit->PlaybackHalf(17, 1), nullptr);
  unit->Asio().mPlaybackMappings[17][1].mMdl = nullptr;
  unit->FreeChannelBuffers();
  EXPECT_EQ(unit->Block(), nullptr);
}

// The continuous channels of the settings attach and detach as they change, and the next buffer
// takes them into or out of the unit's channel masks.
TEST_F(ClientChannels, TheContinuousChannelsFollowTheSettingsIntoTheUnitsMasks) {
  ASSERT_EQ(unit->HandlePlugIn(), 0);
  rig.Run();
  auto set = [&](uint32_t id, uint32_t value) {
    uint32_t record[] = {PreferencesBlock::kMagic, PreferencesBlock::kVersion, id, value};
    uint32_t returned = 0;
    unit->HandleControlRequest(QX531RequestNumber(IOCTL_QX531_SET_PREFERENCE), record, sizeof record, 0, &returned);
    rig.Run();
  };
  set(PreferencesBlock::kParamContinuousInputs, 0x3);
  set(PreferencesBlock::kParamContinuousOutputs, 0x30);
  unit->UpdateChannelMaps();
  EXPECT_EQ(unit->InputMask(), 0x3u);
  EXPECT_EQ(unit->OutputMask(), 0x30u);
  EXPECT_EQ(unit->RecordCount(0), 1);
  set(PreferencesBlock::kParamContinuousInputs, 0x0);
  set(PreferencesBlock::kParamContinuousOutputs, 0x10);
  unit->UpdateChannelMaps();
  EXPECT_EQ(unit->InputMask(), 0x0u) << "the pair cleared detaches both";
  EXPECT_EQ(unit->OutputMask(), 0x10u);
  EXPECT_EQ(unit->RecordCount(0), 0);
  EXPECT_EQ(unit->RecordCount(1), 0);
  unit->HandleUnPlug();
  rig.Run();
}

// Buffers allocated afresh for a new start have nothing attached: the continuous channels of the
// settings, which have not changed, are attached to them again.
TEST_F(ClientChannels, BuffersAllocatedAfreshTakeTheContinuousChannelsOfTheSettingsAgain) {
  ASSERT_EQ(unit->HandlePlugIn(), 0);
  rig.Run();
  uint32_t returned = 0;
  for (const auto& [id, value] : {std::pair{PreferencesBlock::kParamContinuousInputs, 0x3u},
                                  std::pair{PreferencesBlock::kParamContinuousOutputs, 0x30u}}) {
    uint32_t record[] = {PreferencesBlock::kMagic, PreferencesBlock::kVersion, id, value};
    unit->HandleControlRequest(QX531RequestNumber(IOCTL_QX531_SET_PREFERENCE), record, sizeof record, 0, &returned);
    rig.Run();
  }
  ASSERT_EQ(unit->RecordCount(0), 1);
  unit->HandleUnPlug();
  rig.Run();
  unit->FreeChannelBuffers();
  ASSERT_EQ(unit->AllocateChannelBuffers(), STATUS_SUCCESS);
  unit->RefreshClientStreams();
  for (ULONG c : {0u, 1u}) EXPECT_EQ(unit->RecordCount(c), 1) << c;
  for (ULONG c : {4u, 5u}) EXPECT_EQ(unit->PlaybackCount(c), 1) << c;
  EXPECT_EQ(unit->PlaybackCount(0), 0);
}

enum class Dir { Record, Playback };

struct AttachCase {
  const char* name;
  Dir dir;
};

TEST_F(ClientChannels, AChannelStaysActiveUntilItsLastClientDetachesAndASpareDetachChangesNothing) {
  for (const AttachCase& c : {AttachCase{"record", Dir::Record}, AttachCase{"playback", Dir::Playback}}) {
    SCOPED_TRACE(c.name);
    auto attach = [&](ULONG channel, BOOLEAN on) {
      if (c.dir == Dir::Record)
        unit->AttachRecordChannel(channel, on);
      else
        unit->AttachPlaybackChannel(channel, on);
    };
    auto active = [&](ULONG channel) {
      return c.dir == Dir::Record ? unit->ActiveRecord(channel, 1) : unit->ActivePlayback(channel, 1);
    };
    auto half = [&](ULONG channel) {
      return c.dir == Dir::Record ? unit->RecordHalf(channel, 1) : unit->PlaybackHalf(channel, 1);
    };
    attach(7, TRUE);
    attach(7, TRUE);
    EXPECT_EQ(active(7), half(7));
    attach(7, FALSE);
    EXPECT_EQ(active(7), half(7)) << "one client still has it";
    attach(7, FALSE);
    EXPECT_EQ(active(7), nullptr);
    attach(7, FALSE);
    attach(7, TRUE);
    EXPECT_EQ(active(7), half(7)) << "the spare detach left no debt";
    attach(7, FALSE);
    EXPECT_EQ(active(7), nullptr);
    for (ULONG outOfRange : {18u, 64u, 0xFFFFFFFFu}) attach(outOfRange, TRUE);
    for (ULONG channel = 0; channel < 18; ++channel) EXPECT_EQ(active(channel), nullptr);
  }
}

// Quadlets of a stream block as they travel on the bus.
uint32_t Wire(uint32_t v) { return __builtin_bswap32(v); }

// One buffer of record blocks {index, channels..., value} or playback blocks {channels...}, all
// in one chunk.
struct Blocks {
  Blocks(uint32_t quadlets, uint32_t frames) : data(size_t{quadlets} * frames), quadlets(quadlets) {}
  void Describe(BufferDescriptor* d, uint32_t frames, uint32_t mask, uint32_t count, uint32_t useCount) {
    d->mUseCount = useCount;
    d->mChunks = 1;
    d->mFrames = frames;
    d->mTargetFrames = frames;
    d->mChannelMask = mask;
    d->mChannelCount = count;
    d->mChunkData[0] = reinterpret_cast<uint8_t*>(data.data());
    d->mChunkFrames[0] = frames;
  }
  uint32_t At(uint32_t frame, uint32_t q) const { return Wire(data[frame * quadlets + q]); }
  void Set(uint32_t frame, uint32_t q, uint32_t v) { data[frame * quadlets + q] = Wire(v); }
  std::vector<uint32_t> data;
  uint32_t quadlets;
};

// The unit object streaming at 256 frames with record channels 2 and 5 and playback channels 0,
// 1 and 3 attached, its tables built.
class HalfExchange : public ClientChannels {
 protected:
  void SetUp() override {
    ClientChannels::SetUp();
    unit->UseFrames(kFrames);
    for (ULONG c : {2u, 5u}) unit->AttachRecordChannel(c, TRUE);
    for (ULONG c : {0u, 1u, 3u}) unit->AttachPlaybackChannel(c, TRUE);
    unit->Asio().mMapsChanged = 1;
    unit->UpdateChannelMaps();
    ASSERT_EQ(unit->InputMask(), 0x24u);
    ASSERT_EQ(unit->OutputMask(), 0x0Bu);
    unit->UseFrames(kFrames);
    for (uint32_t f = 0; f < kFrames; ++f) {
      record.Set(f, 0, f);
      record.Set(f, 1, 0x20000 + f);
      record.Set(f, 2, 0x50000 + f);
      record.Set(f, 3, 0xABC00 + f);
    }
    record.Describe(&recordDescriptor, kFrames, 0x24, 2, 1);
    playback.Describe(unit->Descriptor(3), kFrames, 0x0B, 3, 77);
    std::fill(playback.data.begin(), playback.data.end(), 0xEEEEEEEEu);
  }
  void TearDown() override {
    unit->Asio().mActive = 0;
    unit->Asio().mIndexCell = nullptr;
    unit->Asio().mEvent = nullptr;
    ClientChannels::TearDown();
  }
  void StartAsio(ULONG64 outputs) {
    AsioClientState& asio = unit->Asio();
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    asio.mIndexCell = &cell;
    asio.mEvent = &event;
    asio.mOutputMask = outputs;
    asio.mFirstBuffer = 0;
    asio.mActive = 1;
    asio.mMapsChanged = 1;
    unit->UpdateChannelMaps();
  }
  bool PlaybackUntouched() const {
    for (uint32_t q : playback.data)
      if (q != 0xEEEEEEEEu) return false;
    return true;
  }

  Blocks record{4, kFrames};
  Blocks playback{3, kFrames};
  BufferDescriptor recordDescriptor{};
  UCHAR cell = 0xFF;
  KEVENT event{};
};

TEST_F(HalfExchange, TheRecordTableHoldsTheStatusWordsAroundTheAttachedChannelsAndThePlaybackTableTheirHalvesOrZeros) {
  StartAsio(0x2);
  for (ULONG h = 0; h < 2; ++h) {
    SCOPED_TRACE(h);
    uint32_t* const* rt = unit->RecordTable(h);
    EXPECT_EQ(rt[0], unit->StatusIndex());
    EXPECT_EQ(rt[1], reinterpret_cast<uint32_t*>(unit->RecordHalf(2, h)));
    EXPECT_EQ(rt[2], reinterpret_cast<uint32_t*>(unit->RecordHalf(5, h)));
    EXPECT_EQ(rt[3], unit->StatusValue());
    const uint32_t* const* pt = unit->PlaybackTable(h);
    EXPECT_EQ(pt[0], SilentOutputArrays()[0]) << "channel 0: attached, played by no client";
    EXPECT_EQ(pt[1], reinterpret_cast<const uint32_t*>(unit->PlaybackHalf(1, h))) << "the host's channel";
    EXPECT_EQ(pt[2], SilentOutputArrays()[0]);
  }
  unit->AttachRecordChannel(5, FALSE);
  unit->AttachClientPlaybackChannel(3, FALSE);
  unit->UpdateChannelMaps();
  EXPECT_EQ(unit->InputMask(), 0x04u);
  EXPECT_EQ(unit->OutputMask(), 0x03u);
  EXPECT_EQ(unit->RecordTable(0)[2], unit->StatusValue());
}

TEST_F(HalfExchange, WithOnlyTheHostTheRecordHalfIsSignalledAndThePlaybackWaitsForOutputReady) {
  StartAsio(0x3);
  for (uint32_t f = 0; f < kFrames; ++f) {
    unit->PlaybackHalf(1, 1)[f] = static_cast<LONG>(0x11000000 + f);
    unit->PlaybackHalf(0, 1)[f] = static_cast<LONG>(0x22000000 + f);
  }
  unit->Convert(1, &recordDescriptor, unit->Descriptor(3));
  EXPECT_EQ(cell, 1);
  EXPECT_EQ(KeReadStateEvent(&event), 1);
  for (uint32_t f = 0; f < kFrames; ++f) {
    ASSERT_EQ(static_cast<uint32_t>(unit->RecordHalf(2, 1)[f]), 0x20000 + f);
    ASSERT_EQ(static_cast<uint32_t>(unit->RecordHalf(5, 1)[f]), 0x50000 + f);
  }
  EXPECT_EQ(unit->statusBlocks, std::vector<uint32_t>{kFrames});
  EXPECT_TRUE(PlaybackUntouched()) << "held back until the host has filled its half";

  unit->Asio().mFirstBuffer = 1;
  unit->RunDeferredOutput();
  EXPECT_TRUE(PlaybackUntouched()) << "the first output ready after the capabilities converts nothing";
  unit->Asio().mFirstBuffer = 0;
  unit->RunDeferredOutput();
  for (uint32_t f = 0; f < kFrames; ++f) {
    ASSERT_EQ(playback.At(f, 0), 0x22000000 + f);
    ASSERT_EQ(playback.At(f, 1), 0x11000000 + f);
    ASSERT_EQ(playback.At(f, 2), 0u) << "channel 3 plays zeros";
  }
  std::fill(playback.data.begin(), playback.data.end(), 0xEEEEEEEEu);
  unit->RunDeferredOutput();
  EXPECT_TRUE(PlaybackUntouched()) << "one output ready, one half";
}

// A host that creates the driver asks for the capabilities before its buffers: its first output
// ready after them converts nothing, the next converts the half held back since.
TEST_F(HalfExchange, TheFirstOutputReadyAfterTheCapabilitiesConvertsNothing) {
  StartAsio(0x3);
  for (uint32_t f = 0; f < kFrames; ++f) {
    unit->PlaybackHalf(0, 0)[f] = static_cast<LONG>(0x33000000 + f);
    unit->PlaybackHalf(1, 0)[f] = static_cast<LONG>(0x44000000 + f);
  }
  uint32_t bytes = 0;
  const auto request = [&](uint32_t number, void* buffer, uint32_t outputLength) {
    return unit->HandleAsioRequest(nullptr, number, buffer, 0, outputLength, &bytes);
  };
  unit->Convert(1, &recordDescriptor, unit->Descriptor(3));
  AsioCapsReply caps{};
  ASSERT_EQ(request(256, &caps, sizeof caps), kQX531Success);
  ASSERT_EQ(request(265, nullptr, 0), kQX531Success);
  EXPECT_TRUE(PlaybackUntouched()) << "the first output ready after the capabilities";
  unit->Convert(0, &recordDescriptor, unit->Descriptor(3));
  ASSERT_EQ(request(265, nullptr, 0), kQX531Success);
  for (uint32_t f = 0; f < kFrames; ++f) {
    ASSERT_EQ(playback.At(f, 0), 0x33000000 + f);
    ASSERT_EQ(playback.At(f, 1), 0x44000000 + f);
  }
}

// The host's thread, woken by the event on another processor, finds the index of the half that
// woke it, whatever the interleaving.
TEST(HostSignal, TheHostWokenByTheEventReadsTheIndexOfTheHalfThatWokeItUnderEverySeed) {
  for (uint64_t seed : qxtest::InterleavingSeeds(16)) {
    SCOPED_TRACE(qxtest::SeedTrace(seed));
    sim::MainUnit main;
    WinDeviceRig rig(main, seed);
    auto unit = std::make_unique<ClientUnit>(rig.device, rig.counted);
    ASSERT_EQ(unit->AllocateChannelBuffers(), STATUS_SUCCESS);
    unit->UseFrames(kFrames);
    unit->AttachRecordChannel(0, TRUE);
    unit->Asio().mMapsChanged = 1;
    unit->UpdateChannelMaps();
    Blocks record(3, kFrames);
    BufferDescriptor recordDescriptor{};
    record.Describe(&recordDescriptor, kFrames, 0x1, 1, 1);
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    volatile UCHAR cell = 0;
    AsioClientState& asio = unit->Asio();
    asio.mIndexCell = const_cast<PUCHAR>(&cell);
    asio.mEvent = &event;
    asio.mActive = 1;
    std::vector<UCHAR> seen;
    const uint32_t host = rig.sched.Spawn("host", [&] {
      for (int i = 0; i < 4; ++i) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        seen.push_back(static_cast<UCHAR>(cell));
      }
    });
    for (uint32_t i = 0; i < 4; ++i)
      rig.sched.After((i + 1) * kNsPerMs, [&, i] {
        unit->ConvertBufferPair((i + 1) & 1, &recordDescriptor, unit->Descriptor(3));
      }, DISPATCH_LEVEL, "record half");
    ASSERT_TRUE(rig.sched.RunUntil([&] { return rig.sched.ThreadDone(host); }, rig.sched.Now() + kNsPerSecond));
    EXPECT_EQ(seen, (std::vector<UCHAR>{1, 0, 1, 0}));
    rig.sched.RunFor(10 * kNsPerMs);
    unit->EndAsioSignalling();
    asio.mIndexCell = nullptr;
    asio.mEvent = nullptr;
    unit->FreeChannelBuffers();
    unit.reset();
  }
}

// A buffer-size change sets the host's reset request at DISPATCH_LEVEL on one processor while the
// host's clock-state poll takes it on another: it is reported once or still set, never lost.
TEST(ResetRequest, ASetBesideTheHostsClockStatePollIsNeverLostUnderEverySeed) {
  for (uint64_t seed : qxtest::InterleavingSeeds(16)) {
    SCOPED_TRACE(qxtest::SeedTrace(seed));
    sim::MainUnit main;
    WinDeviceRig rig(main, seed);
    auto unit = std::make_unique<ClientUnit>(rig.device, rig.counted);
    ASSERT_EQ(unit->AllocateChannelBuffers(), STATUS_SUCCESS);
    AsioClientState& asio = unit->Asio();
    asio.mActive = 1;
    uint32_t reported = 0;
    const uint32_t poll = rig.sched.Spawn("host poll", [&] {
      for (int i = 0; i < 3; ++i) {
        AsioClockStateReply reply{};
        uint32_t bytes = 0;
        unit->HandleAsioRequest(nullptr, 263, &reply, 0, sizeof reply, &bytes);
        reported += reply.mResetRequest;
      }
    });
    const uint32_t change = rig.sched.Spawn("buffer-size change", [&] {
      KIRQL irql;
      KeRaiseIrql(DISPATCH_LEVEL, &irql);
      unit->StopClientStreams();
      KeLowerIrql(irql);
    });
    ASSERT_TRUE(rig.sched.RunUntil([&] { return rig.sched.ThreadDone(poll) && rig.sched.ThreadDone(change); },
                                   rig.sched.Now() + kNsPerSecond));
    EXPECT_EQ(reported + static_cast<uint32_t>(asio.mResetRequest), 1u);
    asio.mActive = 0;
    asio.mRestartPending = 0;
    unit->FreeChannelBuffers();
    unit.reset();
  }
}

TEST_F(HalfExchange, ADeferredHalfWhoseDescriptorWasReusedIsNotConverted) {
  StartAsio(0x3);
  unit->Convert(1, &recordDescriptor, unit->Descriptor(3));
  unit->Descriptor(3)->mUseCount += 1;
  unit->RunDeferredOutput();
  EXPECT_TRUE(PlaybackUntouched());
}

struct MismatchCase {
  const char* name;
  uint32_t frames;
  uint32_t mask;
  uint32_t count;
};

TEST_F(HalfExchange, APairCutForOtherFramesOrChannelsIsSkippedWithoutSignalOrStatus) {
  StartAsio(0x3);
  const MismatchCase cases[] = {
      {"frames", kFrames - 1, 0x24, 2},
      {"mask", kFrames, 0x21, 2},
      {"count", kFrames, 0x24, 3},
  };
  for (const MismatchCase& c : cases) {
    SCOPED_TRACE(c.name);
    cell = 0xFF;
    KeClearEvent(&event);
    unit->statusBlocks.clear();
    unit->RecordHalf(2, 0)[0] = 0x5A5A;
    record.Describe(&recordDescriptor, c.frames, c.mask, c.count, 1);
    unit->Convert(0, &recordDescriptor, unit->Descriptor(3));
    EXPECT_EQ(cell, 0xFF);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    EXPECT_TRUE(unit->statusBlocks.empty());
    EXPECT_EQ(unit->RecordHalf(2, 0)[0], 0x5A5A);
    EXPECT_EQ(unit->Asio().mDeferred.mWord, 0);
  }
}

// A stereo 32-bit render pin on channels 0 and 1 of the adapter.
struct WdmPin {
  explicit WdmPin(WdmClientState& wdm) {
    for (uint32_t i = 0; i < sizeof buffer / 4; ++i) {
      const uint32_t v = i % 2 == 0 ? 0x100u + i : 0x3000000u + i;
      std::memcpy(buffer + 4 * i, &v, 4);
    }
    wdm.SetStreamFormat(0, 2 | kWdmFormat32Bit);
    wdm.SetStreamBuffer(0, 0, buffer, sizeof buffer);
    wdm.SetStreamState(0, false, kWdmStateRun, kFrames, false);
    // Past the pre-roll, so it plays its own buffer from position 0.
    wdm.mPins[0][WdmClientState::kRender].state = kWdmStateRun;
  }
  uint32_t Sample(uint32_t frame, uint32_t channel) const {
    uint32_t v;
    std::memcpy(&v, buffer + 8 * frame + 4 * channel, 4);
    return v;
  }
  alignas(8) UCHAR buffer[8192] = {};
};

TEST_F(HalfExchange, TheAdaptersSamplesAreAddedToTheHostsWithSaturationAndCopiedWhereOnlyTheAdapterPlays) {
  WdmClientState wdm;
  unit->SetWdm(&wdm);
  WdmPin pin(wdm);
  StartAsio(0x1);
  for (uint32_t f = 0; f < kFrames; ++f) {
    unit->PlaybackHalf(0, 0)[f] = f % 2 ? 0x7FFFFF00 : 0x1000;
    unit->PlaybackHalf(1, 0)[f] = 0x5A5A5A5A;  // stale: must be overwritten
  }
  unit->Convert(0, &recordDescriptor, unit->Descriptor(3));
  EXPECT_TRUE(PlaybackUntouched());
  unit->RunDeferredOutput();
  for (uint32_t f = 0; f < kFrames; ++f) {
    const uint32_t mixed = f % 2 ? 0x7FFFFFFFu : 0x1000 + pin.Sample(f, 0);
    ASSERT_EQ(playback.At(f, 0), mixed) << f;
    ASSERT_EQ(playback.At(f, 1), pin.Sample(f, 1)) << f;
  }
  unit->SetWdm(nullptr);
}

TEST_F(HalfExchange, WithTheAdapterAloneTheOutputIsConvertedInTheSameCall) {
  WdmClientState wdm;
  unit->SetWdm(&wdm);
  WdmPin pin(wdm);
  unit->Asio().mMapsChanged = 1;
  unit->UpdateChannelMaps();
  unit->Convert(1, &recordDescriptor, unit->Descriptor(3));
  for (uint32_t f = 0; f < kFrames; ++f) {
    ASSERT_EQ(playback.At(f, 0), pin.Sample(f, 0));
    ASSERT_EQ(playback.At(f, 1), pin.Sample(f, 1));
    ASSERT_EQ(playback.At(f, 2), 0u);
  }
  EXPECT_EQ(unit->Asio().mDeferred.mWord, 0);
  unit->SetWdm(nullptr);
}

// A kernel client with rings on record channel 2 and playback channels 0 and 1.
struct KernelClient {
  static ULONG Exchange(ULONG code, ULONG value, PVOID argument, PVOID context) {
    auto* self = static_cast<KernelClient*>(context);
    self->calls.push_back({code, value, argument});
    return self->next;
  }
  struct Call {
    ULONG code;
    ULONG value;
    PVOID argument;
  };
  std::vector<LONG> ring[3] = {std::vector<LONG>(8192), std::vector<LONG>(8192), std::vector<LONG>(8192)};
  std::vector<Call> calls;
  ULONG next = 0;
};

class KernelExchange : public HalfExchange {
 protected:
  void SetUp() override {
    HalfExchange::SetUp();
    unit->ClientPort::mRecordBuffers[2] = client.ring[0].data();
    unit->ClientPort::mPlaybackBuffers[0] = client.ring[1].data();
    unit->ClientPort::mPlaybackBuffers[1] = client.ring[2].data();
    unit->mRecordMask = 0x4;
    unit->mPlaybackMask = 0x3;
    unit->mClientCallback = KernelClient::Exchange;
    unit->mClientContext = &client;
    unit->mAudioRunning = 1;
  }
  void TearDown() override {
    unit->mAudioRunning = 0;
    unit->mClientCallback = nullptr;
    for (PLONG& p : unit->ClientPort::mRecordBuffers) p = nullptr;
    for (PLONG& p : unit->ClientPort::mPlaybackBuffers) p = nullptr;
    HalfExchange::TearDown();
  }
  KernelClient client;
};

// The ring position is in bytes; 40 samples before the end, a half of 256 wraps sample by sample.
TEST_F(KernelExchange, TheRingsWrapPerSampleAndTheOutputIsCopiedOrMixed) {
  constexpr ULONG kStart = (8192 - 40) * 4;
  unit->mRingPosition = kStart;
  unit->mFramesExchanged = 8192 - 10;
  client.next = 0x12345;
  for (uint32_t f = 0; f < kFrames; ++f) {
    unit->RecordHalf(2, 1)[f] = static_cast<LONG>(0x700 + f);
    client.ring[1][(8192 - 40 + f) % 8192] = static_cast<LONG>(0x7FFFFF00);
    client.ring[2][(8192 - 40 + f) % 8192] = static_cast<LONG>(0x900 + f);
    unit->PlaybackHalf(0, 1)[f] = 0x1000;
    unit->PlaybackHalf(1, 1)[f] = 0x5A5A;
  }
  const ULONG returned = unit->ExchangeClientBuffers(1, 0x2, 0x1);
  for (uint32_t f = 0; f < kFrames; ++f) {
    ASSERT_EQ(client.ring[0][(8192 - 40 + f) % 8192], static_cast<LONG>(0x700 + f)) << f;
    ASSERT_EQ(unit->PlaybackHalf(0, 1)[f], 0x7FFFFFFF) << "mixed, saturating";
    ASSERT_EQ(unit->PlaybackHalf(1, 1)[f], static_cast<LONG>(0x900 + f)) << "copied";
  }
  EXPECT_EQ(client.ring[0][8192 - 41], 0) << "nothing before the position";
  EXPECT_EQ(client.ring[0][kFrames - 40], 0) << "nothing past the half";
  ASSERT_EQ(client.calls.size(), 1u);
  EXPECT_EQ(client.calls[0].code, kKernelClientExchange);
  EXPECT_EQ(client.calls[0].value, ((8192u - 10) * 4) & 32767);
  EXPECT_EQ(client.calls[0].argument, static_cast<ClientPort*>(unit.get()));
  EXPECT_EQ(returned, 0x12345u & 32767);
  EXPECT_EQ(unit->mRingPosition, returned);
  EXPECT_EQ(unit->mFramesExchanged, 8192u - 10 + kFrames);
}

// Beside the host and the adapter, the kernel client mixes where they play and copies elsewhere,
// once per half, after the adapter.
TEST_F(KernelExchange, RunsOncePerHalfAfterTheAdapterMixingWhereOthersPlay) {
  WdmClientState wdm;
  unit->SetWdm(&wdm);
  WdmPin pin(wdm);
  unit->mPlaybackMask = 0x9;  // channels 0 (the adapter's too) and 3 (its own)
  unit->ClientPort::mPlaybackBuffers[3] = client.ring[2].data();
  for (uint32_t f = 0; f < kFrames; ++f) {
    client.ring[1][f] = 1;
    client.ring[2][f] = static_cast<LONG>(0x4400 + f);
  }
  unit->Asio().mMapsChanged = 1;
  unit->UpdateChannelMaps();
  unit->Convert(0, &recordDescriptor, unit->Descriptor(3));
  EXPECT_EQ(client.calls.size(), 1u);
  for (uint32_t f = 0; f < kFrames; ++f) {
    ASSERT_EQ(playback.At(f, 0), pin.Sample(f, 0) + 1);
    ASSERT_EQ(playback.At(f, 1), pin.Sample(f, 1));
    ASSERT_EQ(playback.At(f, 2), 0x4400 + f);
  }
  unit->ClientPort::mPlaybackBuffers[3] = nullptr;
  unit->SetWdm(nullptr);
}

// A client that stops marks the maps changed: no table keeps its channel's half once the next
// buffer has come.
TEST_F(KernelExchange, AClientsStopOrDetachLeavesNoTablePointingAtItsChannels) {
  unit->MarkClientChanged();
  unit->UpdateChannelMaps();
  ASSERT_EQ(unit->PlaybackTable(0)[0], reinterpret_cast<const uint32_t*>(unit->PlaybackHalf(0, 0)));
  unit->mAudioRunning = 0;
  unit->mPlaybackMask = 0;
  unit->RestartClient();
  unit->UpdateChannelMaps();
  EXPECT_EQ(unit->PlaybackTable(0)[0], SilentOutputArrays()[0]);
  EXPECT_EQ(unit->PlaybackTable(0)[1], SilentOutputArrays()[0]);

  unit->AttachClientRecordChannel(5, FALSE);
  unit->UpdateChannelMaps();
  EXPECT_EQ(unit->InputMask(), 0x04u) << "the detach alone rebuilt the tables";
}

}  // namespace
