#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <vector>

#include "unit/ControlRequests.h"
#include "unit/QX531Device.h"

// What a request gave back.
struct Answer {
  int32_t mResult;
  uint32_t mBytes;
  std::vector<uint8_t> mBuffer;

  uint32_t Word(std::size_t index) const {
    uint32_t word = 0;
    std::memcpy(&word, mBuffer.data() + 4 * index, sizeof word);
    return word;
  }
};

inline std::vector<uint8_t> Words(std::initializer_list<uint32_t> words) {
  std::vector<uint8_t> bytes(4 * words.size());
  std::memcpy(bytes.data(), std::data(words), bytes.size());
  return bytes;
}

template <typename Record>
std::vector<uint8_t> BytesOf(const Record& record) {
  std::vector<uint8_t> bytes(sizeof record);
  std::memcpy(bytes.data(), &record, sizeof record);
  return bytes;
}

// Sends request n with the input bytes in a buffer of max(input, outputLength, 1) bytes.
inline Answer Ask(QX531Device& unit, uint32_t n, const std::vector<uint8_t>& input, uint32_t outputLength) {
  const std::size_t size = std::max<std::size_t>({input.size(), outputLength, 1});
  Answer answer{0, 0xFFFFFFFF, std::vector<uint8_t>(size, 0xCC)};
  if (!input.empty()) std::memcpy(answer.mBuffer.data(), input.data(), input.size());
  answer.mResult = unit.HandleControlRequest(n, answer.mBuffer.data(), static_cast<uint32_t>(input.size()),
                                             outputLength, &answer.mBytes);
  return answer;
}

inline int32_t SetPreferenceOn(QX531Device& unit, uint32_t id, uint32_t value) {
  return Ask(unit, 11, Words({PreferencesBlock::kMagic, PreferencesBlock::kVersion, id, value}), 0).mResult;
}

inline UnitNameRecord NameRecord(uint32_t serial, const char* name) {
  UnitNameRecord record{};
  record.mSerial = serial;
  std::strncpy(record.mName, name, sizeof record.mName);
  return record;
}
