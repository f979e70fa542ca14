// Where the controls of a surface sit in the hardware: the button bit that carries each logical
// button code and the hardware lamp number of each surface lamp id, for both surface layouts.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace sim {

class SurfaceLayout {
 public:
  static constexpr uint16_t kMaxButtonCode = 88;
  static constexpr uint16_t kMaxLampId = 114;

  static const SurfaceLayout& Get(int layout);  // 1 or 2; anything else gives layout 1
  // Layout 1 when bits 16-23 of the hardware version are 0, else layout 2.
  static int ForHardwareVersion(uint32_t hardwareVersion) { return (hardwareVersion >> 16 & 0xFF) == 0 ? 1 : 2; }

  int Number() const { return number_; }
  // Bit id 16 x byte + bit of the button byte that reports the code.
  std::optional<uint8_t> ButtonBit(uint16_t code) const;
  std::optional<uint8_t> LampNumber(uint16_t lampId) const;
  int ButtonCount() const;
  int LampCount() const;

  struct Run {
    uint16_t first, last;  // logical codes or lamp ids first..last
    uint8_t value;         // what `first` maps to; the run counts up from it
  };

 private:
  SurfaceLayout(int number, std::span<const Run> buttons, std::span<const Run> lamps);

  static constexpr uint16_t kNone = 0xFFFF;
  int number_;
  std::array<uint16_t, kMaxButtonCode + 1> buttons_;
  std::array<uint16_t, kMaxLampId + 1> lamps_;
};

}  // namespace sim
