#include "sim/units/Kr6Unit.h"

#include <array>
#include <bit>

namespace sim {

Kr6Unit::Kr6Unit(uint32_t serial, const UnitVersions& versions) : Unit(kGuidHigh | serial, versions) {
  SetModel(kModelId, kModelName);
}

Kr6Unit::~Kr6Unit() { Unplug(); }

void Kr6Unit::RegisterWritten(uint32_t offset, uint32_t value) {
  if (offset == 0x310 && value == 1) {
    surface_.MarkChanged(kSnapshotSlots);
    SurfaceChanged();
  }
}

void Kr6Unit::SurfaceChanged() {
  if (reportArmed_ || Stored(0x310) != 1 || GetBus() == nullptr) return;
  reportArmed_ = true;
  After(kScanInterval, [this] { Report(); });
}

void Kr6Unit::Report() {
  reportArmed_ = false;
  if (Stored(0x310) != 1) return;  // the changes wait for the next enable, which sends everything
  uint32_t changed = surface_.TakeChanged();
  if (changed == 0) return;
  std::array<uint8_t, 4 * Surface::kSlots> records;
  size_t length = 0;
  for (uint32_t rest = changed; rest != 0; rest &= rest - 1) {
    int slot = std::countr_zero(rest);
    uint16_t v = surface_.Slot(slot);
    records[length++] = static_cast<uint8_t>(slot);
    records[length++] = static_cast<uint8_t>(v >> 8);
    records[length++] = static_cast<uint8_t>(v);
    records[length++] = 0;
  }
  recordsSent_ += length / 4;
  WriteToHost(0x314, 0x318, std::span<const uint8_t>(records.data(), length));
}

void Kr6Unit::WriteRawToAsyncWindow(std::span<const uint8_t> bytes) { WriteToHost(0x314, 0x318, bytes); }

}  // namespace sim
