// The units' configuration ROM as the host reads it: quadlet by quadlet at 0xFFFF F000 0400.
#include <gtest/gtest.h>

#include <memory>

#include "sim/bus/ConfigRom.h"
#include "sim/units/Kr6Unit.h"
#include "sim/units/MainUnit.h"
#include "tests/sim/units/UnitHarness.h"

namespace {

using simtest::UnitBench;

// Reads the ROM from the bus until the first quadlet that does not answer.
std::vector<uint32_t> ReadRom(UnitBench& b, const sim::Unit& unit) {
  std::vector<uint32_t> rom;
  for (uint32_t at = sim::Unit::kConfigRom; at < sim::Unit::kConfigRom + sim::kConfigRomBytes; at += 4) {
    auto q = b.Read(unit, at);
    if (!q) break;
    rom.push_back(*q);
  }
  return rom;
}

TEST(ConfigRom, EveryUnitAnswersItsBusInformationBlockAndDirectoriesWithValidCrcs) {
  struct Case {
    const char* what;
    std::unique_ptr<sim::Unit> unit;
    uint32_t model;
  };
  Case cases[] = {{"main unit", std::make_unique<sim::MainUnit>(0x0050C2A1'5310'0042ull), sim::MainUnit::kModelId},
                  {"expansion unit", std::make_unique<sim::Kr6Unit>(0x77), sim::Kr6Unit::kModelId}};
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    UnitBench b;
    c.unit->Plug(b.bus);
    std::vector<uint32_t> rom = ReadRom(b, *c.unit);
    ASSERT_EQ(rom, c.unit->ConfigRom());
    ASSERT_GE(rom.size(), 5u);
    EXPECT_EQ(rom[0] >> 24, 4u);
    EXPECT_EQ(rom[0] & 0xFFFF, sim::RomCrc16(std::span(rom).subspan(1, 4)));
    EXPECT_EQ(rom[1], sim::kRomBusName);
    EXPECT_EQ(uint64_t{rom[3]} << 32 | rom[4], c.unit->Guid());
    const uint32_t rootLength = rom[5] >> 16;
    EXPECT_EQ(rom[5] & 0xFFFF, sim::RomCrc16(std::span(rom).subspan(6, rootLength)));
    EXPECT_EQ(rom[6], uint32_t{sim::kRomKeyVendor} << 24 | 0x0050C2);
    EXPECT_EQ(rom[8], uint32_t{sim::kRomKeyModel} << 24 | c.model);
    EXPECT_EQ(b.Read(*c.unit, sim::Unit::kConfigRom, 8), std::nullopt) << "quadlet reads only";
  }
}

}  // namespace
