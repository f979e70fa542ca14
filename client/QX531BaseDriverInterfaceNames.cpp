// What a programming word names: the control, its bank, and the kind of control and action.
#include "client/ControlNames.h"
#include "client/QX531BaseDriverInterface.h"

namespace {

constexpr uint32_t Kind(ProgrammingWord word) { return word >> 30; }
constexpr uint32_t Bank(ProgrammingWord word) { return (word >> 27) & 0x7; }
constexpr uint32_t Action(ProgrammingWord word) { return (word >> 24) & 0x3; }
constexpr uint8_t Id(ProgrammingWord word) { return static_cast<uint8_t>(word >> 16); }

constexpr uint32_t kActionNote = 1;
constexpr uint32_t kActionController = 2;
constexpr uint32_t kActionToggledController = 3;

// Bits of the id that are not part of it: bit 3 for buttons, bit 7 for encoders and faders.
constexpr uint8_t kButtonIdMask = 0xF7;
constexpr uint8_t kContinuousIdMask = 0x7F;

constexpr const char* kBankNames[8] = {"Bank 1", "Bank 2", "Bank 3", "Bank 4", "-", "", "", ""};

}  // namespace

const char* QX531BaseDriverInterface::ControlName(ProgrammingWord word) {
  uint8_t id = Id(word);
  if (IsButtonControl(word)) id &= kButtonIdMask;
  if (IsEncoderOrFaderControl(word)) id &= kContinuousIdMask;
  bool revised = (mSharedState.mHardwareVersion >> 16 & 0xFF) != 0;
  return FindControlName(revised ? ControlNamesOfRevisedUnits() : ControlNamesOfOriginalUnits(),
                         static_cast<uint8_t>(Kind(word)), id);
}

const char* QX531BaseDriverInterface::BankName(ProgrammingWord word) {
  return Kind(word) == kControlKindNone ? "" : kBankNames[Bank(word)];
}

bool QX531BaseDriverInterface::IsButtonControl(ProgrammingWord word) { return Kind(word) == kControlKindButton; }

bool QX531BaseDriverInterface::IsEncoderOrFaderControl(ProgrammingWord word) {
  return Kind(word) == kControlKindEncoder || Kind(word) == kControlKindFader;
}

bool QX531BaseDriverInterface::IsNoteAction(ProgrammingWord word) {
  return Kind(word) == kControlKindButton && Action(word) == kActionNote;
}

bool QX531BaseDriverInterface::IsControllerAction(ProgrammingWord word) {
  return IsEncoderOrFaderControl(word) || Action(word) == kActionController;
}

bool QX531BaseDriverInterface::IsToggledControllerAction(ProgrammingWord word) {
  return Kind(word) == kControlKindButton && Action(word) == kActionToggledController;
}
