#include "unit/PreferencesBlock.h"

#include <cstring>

PreferencesBlock PreferencesBlock::Defaults() {
  PreferencesBlock block{};
  block.mMagic = kMagic;
  block.mVersion = kVersion;
  block.mClockSource = 1;
  block.mSampleRate = 44100;
  block.mMonitorMode = 1;
  block.mBufferSizeIndex = 4;
  block.mOption6 = 1;
  block.mOption7 = 1;
  block.mMasterFader = 1;
  block.mOvrThreshold = 25;
  block.mOpticalOutSource = 1;
  block.mCoaxOutSource = 1;
  block.mSpdifInSource = 1;
  block.mControlProtocol = 1;
  block.mOption16 = 1;
  return block;
}

uint32_t PreferencesBlock::Word(uint32_t id) const {
  uint32_t value = 0;
  if (id <= kLastParameterId) std::memcpy(&value, reinterpret_cast<const char*>(this) + id, sizeof value);
  return value;
}

void PreferencesBlock::SetWord(uint32_t id, uint32_t value) {
  if (id <= kLastParameterId) std::memcpy(reinterpret_cast<char*>(this) + id, &value, sizeof value);
}

namespace {

bool InRange(uint32_t value, uint32_t low, uint32_t high) { return value >= low && value <= high; }

}  // namespace

bool PreferencesBlock::IsValidValue(uint32_t id, uint32_t value) {
  switch (id) {
    case kParamClockSource: return InRange(value, 1, 4);
    case kParamSampleRate: return RateCode(value) != 0;
    case kParamMonitorMode: return InRange(value, 1, 3);
    case kParamBufferSizeIndex: return InRange(value, 1, 7);
    case kParamMasterFader: return InRange(value, 1, 2);
    case kParamOpticalOutSource: return InRange(value, 1, 4);
    case kParamCoaxOutSource: return InRange(value, 1, 2);
    case kParamSpdifInSource: return InRange(value, 1, 2);
    case kParamControlProtocol: return InRange(value, 1, 5);
    default: return true;
  }
}

void PreferencesBlock::DefaultInvalidSettings() {
  static constexpr uint32_t kChecked[] = {
      kParamClockSource,      kParamSampleRate,    kParamMonitorMode,   kParamBufferSizeIndex,
      kParamMasterFader,      kParamOpticalOutSource, kParamCoaxOutSource, kParamSpdifInSource,
      kParamControlProtocol,
  };
  const PreferencesBlock defaults = Defaults();
  for (uint32_t id : kChecked) {
    if (!IsValidValue(id, Word(id))) SetWord(id, defaults.Word(id));
  }
}
