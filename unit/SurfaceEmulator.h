#pragma once

#include <cstdint>

#include "unit/SurfaceLayout.h"

struct LcdTextBlock;

// The surface emulator's way back into its unit. Each entry forwards to the unit's operation of
// the same name; owner is the unit.
struct SurfaceCallbacks {
  void (*mPublishLcdBlock)(void* owner, const LcdTextBlock* block);
  void (*mSendMidi)(void* owner, uint8_t status, uint8_t data1, uint8_t data2);
  void (*mSetLamp)(void* owner, uint32_t lampId, uint32_t state);
  void (*mSetFaderMotor)(void* owner, uint32_t fader, uint32_t position);
  void (*mModeCommand)(void* owner, uint32_t command, uint32_t value);
  void (*mLogString)(void* owner, const char* text);
  void (*mLogHex)(void* owner, uint32_t value);
};

// The control-surface engine of one unit: its lamp map and fader touch state, which the queued
// lamp and fader writers read, and the host's cable-4 MIDI.
class SurfaceEmulator {
 public:
  static constexpr uint32_t kLampIds = 128;
  static constexpr uint32_t kFaders = 9;
  static constexpr uint8_t kNoLamp = 0xFF;

  // Resets the emulator to the layout and forgets the owner and its callbacks.
  void InitSurfaceEngine(const SurfaceLayout& layout);
  void SetOwner(void* owner, const SurfaceCallbacks& callbacks);

  // One MIDIEventPacket that a client sent to cable 4.
  void HandleSurfaceMIDIEvent(uint32_t packet);

  // The surface's status words, in this order: buttons (words 6-9 as bytes), faders (words 0-5
  // as 16-bit slots), encoders (words 10-15 as signed 16-bit counts).
  void HandleButtonState(const uint8_t buttons[16]);
  void HandleFaderState(const uint16_t faders[12]);
  void HandleEncoderState(const int16_t encoders[12]);

  const SurfaceLayout* Layout() const { return mLayout; }
  void* Owner() const { return mOwner; }
  const SurfaceCallbacks& Callbacks() const { return mCallbacks; }

  uint8_t mLampCodes[kLampIds] = {};
  uint8_t mEmulationMode = 1;
  uint8_t mFaderTouched[kFaders] = {};
  uint8_t mFaderTouchLatch[kFaders] = {};

 private:
  const SurfaceLayout* mLayout = nullptr;
  void* mOwner = nullptr;
  SurfaceCallbacks mCallbacks{};
};
