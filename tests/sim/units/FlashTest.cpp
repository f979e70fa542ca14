#include <gtest/gtest.h>

#include <cstring>

#include "sim/units/Flash.h"
#include "sim/units/Kr6Unit.h"
#include "sim/units/MainUnit.h"
#include "tests/sim/units/UnitHarness.h"

namespace {

using plat::kNsPerMs;
using sim::Flash;
using simtest::UnitBench;

// The host's CRC-16, written out here as the host computes it: per word, eight 4-bit groups from
// the most significant.
uint16_t HostCrc(const std::vector<uint32_t>& words) {
  uint32_t crc = 0;
  for (uint32_t w : words) {
    for (int i = 7; i >= 0; --i) {
      uint32_t c = ((crc >> 12) ^ (w >> (4 * i))) & 0xF;
      crc = ((crc << 4) ^ (c << 12) ^ (c << 5) ^ c) & 0xFFFF;
    }
  }
  return static_cast<uint16_t>(crc);
}

TEST(FlashCrc, MatchesTheKnownValues) {
  EXPECT_EQ(Flash::UpdateCrc16(0x61626364, 0), 0xA836);
  EXPECT_EQ(Flash::UpdateCrc16(0x35363738, Flash::UpdateCrc16(0x31323334, 0)), 0x9015);
}

template <typename UnitT>
struct FlashFixture : testing::Test {
  FlashFixture() { unit.Plug(b.bus); }

  void Command(uint32_t command) {
    b.WriteQuadlet(unit, 0x180, Flash::kUnlockWord);
    b.WriteQuadlet(unit, 0x188, command);
  }
  uint32_t StatusAfter(plat::VTime wait) {
    b.sched.RunFor(wait);
    return *b.Read(unit, 0x188);
  }
  // A block the way the host sends it: words in host byte order, in pieces of at most 2048 bytes.
  void SendBlock(const std::vector<uint32_t>& words) {
    std::vector<uint8_t> bytes(words.size() * 4);
    if (!words.empty()) std::memcpy(bytes.data(), words.data(), bytes.size());
    for (size_t at = 0; at < bytes.size(); at += sim::kMaxAsyncPayload) {
      size_t n = std::min<size_t>(sim::kMaxAsyncPayload, bytes.size() - at);
      b.Write(unit, 0x8000 + static_cast<uint32_t>(at), std::span<const uint8_t>(&bytes[at], n));
    }
    b.WriteQuadlet(unit, 0x144, static_cast<uint32_t>(bytes.size()));
    Command(Flash::kProgram);
  }

  UnitBench b;
  UnitT unit = UnitT(77);
};

using FlashUnits = testing::Types<sim::MainUnit, sim::Kr6Unit>;
TYPED_TEST_SUITE(FlashFixture, FlashUnits);

TYPED_TEST(FlashFixture, AnImageProgramsWithTheCrcTheHostComputes) {
  this->b.WriteQuadlet(this->unit, 0x184, 2);
  this->Command(Flash::kBegin);
  EXPECT_EQ(this->StatusAfter(kNsPerMs) & 0xFF, Flash::kBusy);
  EXPECT_EQ(this->StatusAfter(7000 * kNsPerMs), 0x0Fu);

  std::vector<uint32_t> first(2048), second = {0x61626364, 0x00000001, 0xFFFFFFFF};
  for (uint32_t i = 0; i < first.size(); ++i) first[i] = i * 0x9E3779B9u;
  this->SendBlock(first);
  uint32_t s = this->StatusAfter(8192 * 20 / 1000 * kNsPerMs + 20 * kNsPerMs);
  EXPECT_EQ(s & 0xFF, 0x0Fu);
  EXPECT_EQ(s >> 16, HostCrc(first));
  this->SendBlock(second);
  std::vector<uint32_t> all = first;
  all.insert(all.end(), second.begin(), second.end());
  s = this->StatusAfter(20 * kNsPerMs);
  EXPECT_EQ(s >> 16, HostCrc(all));
  this->SendBlock({});
  EXPECT_EQ(this->StatusAfter(20 * kNsPerMs) & 0xFF, 0x0Fu);
  this->Command(Flash::kFinish);
  EXPECT_EQ(this->StatusAfter(22 * kNsPerMs) & 0xFF, 0x0Fu);

  const auto& image = this->unit.GetFlash().Image(2);
  ASSERT_EQ(image.size(), all.size() * 4);
  EXPECT_EQ(0, std::memcmp(image.data(), all.data(), image.size()));
  EXPECT_TRUE(this->unit.GetFlash().Finished(2));
  EXPECT_FALSE(this->unit.GetFlash().Finished(1));
}

TYPED_TEST(FlashFixture, CommandsWithoutUnlockOrOutOfOrderFail) {
  struct Case {
    const char* name;
    std::function<void()> act;
    uint8_t status;
  };
  auto& t = *this;
  const Case cases[] = {
      {"no unlock", [&] { t.b.WriteQuadlet(t.unit, 0x188, Flash::kBegin); }, Flash::kLocked},
      {"program before begin", [&] { t.SendBlock({1}); }, Flash::kNotErased},
      {"bad partition", [&] { t.b.WriteQuadlet(t.unit, 0x184, 3); t.Command(Flash::kBegin); }, Flash::kBadPartition},
      {"unknown command", [&] { t.Command(0xACEACE04); }, Flash::kBadCommand},
      {"begin", [&] { t.b.WriteQuadlet(t.unit, 0x184, 1); t.Command(Flash::kBegin); }, Flash::kOk},
      {"length not whole words", [&] { t.b.WriteQuadlet(t.unit, 0x144, 6); t.Command(Flash::kProgram); },
       Flash::kBadLength},
      {"unlock used up", [&] { t.b.WriteQuadlet(t.unit, 0x188, Flash::kFinish); }, Flash::kLocked},
      {"injected failure", [&] { t.unit.GetFlash().FailNextCommand(); t.Command(Flash::kFinish); }, Flash::kFailed},
      {"finish", [&] { t.Command(Flash::kFinish); }, Flash::kOk},
  };
  for (const auto& c : cases) {
    c.act();
    EXPECT_EQ(t.StatusAfter(3000 * kNsPerMs) & 0xFF, c.status) << c.name;
  }
}

}  // namespace
