#pragma once

#include <cstddef>
#include <cstdint>

#include "unit/UnitNameRecord.h"

// The settings, one logical copy shared by all units and kept by the platform's store. A setting's
// parameter id is the byte offset of its word.
struct PreferencesBlock {
  static constexpr uint32_t kMagic = 0x51353331;  // 'Q' '5' '3' '1', most significant byte first
  static constexpr uint32_t kVersion = 7;
  static constexpr uint32_t kUnitNameRecords = 16;
  static constexpr uint32_t kLastParameterId = 1164;

  static constexpr uint32_t kParamClockSource = 8;
  static constexpr uint32_t kParamSampleRate = 12;
  static constexpr uint32_t kParamMonitorMode = 16;
  static constexpr uint32_t kParamBufferSizeIndex = 20;
  static constexpr uint32_t kParamOption6 = 24;
  static constexpr uint32_t kParamOption7 = 28;
  static constexpr uint32_t kParamMasterFader = 40;
  static constexpr uint32_t kParamOvrThreshold = 44;
  static constexpr uint32_t kParamOpticalOutSource = 48;
  static constexpr uint32_t kParamCoaxOutSource = 52;
  static constexpr uint32_t kParamSpdifInSource = 56;
  static constexpr uint32_t kParamControlProtocol = 60;
  static constexpr uint32_t kParamOption16 = 64;
  static constexpr uint32_t kParamContinuousInputs = 68;
  static constexpr uint32_t kParamContinuousOutputs = 72;
  static constexpr uint32_t kParamConverterDelay = 1164;

  uint32_t mMagic;
  uint32_t mVersion;
  uint32_t mClockSource;       // 1 internal, 2 word clock, 3 S/PDIF, 4 ADAT
  uint32_t mSampleRate;        // 44100, 48000, 88200 or 96000
  uint32_t mMonitorMode;       // 1 analog 1:2, 2 analog 1:6, 3 analog 1:8
  uint32_t mBufferSizeIndex;   // 1-7 into kBufferFrames
  uint32_t mOption6;
  uint32_t mOption7;
  uint32_t mReserved[2];
  uint32_t mMasterFader;       // 2: acts on the outputs, 1: does not
  uint32_t mOvrThreshold;      // 0-50, 0.1 dB steps down from 0 dB
  uint32_t mOpticalOutSource;  // 1 ADAT, 2 analog outputs, 3 analog inputs, 4 copy of coaxial
  uint32_t mCoaxOutSource;     // 1 S/PDIF, 2 copy of analog outputs 1:2
  uint32_t mSpdifInSource;     // 1 coaxial, 2 optical
  uint32_t mControlProtocol;   // 1 native, 2 Mackie Control, 3 HUI, 4 "Cubase LE", 5 "Cubase SX / Nuendo"
  uint32_t mOption16;
  uint32_t mContinuousInputs;
  uint32_t mContinuousOutputs;
  UnitNameRecord mUnitNames[kUnitNameRecords];
  uint32_t mConverterDelay;

  static PreferencesBlock Defaults();

  bool HasCurrentLayout() const { return mMagic == kMagic && mVersion == kVersion; }

  // The word at a parameter id (any byte offset up to kLastParameterId).
  uint32_t Word(uint32_t id) const;
  void SetWord(uint32_t id, uint32_t value);

  // Whether a value is in the valid set of the setting at that id; settings without a listed set
  // accept any value.
  static bool IsValidValue(uint32_t id, uint32_t value);
  // Each setting outside its valid set takes its default.
  void DefaultInvalidSettings();
};

static_assert(sizeof(PreferencesBlock) == 1168);
static_assert(offsetof(PreferencesBlock, mClockSource) == PreferencesBlock::kParamClockSource);
static_assert(offsetof(PreferencesBlock, mSampleRate) == PreferencesBlock::kParamSampleRate);
static_assert(offsetof(PreferencesBlock, mMonitorMode) == PreferencesBlock::kParamMonitorMode);
static_assert(offsetof(PreferencesBlock, mBufferSizeIndex) == PreferencesBlock::kParamBufferSizeIndex);
static_assert(offsetof(PreferencesBlock, mMasterFader) == PreferencesBlock::kParamMasterFader);
static_assert(offsetof(PreferencesBlock, mOvrThreshold) == PreferencesBlock::kParamOvrThreshold);
static_assert(offsetof(PreferencesBlock, mControlProtocol) == PreferencesBlock::kParamControlProtocol);
static_assert(offsetof(PreferencesBlock, mContinuousOutputs) == PreferencesBlock::kParamContinuousOutputs);
static_assert(offsetof(PreferencesBlock, mUnitNames) == 76);
static_assert(offsetof(PreferencesBlock, mConverterDelay) == PreferencesBlock::kParamConverterDelay);

// Frames per client buffer by buffer-size index.
inline constexpr uint32_t kBufferFrames[8] = {0, 32, 64, 128, 256, 512, 1024, 2048};

// The buffer-size index of a frame count; 0 (no index) for any other count.
constexpr uint32_t BufferSizeIndexOf(uint32_t frames) {
  for (uint32_t i = 1; i < 8; ++i)
    if (kBufferFrames[i] == frames) return i;
  return 0;
}
static_assert(BufferSizeIndexOf(256) == 4 && BufferSizeIndexOf(100) == 0);

// Rate code of the rate-and-clock register for a sample rate; 0 for any other rate.
constexpr uint32_t RateCode(uint32_t sampleRate) {
  switch (sampleRate) {
    case 44100: return 0x0100;
    case 48000: return 0x0200;
    case 88200: return 0x8100;
    case 96000: return 0x8200;
    default: return 0;
  }
}

// Sample rate of a rate code (bits 0x8300); 0 for any other code.
constexpr uint32_t SampleRateOfCode(uint32_t code) {
  switch (code & 0x8300) {
    case 0x0100: return 44100;
    case 0x0200: return 48000;
    case 0x8100: return 88200;
    case 0x8200: return 96000;
    default: return 0;
  }
}

// Packet parameter of the stream registers: 13 up to 50000 Hz, 26 above.
constexpr uint32_t PacketParameter(uint32_t sampleRate) { return sampleRate <= 50000 ? 13 : 26; }

// Surface emulator mode bit of a control protocol; 0 outside 1-5.
constexpr uint8_t EmulationModeOfProtocol(uint32_t protocol) {
  constexpr uint8_t kModes[6] = {0, 1, 2, 4, 8, 16};
  return protocol < 6 ? kModes[protocol] : 0;
}
