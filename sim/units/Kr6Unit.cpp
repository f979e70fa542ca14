#include "sim/units/Kr6Unit.h"

#include <bit>
#include <vector>

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
  std::vector<uint8_t> records;
  records.reserve(4 * static_cast<size_t>(std::popcount(changed)));
  for (uint32_t rest = changed; rest != 0; rest &= rest - 1) {
    int slot = std::countr_zero(rest);
    uint16_t v = surface_.Slot(slot);
    records.insert(records.end(), {static_cast<uint8_t>(slot), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v), 0});
  }
  recordsSent_ += records.size() / 4;
  WriteToHost(0x314, 0x318, std::move(records));
}

void Kr6Unit::WriteRawToAsyncWindow(std::span<const uint8_t> bytes) {
  WriteToHost(0x314, 0x318, std::vector<uint8_t>(bytes.begin(), bytes.end()));
}

}  // namespace sim
