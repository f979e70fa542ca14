#pragma once

#include <cstdint>

// Protocol bits of the surface emulator's mode, as the action rows name them.
enum SurfaceProtocol : uint8_t {
  kProtocolNative = 1,
  kProtocolMackie = 2,
  kProtocolHui = 4,
  kProtocolCubaseLe = 8,
  kProtocolCubaseSx = 16,
};

enum ButtonEvent : uint8_t {
  kButtonPress = 1,
  kButtonRelease = 2,
};

enum ButtonAction : uint16_t {
  kActionNote = 2,           // note A
  kActionShiftedNote = 3,    // note A wrapped in note 83 on and off
  kActionHuiSwitch = 5,      // HUI zone A, port B
  kActionController16 = 6,   // controller A on channel 16
  kActionController15 = 7,   // controller A on channel 15
  kActionModeCommand = 11,   // mode command (A, B)
  kActionModifier = 12,      // modifier bits A
  kActionAssignment = 20,    // Cubase encoder assignment A
  kActionEqBand = 21,        // Cubase EQ band A
};

// One row: for this code, these events and protocols, and this modifier state (255 = any), run
// the action with its two arguments. A row with code 0 ends the table.
struct ButtonActionRow {
  uint16_t mCode;
  uint8_t mEvents;
  uint8_t mProtocols;
  uint8_t mModifiers;
  uint8_t mReserved;
  uint16_t mAction;
  uint16_t mA;
  uint16_t mB;
};
static_assert(sizeof(ButtonActionRow) == 12);

inline constexpr uint8_t kAnyModifiers = 255;

extern const ButtonActionRow* const kButtonActionTable;
