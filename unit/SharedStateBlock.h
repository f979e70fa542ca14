#pragma once

#include <cstddef>
#include <cstdint>

#include "unit/UnitNameRecord.h"

// One unit's state as clients read it (request 3); written only by the engine.
struct SharedStateBlock {
  static constexpr uint32_t kReservedConstant = 7;

  uint32_t mMagic;
  uint32_t mVersion;
  uint32_t mSampleRate;
  uint32_t mRegisterVersion;
  uint32_t mFpgaVersion;
  uint32_t mArmVersion;
  uint32_t mHardwareVersion;
  uint32_t mSerial;
  uint32_t mReserved32;  // always kReservedConstant
  uint32_t mStreamMask;
  uint32_t mProgrammingWord;
  uint8_t mUnitCount;
  uint8_t mUnitIndex;
  uint8_t mAlive;
  uint8_t mPluggedIn;
  uint8_t mStreaming;
  uint8_t mMidiRunning;
  uint8_t mClockSource;
  uint8_t mPanelRequest;
  uint8_t mOpticalOutCode;
  uint8_t mSpdifInCodeA;
  uint8_t mCoaxOutCode;
  uint8_t mSpdifInCodeB;
  uint8_t mOption16;
  uint8_t mInputLocked;
  uint8_t mUnitKind;
  uint8_t mReserved59;
  UnitNameRecord mUnitName;
  uint8_t mReserved128;
  uint8_t mActive;
  uint8_t mReserved130[2];

  // Routing display codes of the panel; a setting outside its valid set leaves its codes as they are.
  void SetOpticalOutCode(uint32_t opticalOut, uint32_t coaxOut);
  void SetCoaxOutCode(uint32_t coaxOut);
  void SetSpdifInCodes(uint32_t spdifIn);
};

static_assert(sizeof(SharedStateBlock) == 132);
static_assert(offsetof(SharedStateBlock, mSampleRate) == 8);
static_assert(offsetof(SharedStateBlock, mSerial) == 28);
static_assert(offsetof(SharedStateBlock, mReserved32) == 32);
static_assert(offsetof(SharedStateBlock, mStreamMask) == 36);
static_assert(offsetof(SharedStateBlock, mProgrammingWord) == 40);
static_assert(offsetof(SharedStateBlock, mUnitCount) == 44);
static_assert(offsetof(SharedStateBlock, mPluggedIn) == 47);
static_assert(offsetof(SharedStateBlock, mClockSource) == 50);
static_assert(offsetof(SharedStateBlock, mPanelRequest) == 51);
static_assert(offsetof(SharedStateBlock, mOpticalOutCode) == 52);
static_assert(offsetof(SharedStateBlock, mSpdifInCodeB) == 55);
static_assert(offsetof(SharedStateBlock, mUnitKind) == 58);
static_assert(offsetof(SharedStateBlock, mUnitName) == 60);
static_assert(offsetof(SharedStateBlock, mActive) == 129);
