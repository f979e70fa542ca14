#include "unit/UnitNameRecord.h"

#include <cstring>

UnitNameRecord UnitNameRecord::Default(uint32_t serial) {
  UnitNameRecord record{};
  record.mSerial = serial;
  // "KR-6 " and the serial in decimal; the record is zeroed, so the name ends in NUL.
  static constexpr char kStem[] = "KR-6 ";
  std::memcpy(record.mName, kStem, sizeof kStem - 1);
  char digits[10];
  size_t count = 0;
  do {
    digits[count++] = static_cast<char>('0' + serial % 10);
    serial /= 10;
  } while (serial != 0);
  for (size_t i = 0; i < count; ++i) record.mName[sizeof kStem - 1 + i] = digits[count - 1 - i];
  return record;
}
