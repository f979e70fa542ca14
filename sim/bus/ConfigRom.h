// A node's configuration ROM as IEEE 1212 lays it out from 0xFFFF F000 0400: the bus information
// block with the node's GUID, a root directory naming vendor and model (with textual leaves), and
// one unit directory. Each block carries its CRC-16.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace sim {

constexpr uint64_t kConfigRomAddress = 0xFFFF'F000'0400ull;
constexpr uint32_t kConfigRomBytes = 0x400;  // 0x400-0x7FF of the initial register space

// Directory keys: the type in bits 6-7 (0 immediate, 2 leaf, 3 directory), the id below.
constexpr uint8_t kRomKeyVendor = 0x03;
constexpr uint8_t kRomKeyNodeCapabilities = 0x0C;
constexpr uint8_t kRomKeyUnitSpecId = 0x12;
constexpr uint8_t kRomKeyUnitSwVersion = 0x13;
constexpr uint8_t kRomKeyModel = 0x17;
constexpr uint8_t kRomKeyTextLeaf = 0x81;
constexpr uint8_t kRomKeyUnitDirectory = 0xD1;
constexpr uint32_t kRomBusName = 0x31333934;  // "1394"

struct RomIdentity {
  uint64_t guid = 0;
  uint32_t vendorId = 0;  // 24 bits
  std::string vendorName;
  uint32_t modelId = 0;   // 24 bits
  std::string modelName;
  uint32_t unitSpecId = 0;
  uint32_t unitSwVersion = 0;
  uint8_t maxRec = 0xA;   // the largest block request it takes: 2^(maxRec + 1) bytes
};

// The ROM's quadlets in host order, the first at 0xFFFF F000 0400.
std::vector<uint32_t> BuildConfigRom(const RomIdentity& id);

// The CRC of IEEE 1212 over the quadlets of a block.
uint16_t RomCrc16(std::span<const uint32_t> quadlets);

}  // namespace sim
