// Flash commands: every command is preceded by the unlock word; the status word is the only check.
#include <cstring>

#include "client/Crc16.h"
#include "client/FlashRegisters.h"
#include "client/QX531BaseDriverInterface.h"

int32_t QX531BaseDriverInterface::FlashBegin(DeviceHandle handle, uint32_t partition) {
  WriteRegisterOf(handle, QX5310_FLASH_PARTITION, partition);
  WriteRegisterOf(handle, QX5310_FLASH_UNLOCK, kFlashUnlockWord);
  WriteRegisterOf(handle, QX5310_FLASH_COMMAND, kFlashCommandBegin);
  return kQX531Success;
}

uint32_t QX531BaseDriverInterface::FlashStatus(DeviceHandle handle) {
  return ReadRegisterOf(handle, QX5310_FLASH_COMMAND);
}

int32_t QX531BaseDriverInterface::FlashWrite(DeviceHandle handle, const void* data, uint32_t length, uint16_t* crc) {
  if (length > kFlashBlockBytes) return kQX531Failure;
  // Staged in whole words, the pad zeroed: the caller's bytes end where it says.
  uint32_t words[kFlashBlockBytes / sizeof(uint32_t)] = {};
  uint32_t padded = (length + 3) & ~3u;
  if (length != 0) std::memcpy(words, data, length);
  for (uint32_t i = 0; i < padded / sizeof(uint32_t); ++i) *crc = UpdateCrc16(words[i], *crc);
  WriteBlock8000(handle, words, padded);
  WriteRegisterOf(handle, QX5310_FLASH_LENGTH, padded);
  WriteRegisterOf(handle, QX5310_FLASH_UNLOCK, kFlashUnlockWord);
  WriteRegisterOf(handle, QX5310_FLASH_COMMAND, kFlashCommandProgram);
  return kQX531Success;
}

int32_t QX531BaseDriverInterface::FlashEnd(DeviceHandle handle) {
  WriteRegisterOf(handle, QX5310_FLASH_UNLOCK, kFlashUnlockWord);
  WriteRegisterOf(handle, QX5310_FLASH_COMMAND, kFlashCommandFinish);
  return kQX531Success;
}
