#include "sim/bus/ConfigRom.h"

namespace sim {

namespace {

constexpr uint32_t kInfoLength = 4;
constexpr uint32_t kLinkSpeedS400 = 2;
constexpr uint32_t kNodeCapabilities = 0x0083C0;  // 64-bit fixed addressing, lost state, ...

uint32_t Entry(uint8_t key, uint32_t value) { return uint32_t{key} << 24 | (value & 0xFFFFFF); }

// A block with its length-and-CRC header in front.
std::vector<uint32_t> Block(std::vector<uint32_t> body) {
  std::vector<uint32_t> out;
  out.reserve(body.size() + 1);
  out.push_back(static_cast<uint32_t>(body.size()) << 16 | RomCrc16(body));
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

// A textual descriptor leaf: type and specifier 0, then width, character set and language 0
// (minimal ASCII), then the text padded with NULs to whole quadlets.
std::vector<uint32_t> TextLeaf(const std::string& text) {
  std::vector<uint32_t> body = {0, 0};
  for (size_t i = 0; i < text.size(); i += 4) {
    uint32_t q = 0;
    for (size_t k = 0; k < 4; ++k)
      q |= uint32_t{i + k < text.size() ? static_cast<uint8_t>(text[i + k]) : 0u} << (24 - 8 * k);
    body.push_back(q);
  }
  return Block(std::move(body));
}

}  // namespace

uint16_t RomCrc16(std::span<const uint32_t> quadlets) {
  uint32_t crc = 0;
  for (uint32_t data : quadlets) {
    for (int shift = 28; shift >= 0; shift -= 4) {
      uint32_t sum = ((crc >> 12) ^ (data >> shift)) & 0xF;
      crc = (crc << 4) ^ (sum << 12) ^ (sum << 5) ^ sum;
    }
    crc &= 0xFFFF;
  }
  return static_cast<uint16_t>(crc);
}

std::vector<uint32_t> BuildConfigRom(const RomIdentity& id) {
  // Layout: bus information block, root directory, unit directory, vendor leaf, model leaf. A
  // directory entry's value is the distance in quadlets from the entry to what it names.
  std::vector<uint32_t> vendorLeaf = TextLeaf(id.vendorName);
  std::vector<uint32_t> modelLeaf = TextLeaf(id.modelName);
  constexpr uint32_t kRootEntries = 6, kUnitEntries = 4;
  const uint32_t root = 1 + kInfoLength;
  const uint32_t unit = root + 1 + kRootEntries;
  const uint32_t vendorAt = unit + 1 + kUnitEntries;
  const uint32_t modelAt = vendorAt + static_cast<uint32_t>(vendorLeaf.size());
  auto from = [](uint32_t entry, uint32_t target) { return target - entry; };

  std::vector<uint32_t> rootBody = {
      Entry(kRomKeyVendor, id.vendorId),
      Entry(kRomKeyTextLeaf, from(root + 2, vendorAt)),
      Entry(kRomKeyModel, id.modelId),
      Entry(kRomKeyTextLeaf, from(root + 4, modelAt)),
      Entry(kRomKeyNodeCapabilities, kNodeCapabilities),
      Entry(kRomKeyUnitDirectory, from(root + 6, unit)),
  };
  std::vector<uint32_t> unitBody = {
      Entry(kRomKeyUnitSpecId, id.unitSpecId),
      Entry(kRomKeyUnitSwVersion, id.unitSwVersion),
      Entry(kRomKeyModel, id.modelId),
      Entry(kRomKeyTextLeaf, from(unit + 4, modelAt)),
  };
  std::vector<uint32_t> info = {
      kRomBusName,
      uint32_t{1} << 29 | uint32_t{0xFF} << 16 | uint32_t{id.maxRec & 0xFu} << 12 | kLinkSpeedS400,
      static_cast<uint32_t>(id.guid >> 32),
      static_cast<uint32_t>(id.guid),
  };
  std::vector<uint32_t> rom;
  rom.push_back(kInfoLength << 24 | kInfoLength << 16 | RomCrc16(info));
  rom.insert(rom.end(), info.begin(), info.end());
  for (const auto& block : {Block(rootBody), Block(unitBody), vendorLeaf, modelLeaf})
    rom.insert(rom.end(), block.begin(), block.end());
  return rom;
}

}  // namespace sim
