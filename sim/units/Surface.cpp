#include "sim/units/Surface.h"

#include <algorithm>

namespace sim {

namespace {
constexpr int kTouchSlot = 11;
constexpr int kButtonSlot = 12;
constexpr int kEncoderSlot = 20;
}  // namespace

Surface::Surface(int layout) : layout_(&SurfaceLayout::Get(layout)) {
  slots_[kTouchSlot] = (1u << kFaders) - 1;
  for (int s = kButtonSlot; s < kEncoderSlot; ++s) slots_[s] = 0xFFFF;
}

void Surface::SetSlot(int slot, uint16_t value) {
  if (slots_[slot] == value) return;
  slots_[slot] = value;
  changed_ |= 1u << slot;
}

void Surface::Touch(int fader, bool touched) {
  if (fader < 0 || fader >= kFaders) return;
  uint16_t bit = static_cast<uint16_t>(1u << fader);
  SetSlot(kTouchSlot, touched ? slots_[kTouchSlot] & ~bit : slots_[kTouchSlot] | bit);
}

void Surface::MoveFader(int fader, uint16_t position) {
  if (fader < 0 || fader >= kFaders) return;
  Touch(fader, true);
  SetSlot(fader, std::min(position, kFaderMax));
}

void Surface::SetFaderPosition(int fader, uint16_t position) {
  if (fader < 0 || fader >= kFaders) return;
  SetSlot(fader, std::min(position, kFaderMax));
}

bool Surface::DriveFader(int fader, uint16_t position) {
  if (fader < 0 || fader >= kFaders || Touched(fader)) return false;
  SetSlot(fader, std::min(position, kFaderMax));
  return true;
}

bool Surface::SetButtonBit(uint8_t bitId, bool held) {
  if (bitId & 8) return false;  // bit 3 of an id is always 0: eight bits a byte, sixteen ids apart
  int byte = bitId >> 4;
  int slot = kButtonSlot + byte / 2;
  uint16_t mask = static_cast<uint16_t>(1u << ((bitId & 7) + 8 * (byte & 1)));
  SetSlot(slot, held ? slots_[slot] & ~mask : slots_[slot] | mask);
  return true;
}

bool Surface::ButtonBitHeld(uint8_t bitId) const {
  int byte = bitId >> 4;
  return (slots_[kButtonSlot + byte / 2] >> ((bitId & 7) + 8 * (byte & 1)) & 1) == 0;
}

bool Surface::SetButton(uint16_t code, bool held) {
  auto bit = layout_->ButtonBit(code);
  return bit && SetButtonBit(*bit, held);
}

void Surface::TurnEncoder(int encoder, int delta) {
  if (encoder < 0 || encoder >= kEncoders) return;
  SetSlot(kEncoderSlot + encoder, static_cast<uint16_t>(slots_[kEncoderSlot + encoder] + delta));
}

std::optional<uint8_t> Surface::LampById(uint16_t lampId) const {
  auto number = layout_->LampNumber(lampId);
  if (!number) return std::nullopt;
  return lamps_[*number];
}

uint32_t Surface::TakeChanged() {
  uint32_t c = changed_;
  changed_ = 0;
  return c;
}

}  // namespace sim
