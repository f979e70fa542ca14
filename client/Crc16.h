// The CRC-16 of flash blocks, which host and unit both compute: polynomial 0x1021, initial 0, no
// reflection, no final XOR, over each 32-bit word's bytes from the most significant.
#pragma once

#include <cstdint>

uint16_t UpdateCrc16(uint32_t word, uint16_t crc);
uint16_t ComputeCrc16(const uint32_t* words, uint32_t count);
