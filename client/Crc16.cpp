#include "client/Crc16.h"

uint16_t UpdateCrc16(uint32_t word, uint16_t crc) {
  uint32_t value = crc;
  for (int shift = 28; shift >= 0; shift -= 4) {
    uint32_t group = (word >> shift) & 0xF;
    uint32_t c = ((value >> 12) ^ group) & 0xF;
    value = ((value << 4) ^ (c << 12) ^ (c << 5) ^ c) & 0xFFFF;
  }
  return static_cast<uint16_t>(value);
}

uint16_t ComputeCrc16(const uint32_t* words, uint32_t count) {
  uint16_t crc = 0;
  for (uint32_t i = 0; i < count; ++i) crc = UpdateCrc16(words[i], crc);
  return crc;
}
