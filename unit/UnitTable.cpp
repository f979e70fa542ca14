#include "unit/UnitTable.h"

#include "unit/QX531Device.h"

UnitTable& UnitTable::Shared() {
  static UnitTable table;
  return table;
}

bool UnitTable::Contains(const QX531Device* unit) const {
  for (const QX531Device* slot : mSlots) {
    if (slot == unit) return true;
  }
  return false;
}

uint32_t UnitTable::Count() const {
  uint32_t count = 0;
  for (const QX531Device* slot : mSlots) count += slot != nullptr;
  return count;
}

QX531Device* UnitTable::FindUnitBySerial(uint32_t serial) const {
  for (uint32_t i = 1; i < kSlots; ++i) {
    if (mSlots[i] != nullptr && mSlots[i]->Serial() == serial) return mSlots[i];
  }
  return nullptr;
}

int32_t UnitTable::Enter(QX531Device* unit, bool mainUnit) {
  if (mainUnit) {
    if (mSlots[0] != nullptr) return -1;
    mSlots[0] = unit;
    return 0;
  }
  for (uint32_t i = 1; i < kSlots; ++i) {
    if (mSlots[i] == nullptr) {
      mSlots[i] = unit;
      return static_cast<int32_t>(i);
    }
  }
  return -1;
}

void UnitTable::Remove(const QX531Device* unit) {
  for (QX531Device*& slot : mSlots) {
    if (slot == unit) slot = nullptr;
  }
}
