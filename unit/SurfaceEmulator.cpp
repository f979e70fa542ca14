#include "unit/SurfaceEmulator.h"

#include <cstring>

void SurfaceEmulator::InitSurfaceEngine(const SurfaceLayout& layout) {
  mLayout = &layout;
  std::memset(mLampCodes, kNoLamp, sizeof mLampCodes);
  for (const SurfaceLampRow* row = layout.mLampMap; row->mLampId != 0; ++row) {
    if (row->mLampId < 115) mLampCodes[row->mLampId] = row->mHardwareLamp;
  }
  mEmulationMode = 1;
  std::memset(mFaderTouched, 0, sizeof mFaderTouched);
  std::memset(mFaderTouchLatch, 0, sizeof mFaderTouchLatch);
  mOwner = nullptr;
  mCallbacks = SurfaceCallbacks{};
}

void SurfaceEmulator::SetOwner(void* owner, const SurfaceCallbacks& callbacks) {
  mOwner = owner;
  mCallbacks = callbacks;
}

void SurfaceEmulator::HandleSurfaceMIDIEvent(uint32_t) {}

void SurfaceEmulator::HandleButtonState(const uint8_t*) {}

void SurfaceEmulator::HandleFaderState(const uint16_t*) {}

void SurfaceEmulator::HandleEncoderState(const int16_t*) {}
