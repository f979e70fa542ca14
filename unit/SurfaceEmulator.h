#pragma once

#include <cstdint>

#include "unit/LcdTextBlock.h"
#include "unit/SurfaceLayout.h"

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

// The fields of a ProgrammingWord, the MIDI assignment of one surface control.
struct ProgrammingWord {
  static constexpr uint32_t kNoBank = 4;
  enum Kind : uint8_t { kNoControl = 0, kButton = 1, kEncoder = 2, kFader = 3 };
  enum Action : uint8_t { kNoAction = 0, kNoteOnOff = 1, kController = 2, kToggledController = 3 };

  uint8_t mNumber;       // note or controller number
  bool mProgramming;     // the unit is in programming mode
  uint8_t mChannel;      // MIDI channel 1-16
  uint8_t mPorts;        // output ports 1-4, bit 0 = port 1
  uint8_t mControlId;    // button bit id, or fader / encoder number
  bool mControlOption;   // bit 19 of a button's id, bit 23 of a fader's or encoder's
  uint8_t mAction;
  bool mOption;
  uint8_t mBank;         // 0-3 = banks 1-4, kNoBank = none
  uint8_t mKind;

  static ProgrammingWord Decode(uint32_t word);
  uint32_t Encode() const;
  // Words below 0x40000000 name no control.
  static bool NamesControl(uint32_t word) { return word >= 0x40000000; }
};

// The control-surface engine of one unit. Its input side turns the surface's status words into
// MIDI for the chosen control protocol; its output side turns the host's cable-4 MIDI into lamp
// images, fader targets and display text. The unit serialises every entry point under its
// surface lock; the queued lamp and fader writers read the lamp codes and the touch flags.
class SurfaceEmulator {
 public:
  static constexpr uint32_t kLampIds = 128;
  static constexpr uint32_t kLastLampId = 114;
  static constexpr uint32_t kFaders = 9;
  static constexpr uint8_t kNoLamp = 0xFF;
  static constexpr uint8_t kNoStrip = 10;
  static constexpr uint8_t kNoAux = 10;
  static constexpr uint8_t kLastDisplayPosition = 110;
  // The one-byte manufacturer id of the vendor SysEx.
  static constexpr uint8_t kVendorId = 0x7D;

  // Resets the emulator to the layout and forgets the owner and its callbacks.
  void InitSurfaceEngine(const SurfaceLayout& layout);
  void SetOwner(void* owner, const SurfaceCallbacks& callbacks);

  // The surface's status words, in this order: buttons (words 6-9 as bytes), faders (words 0-5
  // as 16-bit slots), encoders (words 10-15 as signed 16-bit counts).
  void HandleButtonState(const uint8_t buttons[16]);
  void HandleFaderState(const uint16_t faders[12]);
  void HandleEncoderState(const int16_t encoders[12]);
  void HandleButtonEvent(uint32_t code, uint32_t event);

  // One MIDIEventPacket that a client sent to cable 4.
  void HandleSurfaceMIDIEvent(uint32_t packet);

  void PushLampStates();
  void ResetSurfaceOutputs();
  void ResetCubaseState();

  const SurfaceLayout* Layout() const { return mLayout; }
  void* Owner() const { return mOwner; }
  const SurfaceCallbacks& Callbacks() const { return mCallbacks; }
  const LcdTextBlock& Lcd() const { return mLcdText; }
  uint8_t LampImage(uint32_t lampId) const { return lampId < kLampIds ? mLampImage[lampId] : 0; }

  // Controls to MIDI.
  uint16_t mButtonCodes[128] = {};
  uint8_t mButtonMask[16] = {};
  uint8_t mLampCodes[kLampIds] = {};
  uint8_t mEmulationMode = 1;
  uint8_t mModifiers = 0;
  uint8_t mPrevButtons[16] = {};
  uint16_t mFaderPos[12] = {};
  uint8_t mFaderTouched[kFaders] = {};
  uint8_t mFaderTouchLatch[kFaders] = {};
  int16_t mEncoderLast[12] = {};
  int16_t mEncoderBase[12] = {};
  uint16_t mJogRemainderMackie = 0;
  uint16_t mJogRemainderHui = 0;

  // Cubase assignment and EQ state.
  uint8_t mAssignment = 40;
  uint8_t mAssignPage = 0;
  uint8_t mEqBand = 0;
  uint8_t mSelectedStrip = kNoStrip;
  uint8_t mSelectPending = 0;
  uint8_t mPageCode = 0;
  uint8_t mLastAux = kNoAux;
  uint8_t mAuxIndex = 0;
  uint8_t mAuxToggles[8] = {};
  uint8_t mEqToggles[4] = {};
  uint8_t mAllSends = 0;
  uint8_t mEqLocked = 0;

  // Host MIDI to the surface.
  uint32_t mFaderTarget[16] = {};
  uint8_t mLampImage[kLampIds] = {};
  uint8_t mHuiZone = 0;
  uint8_t mLcdPosition = 0;
  uint8_t mNibble = 0;
  uint8_t mPanSynced = 0;
  uint8_t mRingArmed = 0;
  uint32_t mLastSelectPacket = 0;

 private:
  enum class VendorState : uint8_t { Idle, Id, Header, Command, Identity, Text, TextStart, Nibbles, Collect };
  enum class MackieState : uint8_t { Idle, Header, Model, Command, Display, DisplayStart, Query };
  enum class HuiState : uint8_t { Idle, Header, Command, Zone, Characters, Query };

  void Send(uint8_t status, uint8_t data1, uint8_t data2);
  void SendNote(uint8_t note) { Send(0x90, note, 127); }
  // A note that the Cubase layouts frame with note 83 off before and on after, when framed.
  void SendFramedNote(uint8_t note, bool framed);
  void Publish();
  bool IsCubase() const { return mEmulationMode == 8 || mEmulationMode == 16; }
  bool CtrlHeld() const { return (mModifiers & 2) != 0; }
  bool ShiftHeld() const { return (mModifiers & 1) != 0; }

  // Controls to MIDI.
  void RunAction(uint16_t action, uint16_t a, uint16_t b, uint32_t event);
  void RunModifierExtras(uint16_t bits, uint32_t event);
  void RunAssignment(uint8_t code);
  void RunEqBand(uint8_t code);
  void ClearAssignmentImages();
  void ClearEqImages();
  void LightAssignment(bool withAllSends);
  void LightEqBand();
  void SendFaderPosition(uint32_t fader, uint32_t position);
  void SendCubaseEncoder(uint32_t entry, int32_t delta);

  // Host MIDI to the surface.
  void StoreDisplayCharacter(uint32_t position, uint8_t character);
  void FeedVendor(uint8_t byte);
  void RunVendorCommand();
  void FeedMackie(uint8_t byte);
  void MatchDisplayText(uint32_t position, uint8_t character);
  void EqLockedByDisplay();
  void FeedHui(uint8_t byte);
  void SendConnectionReply();
  void HandleNativeController(uint8_t status, uint8_t controller, uint8_t value);
  void HandleHostNote(uint32_t packet, uint8_t note, uint8_t velocity);
  void HandlePageSequence(uint8_t controller, uint8_t value);
  void HandleHuiController(uint8_t status, uint8_t controller, uint8_t value);
  void MoveFader(uint32_t fader, uint32_t target);

  const SurfaceLayout* mLayout = nullptr;
  void* mOwner = nullptr;
  SurfaceCallbacks mCallbacks{};

  LcdTextBlock mLcdText{};
  uint8_t mPanMatch = 0;
  uint8_t mPreMatch = 0;
  uint8_t mSpacesMatch = 0;
  uint8_t mNotMatchEnded = 0;

  VendorState mVendorState = VendorState::Idle;
  uint32_t mVendorLength = 0;
  uint8_t mVendorBuffer[10] = {};
  uint8_t mVendorHeaderIndex = 0;

  MackieState mMackieState = MackieState::Idle;
  uint8_t mMackieHeaderIndex = 0;
  uint8_t mMackieModel = 0;
  uint8_t mMackieTailIndex = 0;

  HuiState mHuiState = HuiState::Idle;
  uint8_t mHuiHeaderIndex = 0;
  uint8_t mHuiCharacters = 0;
  uint8_t mHuiTailIndex = 0;
};
