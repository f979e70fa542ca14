#include "unit/UnitNameRecord.h"

#include <cstdio>

UnitNameRecord UnitNameRecord::Default(uint32_t serial) {
  UnitNameRecord record{};
  record.mSerial = serial;
  std::snprintf(record.mName, sizeof record.mName, "KR-6 %u", static_cast<unsigned>(serial));
  return record;
}
