// The physical control surface of a unit: faders with touch sensing and motors, buttons, encoders,
// the data (jog) wheel and lamps, and the 32 16-bit status slots in which the unit reports them:
// slots 0-8 fader positions (10-bit; 8 is the master fader), 9-10 further values, 11 touch bits
// 0-8 (a touched fader reads 0), 12-19 the 16 button bytes (a held button reads 0), 20-31 the
// free-running counts of encoders 1-8, gain, frequency, Q and the data wheel.
#pragma once

#include <array>
#include <cstdint>

#include "sim/units/SurfaceLayout.h"

namespace sim {

class Surface {
 public:
  static constexpr int kFaders = 9;
  static constexpr int kEncoders = 12;  // 8 is gain, 9 frequency, 10 Q, 11 the data wheel
  static constexpr int kDataWheel = 11;
  static constexpr int kSlots = 32;
  static constexpr uint16_t kFaderMax = 1023;

  explicit Surface(int layout);

  const SurfaceLayout& Layout() const { return *layout_; }

  // What a person does.
  void Touch(int fader, bool touched);
  void MoveFader(int fader, uint16_t position);  // touches the fader first
  void SetFaderPosition(int fader, uint16_t position);  // moves it without touching, as a knock would
  bool SetButtonBit(uint8_t bitId, bool held);
  bool PressButton(uint16_t code) { return SetButton(code, true); }
  bool ReleaseButton(uint16_t code) { return SetButton(code, false); }
  void TurnEncoder(int encoder, int delta);

  // What the host drives. A touched fader does not follow its motor.
  bool DriveFader(int fader, uint16_t position);
  void SetLamp(uint8_t number, uint8_t state) { lamps_[number] = state; }
  void LampsOff() { lamps_.fill(0); }

  uint16_t FaderPosition(int fader) const { return slots_[fader]; }
  bool Touched(int fader) const { return (slots_[11] >> fader & 1) == 0; }
  bool ButtonBitHeld(uint8_t bitId) const;
  int16_t EncoderCount(int encoder) const { return static_cast<int16_t>(slots_[20 + encoder]); }
  uint8_t Lamp(uint8_t number) const { return lamps_[number]; }
  std::optional<uint8_t> LampById(uint16_t lampId) const;

  uint16_t Slot(int slot) const { return slots_[slot]; }
  // Status word k (0-15) as the unit reports it: slot 2k in the low half, 2k + 1 in the high half.
  uint32_t Word(int k) const { return slots_[2 * k] | static_cast<uint32_t>(slots_[2 * k + 1]) << 16; }
  // Slots changed since the last call, one bit per slot.
  uint32_t TakeChanged();
  void MarkChanged(uint32_t slots) { changed_ |= slots; }

 private:
  bool SetButton(uint16_t code, bool held);
  void SetSlot(int slot, uint16_t value);

  const SurfaceLayout* layout_;
  std::array<uint16_t, kSlots> slots_{};
  std::array<uint8_t, 256> lamps_{};
  uint32_t changed_ = 0;
};

}  // namespace sim
