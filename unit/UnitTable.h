#pragma once

#include <array>
#include <atomic>
#include <cstdint>

class QX531Device;

// All units on the bus: slot 0 the main unit, slots 1-15 expansion units in order of arrival.
// Callers hold the unit-table lock of the engine while they use it.
class UnitTable {
 public:
  static constexpr uint32_t kSlots = 16;

  static UnitTable& Shared();

  QX531Device* At(uint32_t slot) const { return mSlots[slot]; }
  bool Contains(const QX531Device* unit) const;
  uint32_t Count() const;
  // The first unit in slots 1-15 with that serial.
  QX531Device* FindUnitBySerial(uint32_t serial) const;
  // The main unit into slot 0, an expansion unit into the first empty slot of 1-15; -1 when full.
  int32_t Enter(QX531Device* unit, bool mainUnit);
  void Remove(const QX531Device* unit);

  uint32_t LcdStamp() const { return mLcdStamp.load(); }
  uint32_t AdvanceLcdStamp() { return mLcdStamp.fetch_add(1) + 1; }

 private:
  std::array<QX531Device*, kSlots> mSlots{};
  std::atomic<uint32_t> mLcdStamp{0};
};
