// The two flash partitions of a unit (1 firmware, 2 FPGA image) and their programming registers.
//
// Every command needs the unlock word written before it. Begin erases the partition and restarts
// the CRC; program appends the block waiting in the data window; finish closes the partition.
// The data window holds 32-bit words in the host's byte order (least significant byte first), and
// the CRC-16 (polynomial 0x1021, initial 0) takes each word's 4-bit groups from the most
// significant down, so it equals what the host computes over the same words.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "platform/kernel/Scheduler.h"

namespace sim {

class Flash {
 public:
  static constexpr uint32_t kUnlockWord = 0x6B2D94F1;
  static constexpr uint32_t kBegin = 0xACEACE01;
  static constexpr uint32_t kProgram = 0xACEACE02;
  static constexpr uint32_t kFinish = 0xACEACE03;
  static constexpr uint32_t kWindowSize = 8192;
  static constexpr uint32_t kPartitionSize = 1u << 20;
  // Low byte of the status word.
  static constexpr uint8_t kOk = 0x0F;
  static constexpr uint8_t kBusy = 0x01;
  static constexpr uint8_t kLocked = 0xE1;
  static constexpr uint8_t kBadPartition = 0xE2;
  static constexpr uint8_t kNotErased = 0xE3;
  static constexpr uint8_t kBadLength = 0xE4;
  static constexpr uint8_t kFull = 0xE5;
  static constexpr uint8_t kBadCommand = 0xE6;
  static constexpr uint8_t kFailed = 0xEE;

  struct Timing {
    plat::VTime erase = 2 * plat::kNsPerSecond;
    plat::VTime programBase = 5 * plat::kNsPerMs;
    plat::VTime programPerByte = 10000;
    plat::VTime finish = 10 * plat::kNsPerMs;
  };

  static uint16_t UpdateCrc16(uint32_t word, uint16_t crc);

  void SetTiming(const Timing& t) { timing_ = t; }
  void FailNextCommand() { failNext_ = true; }

  void WriteLength(uint32_t v) { length_ = v; }
  void WriteUnlock(uint32_t v) { unlocked_ = v == kUnlockWord; }
  void WritePartition(uint32_t v) { partition_ = v; }
  void WriteCommand(uint32_t command, plat::VTime now);
  bool WriteWindow(uint32_t offset, std::span<const uint8_t> data);
  uint32_t Status(plat::VTime now) const;

  const std::vector<uint8_t>& Image(int partition) const { return parts_[partition == 2 ? 1 : 0].data; }
  bool Finished(int partition) const { return parts_[partition == 2 ? 1 : 0].finished; }
  uint32_t Commands() const { return commands_; }

 private:
  struct Partition {
    std::vector<uint8_t> data;
    bool finished = false;
  };
  uint8_t Program(plat::VTime now);

  Timing timing_;
  std::array<uint8_t, kWindowSize> window_{};
  std::array<Partition, 2> parts_;
  uint32_t length_ = 0;
  uint32_t partition_ = 0;
  int open_ = 0;  // the partition between begin and finish, 0 none
  bool unlocked_ = false;
  bool failNext_ = false;
  uint8_t result_ = kOk;
  uint16_t crc_ = 0;
  plat::VTime busyUntil_ = 0;
  uint32_t commands_ = 0;
};

}  // namespace sim
