#include "sim/units/Flash.h"

#include <algorithm>

namespace sim {

uint16_t Flash::UpdateCrc16(uint32_t word, uint16_t crc) {
  uint32_t c16 = crc;
  for (int shift = 28; shift >= 0; shift -= 4) {
    uint32_t c = ((c16 >> 12) ^ (word >> shift)) & 0xF;
    c16 = ((c16 << 4) ^ (c << 12) ^ (c << 5) ^ c) & 0xFFFF;
  }
  return static_cast<uint16_t>(c16);
}

void Flash::WriteCommand(uint32_t command, plat::VTime now) {
  ++commands_;
  bool unlocked = unlocked_;
  unlocked_ = false;
  if (!unlocked) {
    result_ = kLocked;
    return;
  }
  if (failNext_) {
    failNext_ = false;
    result_ = kFailed;
    return;
  }
  switch (command) {
    case kBegin:
      if (partition_ != 1 && partition_ != 2) {
        result_ = kBadPartition;
        return;
      }
      open_ = static_cast<int>(partition_);
      parts_[open_ - 1] = Partition{};
      crc_ = 0;
      busyUntil_ = now + timing_.erase;
      result_ = kOk;
      return;
    case kProgram:
      result_ = Program(now);
      return;
    case kFinish:
      if (open_ == 0) {
        result_ = kNotErased;
        return;
      }
      parts_[open_ - 1].finished = true;
      open_ = 0;
      busyUntil_ = now + timing_.finish;
      result_ = kOk;
      return;
    default:
      result_ = kBadCommand;
  }
}

uint8_t Flash::Program(plat::VTime now) {
  if (open_ == 0) return kNotErased;
  if (length_ > kWindowSize || length_ % 4 != 0) return kBadLength;
  auto& data = parts_[open_ - 1].data;
  if (data.size() + length_ > kPartitionSize) return kFull;
  for (uint32_t i = 0; i < length_; i += 4) {
    uint32_t word = window_[i] | window_[i + 1] << 8 | window_[i + 2] << 16 | static_cast<uint32_t>(window_[i + 3]) << 24;
    crc_ = UpdateCrc16(word, crc_);
  }
  data.insert(data.end(), window_.begin(), window_.begin() + length_);
  busyUntil_ = now + timing_.programBase + timing_.programPerByte * length_;
  return kOk;
}

bool Flash::WriteWindow(uint32_t offset, std::span<const uint8_t> data) {
  if (offset >= kWindowSize || kWindowSize - offset < data.size()) return false;
  std::copy(data.begin(), data.end(), window_.begin() + offset);
  return true;
}

uint32_t Flash::Status(plat::VTime now) const {
  return static_cast<uint32_t>(crc_) << 16 | (now < busyUntil_ ? kBusy : result_);
}

}  // namespace sim
