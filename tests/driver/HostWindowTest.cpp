// The host address windows a unit writes MIDI input and its status into, the stream buffers and
// the stream objects: made, written into through the bus driver, and given back whole.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "platform/bus1394/Bus1394.h"
#include "platform/kernel/Pool.h"
#include "tests/driver/WinDeviceRig.h"
#include "unit/RegisterMap.h"

namespace {

using drivertest::WinDeviceRig;

class HostWindows : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(win.ExtractNodeAndGenerationIDs(), 0); }

  // Tells the unit where its writes go, as the engine's notify writer does (without switching its
  // own reports on).
  void Aim(uint32_t hiRegister, uint32_t loRegister, uint32_t hi, uint32_t lo) {
    win.WriteQuadlet(nullptr, hiRegister, (0xFFC0u | win.LocalNodeNumber()) << 16 | hi);
    win.WriteQuadlet(nullptr, loRegister, lo);
  }

  sim::Kr6Unit unit{31};
  WinDeviceRig rig{unit};
  drivertest::TestUnit& win = *rig.win;
  const size_t rigPool = WinDeviceRig::FrameworkPoolBytes();
};

TEST_F(HostWindows, MidiRecordsArriveInHostOrderAndTheWindowGoesBackWhole) {
  PlatformHandle window = nullptr;
  uint32_t hi = 0xDEAD, lo = 0xBEEF;
  ASSERT_EQ(win.AllocateFWMemorySpace(&window, 0, win.MidiReceiveBuffer(), 4096, &hi, &lo), 0);
  ASSERT_NE(window, nullptr);
  EXPECT_NE(static_cast<uint64_t>(hi) << 32 | lo, 0xDEADBEEFu);
  ASSERT_EQ(win.log.size(), 5u) << "the three id lines and the two address lines";
  EXPECT_EQ(win.log[3].rfind("AllocateFWMemorySpace   addressHi              ", 0), 0u);
  Aim(QX5310_MIDI_NOTIFY_HI, QX5310_MIDI_NOTIFY_LO, hi, lo);

  // More writes than the window has receive buffers, so each must come back.
  for (int round = 0; round < 20; ++round) {
    std::array<uint8_t, 24> records{};
    for (int r = 0; r < 3; ++r) {
      bus1394test::PutBe32(&records[r * 8], 0x40900000u + static_cast<uint32_t>(round * 3 + r));
      bus1394test::PutBe32(&records[r * 8 + 4], 0x01020304);
    }
    unit.WriteRawToMidiWindow(records);
    rig.Run();
  }
  ASSERT_EQ(win.midiWrites.size(), 20u);
  const std::vector<uint8_t>& last = win.midiWrites.back();
  ASSERT_EQ(last.size(), 24u);
  for (int r = 0; r < 3; ++r) {
    uint32_t first, second;
    std::memcpy(&first, &last[r * 8], 4);
    std::memcpy(&second, &last[r * 8 + 4], 4);
    EXPECT_EQ(first, 0x40900000u + 57 + r) << "the first quadlet in host order";
    EXPECT_EQ(bus1394test::Be32(&last[r * 8 + 4]), 0x01020304u) << "the second as written";
  }
  EXPECT_EQ(unit.Counters().hostWritesFailed, 0u);

  const std::array<uint8_t, 12> partial{};
  unit.WriteRawToMidiWindow(partial);
  rig.Run();
  EXPECT_EQ(win.midiWrites.size(), 20u) << "a write of no whole record reaches nothing";

  EXPECT_EQ(win.FreeFWMemorySpace(window), 0);
  EXPECT_EQ(WinDeviceRig::FrameworkPoolBytes(), rigPool);
}

TEST_F(HostWindows, StatusWritesReachTheAsyncBufferAsWritten) {
  PlatformHandle window = nullptr;
  uint32_t hi = 0, lo = 0;
  ASSERT_EQ(win.AllocateFWMemorySpace(&window, 0, win.AsyncReceiveBuffer(), 256, &hi, &lo), 0);
  Aim(QX5310_ASYNC_NOTIFY_HI, QX5310_ASYNC_NOTIFY_LO, hi, lo);
  const std::array<uint8_t, 8> status{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
  unit.WriteRawToAsyncWindow(status);
  rig.Run();
  EXPECT_EQ(win.asyncWrites, std::vector<uint32_t>{8});
  EXPECT_EQ(std::memcmp(win.AsyncReceiveBuffer(), status.data(), status.size()), 0);
  win.FreeFWMemorySpace(window);
  EXPECT_EQ(WinDeviceRig::FrameworkPoolBytes(), rigPool);
}

TEST_F(HostWindows, AWindowIsMadeOnlyForTheEnginesBuffersWithNoFlags) {
  const auto before = plat::Bus1394::Counters().requests[REQUEST_ALLOCATE_ADDRESS_RANGE];
  uint8_t other[256];
  struct Case {
    const char* what;
    uint32_t flags;
    void* buffer;
  };
  const Case cases[] = {
      {"flags 1", 1, win.MidiReceiveBuffer()},
      {"another buffer", 0, other},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PlatformHandle window = nullptr;
    uint32_t hi = 5, lo = 5;
    EXPECT_EQ(win.AllocateFWMemorySpace(&window, c.flags, c.buffer, 256, &hi, &lo), 99);
    EXPECT_EQ(window, nullptr);
  }
  EXPECT_EQ(plat::Bus1394::Counters().requests[REQUEST_ALLOCATE_ADDRESS_RANGE], before);
  EXPECT_EQ(WinDeviceRig::FrameworkPoolBytes(), rigPool);
}

// Whatever makes it fail, the offsets the caller gave come back 0 and no window is kept.
TEST_F(HostWindows, EveryFailureLeavesTheOffsetsZero) {
  uint8_t other[256];
  struct Case {
    const char* what;
    uint32_t flags;
    void* buffer;
    void (*fault)();
  };
  const Case cases[] = {
      {"flags 1", 1, win.MidiReceiveBuffer(), [] {}},
      {"the top flag", 0x80000000u, win.AsyncReceiveBuffer(), [] {}},
      {"another buffer", 0, other, [] {}},
      {"no memory for the window", 0, win.MidiReceiveBuffer(), [] { plat::PoolLedger::FailNth(1); }},
      {"no memory for a receive buffer", 0, win.AsyncReceiveBuffer(), [] { plat::PoolLedger::FailNth(4); }},
      {"the bus refuses the range", 0, win.MidiReceiveBuffer(),
       [] { plat::Bus1394::RefuseRequests(REQUEST_ALLOCATE_ADDRESS_RANGE, STATUS_INSUFFICIENT_RESOURCES); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PlatformHandle window = nullptr;
    uint32_t hi = 0x5A5A, lo = 0xA5A5A5A5;
    c.fault();
    EXPECT_EQ(win.AllocateFWMemorySpace(&window, c.flags, c.buffer, 256, &hi, &lo), 99);
    plat::PoolLedger::ClearFailures();
    EXPECT_EQ(hi, 0u);
    EXPECT_EQ(lo, 0u);
    EXPECT_EQ(window, nullptr);
    EXPECT_EQ(WinDeviceRig::FrameworkPoolBytes(), rigPool);
  }
}

// Whichever allocation fails, the result is 99 with the offsets 0 and nothing kept, or a window.
TEST_F(HostWindows, AShortageOfMemoryLeavesNoWindowBehind) {
  int failures = 0;
  for (size_t failing = 1; failing <= 40; ++failing) {
    SCOPED_TRACE(testing::Message() << "allocation " << failing << " fails");
    PlatformHandle window = nullptr;
    uint32_t hi = 5, lo = 5;
    plat::PoolLedger::FailNth(failing);
    const int32_t result = win.AllocateFWMemorySpace(&window, 0, win.MidiReceiveBuffer(), 4096, &hi, &lo);
    plat::PoolLedger::ClearFailures();
    if (result != 0) {
      ++failures;
      EXPECT_EQ(result, 99);
      EXPECT_EQ(window, nullptr);
      EXPECT_EQ(hi, 0u);
      EXPECT_EQ(lo, 0u);
    } else {
      EXPECT_EQ(win.FreeFWMemorySpace(window), 0);
    }
    EXPECT_EQ(WinDeviceRig::FrameworkPoolBytes(), rigPool);
  }
  EXPECT_GE(failures, 35) << "16 buffers and their records, the window, the request and its sending";
}

TEST_F(HostWindows, StreamBuffersAreNonPagedAndFreedWhole) {
  StreamBuffer buffer{};
  ASSERT_EQ(win.AllocateBuffer(&buffer, 16384, 0), 0);
  EXPECT_NE(buffer.mBuffer, nullptr);
  EXPECT_EQ(buffer.mMapping, buffer.mBuffer);
  EXPECT_EQ(WinDeviceRig::FrameworkPoolBytes(), rigPool + 16384);
  EXPECT_EQ(win.FreeBuffer(&buffer), 0);
  EXPECT_EQ(buffer.mBuffer, nullptr);
  EXPECT_EQ(buffer.mMapping, nullptr);

  EXPECT_NE(win.AllocateBuffer(&buffer, 0, 1), 0);
  EXPECT_EQ(buffer.mBuffer, nullptr);
  plat::PoolLedger::FailTag(kFrameworkPoolTag, true);
  EXPECT_NE(win.AllocateBuffer(&buffer, 16384, 1), 0);
  plat::PoolLedger::FailTag(kFrameworkPoolTag, false);
  EXPECT_EQ(buffer.mBuffer, nullptr);
  EXPECT_EQ(buffer.mMapping, nullptr);
  EXPECT_EQ(WinDeviceRig::FrameworkPoolBytes(), rigPool);
}

TEST_F(HostWindows, StreamObjectsAreMadeAndFreed) {
  PlatformHandle record = nullptr;
  PlatformHandle playback = nullptr;
  ASSERT_EQ(win.AllocateIsochStreamObject(&record, 0), 0);
  ASSERT_EQ(win.AllocateIsochStreamObject(&playback, 1), 0);
  EXPECT_NE(record, playback);
  EXPECT_EQ(win.FreeIsochStreamObject(record), 0);
  EXPECT_EQ(win.FreeIsochStreamObject(playback), 0);
  EXPECT_EQ(win.FreeIsochStreamObject(nullptr), 0);
  plat::PoolLedger::FailTag(kFrameworkPoolTag, true);
  EXPECT_EQ(win.AllocateIsochStreamObject(&record, 0), 99);
  plat::PoolLedger::FailTag(kFrameworkPoolTag, false);
  EXPECT_EQ(record, nullptr);
  EXPECT_EQ(WinDeviceRig::FrameworkPoolBytes(), rigPool);
}

}  // namespace
