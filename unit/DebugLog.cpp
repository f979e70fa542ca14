#include "unit/DebugLog.h"

void DebugLog::Append(const char* text, std::size_t maxLength) {
  for (std::size_t i = 0; i < maxLength && text[i] != '\0'; ++i) {
    mText[mWrite % kCapacity] = text[i];
    mWrite = (mWrite + 1) % kCapacity;
    if (mWrite == mRead % kCapacity) mRead = (mRead + 1) % kCapacity;
  }
}

uint32_t DebugLog::Drain(uint8_t* out, uint32_t length) {
  uint32_t count = 0;
  while (count < length && mRead % kCapacity != mWrite % kCapacity) {
    out[count++] = static_cast<uint8_t>(mText[mRead % kCapacity]);
    mRead = (mRead + 1) % kCapacity;
  }
  return count;
}

void DebugLog::FormatHex(uint32_t value, char* out) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  out[0] = '0';
  out[1] = 'x';
  for (int i = 0; i < 8; ++i) out[2 + i] = kDigits[(value >> (28 - 4 * i)) & 0xF];
  out[10] = '\0';
}

void DebugLog::FormatDecimal(int32_t value, char* out) {
  const int64_t wide = value;
  uint64_t magnitude = static_cast<uint64_t>(wide < 0 ? -wide : wide);
  out[0] = wide < 0 ? '-' : ' ';
  if (magnitude > 9999999) {
    for (int i = 1; i <= 7; ++i) out[i] = '*';
    out[8] = '\n';
    out[9] = '\0';
    return;
  }
  for (int i = 7; i >= 1; --i) {
    out[i] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  }
  out[8] = '\0';
}
