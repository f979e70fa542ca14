// The clients' channel buffers on the Windows unit object: one block of whole pages with the rows
// staggered, attach counts that keep a channel streaming until its last client lets go, and the
// per-half channel tables, conversions and exchanges between the stream and the three kinds of
// client.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "driver/WdmClientState.h"
#include "tests/driver/WinDeviceRig.h"
#include "unit/ChannelRows.h"

namespace {

using drivertest::WinDeviceRig;

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
  // The stream's frames per half, as its geometry sets them.
  void UseFrames(uint32_t frames) {
    SetBufferFrames(frames);
    ComputeBufferGeometry();
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

}  // namespace
