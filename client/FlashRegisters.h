// The unit registers and command words of flash programming.
#pragma once

#include <cstdint>

inline constexpr uint32_t QX5310_FLASH_LENGTH = 0x144;
inline constexpr uint32_t QX5310_FLASH_UNLOCK = 0x180;
inline constexpr uint32_t QX5310_FLASH_PARTITION = 0x184;
inline constexpr uint32_t QX5310_FLASH_COMMAND = 0x188;
inline constexpr uint32_t QX5310_FLASH_DATA_WINDOW = 0x8000;

inline constexpr uint32_t kFlashUnlockWord = 0x6B2D94F1;
inline constexpr uint32_t kFlashCommandBegin = 0xACEACE01;
inline constexpr uint32_t kFlashCommandProgram = 0xACEACE02;
inline constexpr uint32_t kFlashCommandFinish = 0xACEACE03;

inline constexpr uint32_t kFlashPartitionFirmware = 1;
inline constexpr uint32_t kFlashPartitionFpga = 2;

inline constexpr uint32_t kFlashBlockBytes = 8192;
// Low byte of the status word when the last command completed without error; the unit's running
// CRC is in the high half.
inline constexpr uint32_t kFlashStatusGood = 0x0F;
constexpr bool FlashStatusGood(uint32_t status) { return (status & 0xFF) == kFlashStatusGood; }
constexpr uint16_t FlashStatusCrc(uint32_t status) { return static_cast<uint16_t>(status >> 16); }

// The register a programming word is written to.
inline constexpr uint32_t kProgrammingWordRegister = 0x410;
