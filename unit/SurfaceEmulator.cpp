#include "unit/SurfaceEmulator.h"

#include <array>
#include <cstddef>
#include <cstring>

#include "unit/ButtonActionTable.h"

namespace {

constexpr uint8_t kNone = 0xFF;
constexpr uint8_t kModeNative = kProtocolNative;
constexpr uint8_t kModeMackie = kProtocolMackie;
constexpr uint8_t kModeHui = kProtocolHui;
constexpr uint8_t kModeCubaseLe = kProtocolCubaseLe;
constexpr uint8_t kModeCubaseSx = kProtocolCubaseSx;

constexpr uint8_t kStatusNote = 0x90;
constexpr uint8_t kStatusController1 = 0xB0;
constexpr uint8_t kStatusController15 = 0xBE;
constexpr uint8_t kStatusController16 = 0xBF;
constexpr uint8_t kStatusPitchBend = 0xE0;

constexpr uint8_t kModShift = 1;
constexpr uint8_t kModCtrl = 2;
constexpr uint8_t kModHigh = 16;

constexpr uint8_t kNoteShift = 83;

// The assignment and EQ lamps that the Cubase state machines drive.
constexpr uint8_t kLampPan = 87;
constexpr uint8_t kAuxLamps[8] = {74, 75, 76, 77, 9, 103, 113, 114};
// By EQ toggle index: High, Hi-Mid, Lo-Mid, Low.
constexpr uint8_t kEqLamps[4] = {10, 11, 12, 13};

enum NoteScope : uint8_t { kNoNote, kMackieFamily, kMackieOnly };

// Which host message sets the image of a lamp: a note (Mackie Control and the Cubase layouts,
// or Mackie Control only), one or two HUI zone/port pairs, and a vendor command with its first
// data byte (kNone for commands whose only data byte is the state).
struct LampSource {
  uint8_t lamp;
  uint8_t note;
  uint8_t scope;
  uint8_t zone;
  uint8_t port;
  uint8_t zone2;
  uint8_t port2;
  uint8_t command;
  uint8_t data;
};

constexpr LampSource L(uint8_t lamp, uint8_t note, uint8_t scope, uint8_t zone, uint8_t port, uint8_t command,
                       uint8_t data) {
  return {lamp, note, scope, zone, port, kNone, kNone, command, data};
}

constexpr uint8_t X = kNone;
constexpr uint8_t A = kMackieFamily;
constexpr uint8_t O = kMackieOnly;
constexpr uint8_t Z = kNoNote;

constexpr LampSource kLampSources[] = {
    L(1, X, Z, 8, 1, 16, 13),     L(2, X, Z, 8, 0, 16, 14),
    L(3, 94, A, 14, 4, 1, 22),    L(4, 93, A, 14, 3, 1, 21),    L(5, 95, A, 14, 5, 1, 23),
    L(6, 91, A, 14, 1, 1, 19),    L(7, 92, A, 14, 2, 1, 20),
    {8, 101, O, 13, 5, 13, 6, 14, 124},
    L(9, 45, O, 11, 3, 17, 22),
    L(10, X, Z, X, X, 9, X),      L(11, X, Z, 28, 2, 10, X),    L(12, X, Z, 28, 3, 11, X),
    L(13, X, Z, 28, 4, 12, X),    L(14, X, Z, 10, 1, 7, X),     L(15, X, Z, X, X, 20, X),
    L(16, X, Z, X, X, 21, X),     L(17, X, Z, 10, 4, 8, X),
    // Solo lamps.
    L(34, 8, A, 0, 3, 19, 0),     L(35, 9, A, 1, 3, 19, 1),     L(36, 10, A, 2, 3, 19, 2),
    L(37, 11, A, 3, 3, 19, 3),    L(38, 12, A, 4, 3, 19, 4),    L(39, 13, A, 5, 3, 19, 5),
    L(40, 14, A, 6, 3, 19, 6),    L(41, 15, A, 7, 3, 19, 7),
    // Mute lamps.
    L(42, 16, A, 0, 2, 2, 0),     L(43, 17, A, 1, 2, 2, 1),     L(44, 18, A, 2, 2, 2, 2),
    L(45, 19, A, 3, 2, 2, 3),     L(46, 20, A, 4, 2, 2, 4),     L(47, 21, A, 5, 2, 2, 5),
    L(48, 22, A, 6, 2, 2, 6),     L(49, 23, A, 7, 2, 2, 7),
    // Record-arm lamps.
    L(50, 0, A, 0, 7, 4, 0),      L(51, 1, A, 1, 7, 4, 1),      L(52, 2, A, 2, 7, 4, 2),
    L(53, 3, A, 3, 7, 4, 3),      L(54, 4, A, 4, 7, 4, 4),      L(55, 5, A, 5, 7, 4, 5),
    L(56, 6, A, 6, 7, 4, 6),      L(57, 7, A, 7, 7, 4, 7),
    // Select lamps.
    L(58, 24, A, 0, 1, 3, 0),     L(59, 25, A, 1, 1, 3, 1),     L(60, 26, A, 2, 1, 3, 2),
    L(61, 27, A, 3, 1, 3, 3),     L(62, 28, A, 4, 1, 3, 4),     L(63, 29, A, 5, 1, 3, 5),
    L(64, 30, A, 6, 1, 3, 6),     L(65, 31, A, 7, 1, 3, 7),
    // F7-F10 and the automation modes.
    L(66, 79, O, 27, 6, 14, 0),   L(67, 76, O, 27, 7, 14, 1),   L(68, 80, O, 24, 0, 14, 2),
    L(69, 81, O, 24, 3, 14, 3),   L(70, 74, O, 24, 2, 14, 4),   L(71, 75, O, 24, 4, 14, 5),
    L(72, 77, O, 24, 5, 14, 6),   L(73, 78, O, 24, 1, 14, 7),
    // Aux 1-4, Pan, Flip.
    L(74, 51, O, 11, 7, 17, 18),  L(75, 44, O, 11, 6, 17, 19),  L(76, 40, O, 11, 5, 17, 20),
    L(77, 41, O, 11, 4, 17, 21),  L(87, 42, O, 11, 2, 17, 17),  L(88, X, Z, 12, 3, 17, 16),
    L(93, 72, A, 8, 7, 16, 1),    L(94, 73, A, X, X, 16, 2),    L(99, X, Z, 8, 3, 16, 12),
    L(100, X, Z, X, X, 16, 3),    L(101, 82, A, X, X, 16, 4),   L(103, 43, O, X, X, 17, 23),
    L(104, X, Z, X, X, 16, 0),    L(105, 89, A, X, X, 16, 5),   L(106, X, Z, 26, 4, 16, 9),
    L(107, X, Z, 26, 1, 16, 7),   L(108, 86, A, 15, 3, 16, 6),  L(109, X, Z, 26, 0, 16, 10),
    L(110, X, Z, 26, 3, 16, 8),   L(111, X, Z, 8, 4, 16, 11),   L(113, X, Z, 9, 1, 17, 24),
    L(114, X, Z, 9, 0, 17, 25),
};

// The order in which the lamp images go to the unit; ids 102 and 86 are always sent off.
constexpr uint8_t kPushOrder[] = {
    3,   4,   5,   6,   7,   10,  11,  12,  13,  14,  15,  16,  17,  34,  35,  36,  37,  38,  39,  40,
    41,  42,  43,  44,  45,  46,  47,  48,  49,  58,  59,  60,  61,  62,  63,  64,  65,  50,  51,  52,
    53,  54,  55,  56,  57,  66,  67,  68,  69,  70,  71,  72,  73,  104, 93,  94,  100, 101, 105, 108,
    107, 110, 106, 109, 111, 99,  1,   2,   88,  87,  74,  75,  76,  77,  9,   103, 113, 114, 102, 8,
    86,
};
constexpr uint8_t kAlwaysOff[] = {102, 86};

constexpr uint32_t kHuiZones = 32;
constexpr uint32_t kHuiPorts = 8;

struct LampLookups {
  uint8_t noteLamp[128];
  uint8_t noteScope[128];
  uint8_t huiLamp[kHuiZones][kHuiPorts];
  bool wellFormed;
};

constexpr bool InPushOrder(uint8_t lamp) {
  int n = 0;
  for (uint8_t id : kPushOrder) n += id == lamp;
  return n == 1;
}

// Builds the note and HUI lookups and checks the source: lamp ids once each and below 115, each
// note, zone/port pair and vendor command byte driving one lamp, every lamp pushed exactly once.
constexpr LampLookups BuildLampLookups() {
  LampLookups t{};
  t.wellFormed = true;
  for (auto& lamp : t.noteLamp) lamp = kNone;
  for (auto& zone : t.huiLamp) {
    for (auto& lamp : zone) lamp = kNone;
  }
  auto claimHui = [&](uint8_t zone, uint8_t port, uint8_t lamp) {
    if (zone == kNone) return;
    if (zone >= kHuiZones || port >= kHuiPorts || t.huiLamp[zone][port] != kNone) t.wellFormed = false;
    else t.huiLamp[zone][port] = lamp;
  };
  for (std::size_t i = 0; i < std::size(kLampSources); ++i) {
    const LampSource& s = kLampSources[i];
    if (s.lamp > SurfaceEmulator::kLastLampId || !InPushOrder(s.lamp)) t.wellFormed = false;
    for (std::size_t j = i + 1; j < std::size(kLampSources); ++j) {
      const LampSource& o = kLampSources[j];
      if (o.lamp == s.lamp || (o.command == s.command && o.data == s.data)) t.wellFormed = false;
    }
    if (s.scope != kNoNote) {
      if (s.note > 127 || t.noteLamp[s.note] != kNone) t.wellFormed = false;
      else {
        t.noteLamp[s.note] = s.lamp;
        t.noteScope[s.note] = s.scope;
      }
    }
    claimHui(s.zone, s.port, s.lamp);
    claimHui(s.zone2, s.port2, s.lamp);
  }
  for (uint8_t id : kPushOrder) {
    bool known = false;
    for (const LampSource& s : kLampSources) known = known || s.lamp == id;
    for (uint8_t off : kAlwaysOff) known = known || off == id;
    if (!known) t.wellFormed = false;
  }
  return t;
}

constexpr LampLookups kLamps = BuildLampLookups();
static_assert(kLamps.wellFormed);
static_assert(std::size(kPushOrder) == std::size(kLampSources) + std::size(kAlwaysOff));

// The lamp that a vendor command sets; with its data byte for two-byte commands.
uint8_t VendorLamp(uint8_t command, uint8_t data, bool* twoByte) {
  for (const LampSource& s : kLampSources) {
    if (s.command != command) continue;
    *twoByte = s.data != kNone;
    if (s.data == kNone || s.data == data) return s.lamp;
  }
  return kNone;
}

bool IsVendorLamp(uint8_t lamp, uint8_t command) {
  for (const LampSource& s : kLampSources) {
    if (s.lamp == lamp && s.command == command) return true;
  }
  return false;
}

// Mackie-style turn code of a step count.
uint8_t TurnCode(int32_t steps) {
  static constexpr uint8_t kCodes[] = {1, 4, 8, 12, 15};
  if (steps == 0) return 0;
  const int32_t magnitude = steps < 0 ? -steps : steps;
  const uint8_t code = kCodes[(magnitude > 5 ? 5 : magnitude) - 1];
  return steps < 0 ? static_cast<uint8_t>(code + 64) : code;
}

int32_t Clamp63(int32_t value) { return value > 63 ? 63 : value < -63 ? -63 : value; }

// A display position of the Mackie and vendor text commands as a cell: position 55 has none.
int32_t CellOfPosition(uint32_t position) {
  if (position < 55) return static_cast<int32_t>(position);
  if (position > 55 && position <= SurfaceEmulator::kLastDisplayPosition) return static_cast<int32_t>(position - 1);
  return -1;
}

constexpr uint8_t kMackieHeader[] = {0x00, 0x00, 0x66};
constexpr uint8_t kHuiHeader[] = {0x00, 0x00, 0x66, 0x05, 0x00};
constexpr uint8_t kVendorHeader[] = {0x00, 0x12};
constexpr uint8_t kIdentityRequest[] = {0x00, 0x06, 0x01, 0xF7};
constexpr uint8_t kQueryTail[] = {0x00, 0xF7};

}  // namespace

ProgrammingWord ProgrammingWord::Decode(uint32_t word) {
  ProgrammingWord w{};
  w.mNumber = word & 0x7F;
  w.mProgramming = (word >> 7) & 1;
  w.mChannel = static_cast<uint8_t>(((word >> 8) & 0xF) + 1);
  w.mPorts = (word >> 12) & 0xF;
  w.mKind = (word >> 30) & 3;
  w.mControlId = (word >> 16) & (w.mKind == kButton ? 0xF7 : 0x7F);
  w.mControlOption = (word >> (w.mKind == kButton ? 19 : 23)) & 1;
  w.mAction = (word >> 24) & 3;
  w.mOption = (word >> 26) & 1;
  w.mBank = (word >> 27) & 7;
  return w;
}

uint32_t ProgrammingWord::Encode() const {
  const uint32_t option = mKind == kButton ? 19 : 23;
  return (mNumber & 0x7Fu) | uint32_t{mProgramming} << 7 | ((mChannel - 1u) & 0xF) << 8 | (mPorts & 0xFu) << 12 |
         uint32_t{mControlId} << 16 | uint32_t{mControlOption} << option | (mAction & 3u) << 24 |
         uint32_t{mOption} << 26 | (mBank & 7u) << 27 | (mKind & 3u) << 30;
}

void SurfaceEmulator::InitSurfaceEngine(const SurfaceLayout& layout) {
  *this = SurfaceEmulator{};
  mLayout = &layout;
  std::memset(mPrevButtons, 0xFF, sizeof mPrevButtons);
  for (const SurfaceButtonRow* row = layout.mButtonMap; row->mCode != 0; ++row) {
    const uint32_t byte = row->mBitId >> 4;
    const uint32_t bit = row->mBitId & 7;
    mButtonCodes[8 * byte + bit] = row->mCode;
    mButtonMask[byte] |= static_cast<uint8_t>(1u << bit);
  }
  std::memset(mLampCodes, kNoLamp, sizeof mLampCodes);
  for (const SurfaceLampRow* row = layout.mLampMap; row->mLampId != 0; ++row) {
    if (row->mLampId <= kLastLampId) mLampCodes[row->mLampId] = row->mHardwareLamp;
  }
  for (LcdTextBlock::Cell& cell : mLcdText.mCells) cell = {' ', 0};
  PushLampStates();
}

void SurfaceEmulator::SetOwner(void* owner, const SurfaceCallbacks& callbacks) {
  mOwner = owner;
  mCallbacks = callbacks;
}

void SurfaceEmulator::Send(uint8_t status, uint8_t data1, uint8_t data2) {
  if (mCallbacks.mSendMidi != nullptr) mCallbacks.mSendMidi(mOwner, status, data1, data2);
}

void SurfaceEmulator::SendFramedNote(uint8_t note, bool framed) {
  if (framed) Send(kStatusNote, kNoteShift, 0);
  SendNote(note);
  if (framed) SendNote(kNoteShift);
}

void SurfaceEmulator::Publish() {
  if (mCallbacks.mPublishLcdBlock != nullptr) mCallbacks.mPublishLcdBlock(mOwner, &mLcdText);
}

void SurfaceEmulator::PushLampStates() {
  if (mCallbacks.mSetLamp == nullptr) return;
  for (uint8_t id : kPushOrder) {
    const bool off = id == kAlwaysOff[0] || id == kAlwaysOff[1];
    mCallbacks.mSetLamp(mOwner, id, off ? 0 : mLampImage[id]);
  }
}

void SurfaceEmulator::HandleButtonState(const uint8_t buttons[16]) {
  uint8_t pressed[16];
  uint8_t released[16];
  // Every byte is looked at, without a branch per byte: most dispatches find nothing changed.
  uint8_t changed = 0;
  for (uint32_t b = 0; b < 16; ++b) {
    pressed[b] = mPrevButtons[b] & ~buttons[b] & mButtonMask[b];
    released[b] = buttons[b] & ~mPrevButtons[b] & mButtonMask[b];
    mPrevButtons[b] = buttons[b];
    changed |= pressed[b] | released[b];
  }
  if (changed == 0) return;
  for (uint32_t b = 0; b < 16; ++b) {
    for (uint32_t k = 0; k < 8; ++k) {
      if ((pressed[b] >> k & 1) && mButtonCodes[8 * b + k] != 0) HandleButtonEvent(mButtonCodes[8 * b + k], kButtonPress);
    }
    for (uint32_t k = 0; k < 8; ++k) {
      if ((released[b] >> k & 1) && mButtonCodes[8 * b + k] != 0) {
        HandleButtonEvent(mButtonCodes[8 * b + k], kButtonRelease);
      }
    }
  }
}

void SurfaceEmulator::HandleButtonEvent(uint32_t code, uint32_t event) {
  for (const ButtonActionRow* row = kButtonActionTable; row->mCode != 0; ++row) {
    if (row->mCode != code || (row->mEvents & event) == 0 || (row->mProtocols & mEmulationMode) == 0) continue;
    if (row->mModifiers != kAnyModifiers && row->mModifiers != mModifiers) continue;
    RunAction(row->mAction, row->mA, row->mB, event);
  }
}

void SurfaceEmulator::RunAction(uint16_t action, uint16_t a, uint16_t b, uint32_t event) {
  const bool press = event == kButtonPress;
  const uint8_t value = press ? 127 : 0;
  switch (action) {
    case kActionNote:
      Send(kStatusNote, static_cast<uint8_t>(a), value);
      if (press && IsCubase() && ((a & ~0x10u) >= 8 && (a & ~0x10u) <= 15)) mSelectPending = 1;
      break;
    case kActionShiftedNote:
      SendNote(kNoteShift);
      SendNote(static_cast<uint8_t>(a));
      Send(kStatusNote, kNoteShift, 0);
      break;
    case kActionHuiSwitch:
      Send(kStatusController1, 0x0F, static_cast<uint8_t>(a));
      Send(kStatusController1, 0x2F, static_cast<uint8_t>(press ? (0x40 | b) : b));
      break;
    case kActionController16: Send(kStatusController16, static_cast<uint8_t>(a), value); break;
    case kActionController15: Send(kStatusController15, static_cast<uint8_t>(a), value); break;
    case kActionModeCommand:
      if (mCallbacks.mModeCommand != nullptr) mCallbacks.mModeCommand(mOwner, a, b);
      break;
    case kActionModifier:
      if (press) mModifiers |= static_cast<uint8_t>(a);
      else mModifiers &= static_cast<uint8_t>(~a);
      if (IsCubase()) RunModifierExtras(a, event);
      break;
    case kActionAssignment:
      if (IsCubase()) RunAssignment(static_cast<uint8_t>(a));
      break;
    case kActionEqBand:
      if (IsCubase()) RunEqBand(static_cast<uint8_t>(a));
      break;
    default: break;
  }
}

void SurfaceEmulator::ClearAssignmentImages() {
  mLampImage[kLampPan] = 0;
  for (uint8_t lamp : kAuxLamps) mLampImage[lamp] = 0;
}

void SurfaceEmulator::ClearEqImages() {
  for (uint8_t lamp : kEqLamps) mLampImage[lamp] = 0;
}

// Lights the lamp of the active assignment; all sends light Aux 1-4 (Aux 1-8 in Cubase SX) only
// when asked.
void SurfaceEmulator::LightAssignment(bool withAllSends) {
  const bool sx = mEmulationMode == kModeCubaseSx;
  switch (mAssignment) {
    case 40: mLampImage[kLampPan] = 1; break;
    case 42: case 43: case 44: case 45:
      mAuxIndex = static_cast<uint8_t>(mAssignment - 42);
      mLampImage[kAuxLamps[mAuxIndex]] = 1;
      break;
    case 85: case 6: case 86: case 87:
      if (sx) {
        mAuxIndex = mAssignment == 85 ? 4 : mAssignment == 6 ? 5 : mAssignment == 86 ? 6 : 7;
        mLampImage[kAuxLamps[mAuxIndex]] = 1;
      }
      break;
    case 84:
      if (withAllSends) {
        for (uint32_t i = 0; i < (sx ? 8u : 4u); ++i) mLampImage[kAuxLamps[i]] = 1;
      }
      break;
    default: break;
  }
}

void SurfaceEmulator::LightEqBand() {
  if (mEqBand >= 1 && mEqBand <= 4) mLampImage[kEqLamps[4 - mEqBand]] = 1;
}

void SurfaceEmulator::RunModifierExtras(uint16_t bits, uint32_t event) {
  const bool press = event == kButtonPress;
  if (bits == kModShift) Send(kStatusNote, kNoteShift, press ? 127 : 0);
  if (bits != kModCtrl) return;
  if (press) {
    if (mEqLocked) {
      ClearEqImages();
      ClearAssignmentImages();
      if (mAssignment == 40) mLampImage[kLampPan] = 1;
      PushLampStates();
    } else if (mAssignPage == 2) {
      mPageCode = 13;
      SendNote(40);
    } else if (mAssignPage == 3) {
      mPageCode = 15;
      SendFramedNote(41, ShiftHeld());
    } else {
      mPageCode = 14;
      SendNote(45);
    }
    return;
  }
  ClearAssignmentImages();
  LightAssignment(true);
  ClearEqImages();
  LightEqBand();
  PushLampStates();
}

void SurfaceEmulator::RunAssignment(uint8_t m) {
  const bool sx = mEmulationMode == kModeCubaseSx;
  const bool ctrl = CtrlHeld();
  const uint8_t index = m >= 42 && m <= 45 ? static_cast<uint8_t>(m - 42)
                        : m == 85          ? 4
                        : m == 6           ? 5
                        : m == 86          ? 6
                                           : 7;
  if (m != 40 && ctrl) {
    mAuxToggles[index] ^= 1;
    mLampImage[kAuxLamps[index]] = mAuxToggles[index];
    const uint8_t v = mAuxToggles[index] ? 1 : 65;
    const uint8_t cc = static_cast<uint8_t>(16 + index);
    if (!sx) {
      switch (mAssignPage) {
        case 0: SendNote(45); SendNote(41); Send(kStatusController1, cc, v); SendNote(40); SendNote(42); break;
        case 1: SendNote(45); SendNote(41); Send(kStatusController1, cc, v); SendNote(40); SendNote(44); break;
        case 2:
          SendNote(40); SendNote(45); SendNote(41); Send(kStatusController1, cc, v);
          SendNote(40); SendNote(44); SendNote(41);
          break;
        default: SendNote(41); Send(kStatusController1, cc, v); SendNote(40); break;
      }
    } else {
      mLastAux = index;
      if (mAssignPage <= 1) {
        mPageCode = 14;
        SendNote(45);
      } else if (mAssignPage == 2) {
        mPageCode = 13;
        SendNote(40);
      } else {
        mPageCode = 19;
        SendFramedNote(41, ShiftHeld());
      }
    }
  } else if (m != 40) {
    if (sx || (m >= 42 && m <= 45)) {
      if (m == mAssignment || (mAssignment == 40 && mAllSends)) {
        mLampImage[kLampPan] = 0;
        for (uint32_t i = 0; i < 8; ++i) mLampImage[kAuxLamps[i]] = sx || i < 4 ? 1 : 0;
        mAssignment = 84;
        mAllSends = 1;
      } else {
        ClearAssignmentImages();
        mAllSends = 0;
        mAssignment = m;
      }
    }
  } else if (!ctrl) {
    ClearAssignmentImages();
    mAssignment = 40;
  }
  if (!ctrl) LightAssignment(false);
  PushLampStates();
  if (ctrl) return;
  if (mAssignment == 40 && mAssignPage != 0) {
    SendNote(40);
    SendNote(42);
    mAssignPage = 0;
  } else if (mAssignment != 40 && mAssignPage != 3) {
    SendNote(45);
    mAssignPage = 3;
  }
}

void SurfaceEmulator::RunEqBand(uint8_t code) {
  if (mEqLocked) return;
  const bool sx = mEmulationMode == kModeCubaseSx;
  const uint32_t x = code - 61u;
  if (x > 3) return;
  if (CtrlHeld()) {
    const uint8_t v = mEqToggles[x] ? 65 : 1;
    mEqToggles[x] ^= 1;
    mLampImage[kEqLamps[x]] = mEqToggles[x];
    if (!sx) {
      const uint8_t cc = static_cast<uint8_t>(2 * (11 - x));
      switch (mAssignPage) {
        case 0: SendNote(44); SendNote(41); Send(kStatusController1, cc, v); SendNote(40); SendNote(42); break;
        case 1: SendNote(41); Send(kStatusController1, cc, v); SendNote(40); break;
        case 2: Send(kStatusController1, cc, v); break;
        default: SendNote(44); SendNote(41); Send(kStatusController1, cc, v); SendNote(40); SendNote(45); break;
      }
    } else {
      if (mAssignPage == 0 || mAssignPage == 3) SendFramedNote(44, ShiftHeld());
      else if (mAssignPage == 2) SendNote(40);
      if (x <= 1) SendNote(41);
      Send(kStatusController1, (x == 0 || x == 2) ? 23 : 19, v);
      switch (mAssignPage) {
        case 0: SendNote(40); SendNote(42); break;
        case 1: SendNote(40); break;
        case 2: SendNote(41); break;
        default: SendNote(40); SendNote(45); break;
      }
    }
  } else {
    const uint8_t old = mEqBand;
    const uint8_t band = static_cast<uint8_t>(4 - x);
    ClearEqImages();
    mLampImage[kEqLamps[x]] = 1;
    mEqBand = band;
    PushLampStates();
    if (!sx) {
      if (band == old) {
        if (mAssignPage == 1) {
          SendNote(41);
          mAssignPage = 2;
        } else if (mAssignPage == 2) {
          SendNote(40);
          mAssignPage = 1;
        } else {
          SendNote(44);
          mAssignPage = 1;
        }
      } else if (mAssignPage != 1 && mAssignPage != 2) {
        SendNote(44);
        mAssignPage = 1;
      }
    } else if (band <= 2 && mAssignPage != 1) {
      SendFramedNote(44, ShiftHeld());
      SendNote(40);
      mAssignPage = 1;
    } else if (band >= 3 && mAssignPage != 2) {
      SendNote(44);
      SendNote(41);
      mAssignPage = 2;
    }
  }
  PushLampStates();
}

void SurfaceEmulator::SendFaderPosition(uint32_t fader, uint32_t position) {
  const uint8_t coarse = static_cast<uint8_t>(position >> 3 & 0x7F);
  switch (mEmulationMode) {
    case kModeNative: {
      if (fader > 8) return;
      const uint8_t cc = fader == 0 ? 79 : fader == 8 ? 75 : static_cast<uint8_t>(64 + fader);
      Send(kStatusController16, cc, coarse);
      Send(kStatusController16, static_cast<uint8_t>(cc + 16), static_cast<uint8_t>((position & 7) << 4));
      break;
    }
    case kModeMackie:
    case kModeCubaseLe:
    case kModeCubaseSx:
      if (fader > 8) return;
      Send(static_cast<uint8_t>(kStatusPitchBend + fader), static_cast<uint8_t>((position & 7) << 4), coarse);
      break;
    case kModeHui:
      if (fader > 7) return;
      Send(kStatusController1, static_cast<uint8_t>(fader), coarse);
      Send(kStatusController1, static_cast<uint8_t>(0x20 + fader), static_cast<uint8_t>((position & 6) << 4));
      break;
    default: break;
  }
}

void SurfaceEmulator::HandleFaderState(const uint16_t faders[12]) {
  const uint16_t touch = static_cast<uint16_t>(~faders[11] & 0x1FF);
  const uint16_t touched = touch & ~mFaderPos[11];
  const uint16_t released = mFaderPos[11] & ~touch;
  mFaderPos[11] = touch;
  if (touched != 0 || released != 0) {
    for (uint32_t i = 0; i < kFaders; ++i) {
      const uint8_t index = static_cast<uint8_t>(i);
      if (touched >> i & 1) {
        mFaderTouched[i] = 1;
        mFaderTouchLatch[i] = 1;
        switch (mEmulationMode) {
          case kModeNative: Send(kStatusController16, static_cast<uint8_t>(112 + i), 127); break;
          case kModeMackie:
          case kModeCubaseLe:
          case kModeCubaseSx:
            SendNote(static_cast<uint8_t>(104 + i));
            SendFaderPosition(i, mFaderPos[i]);
            break;
          case kModeHui:
            if (i > 7) break;
            Send(kStatusController1, 0x0F, index);
            Send(kStatusController1, 0x2F, 0x40);
            break;
          default: break;
        }
      } else if (released >> i & 1) {
        mFaderTouched[i] = 0;
        switch (mEmulationMode) {
          case kModeNative: Send(kStatusController16, static_cast<uint8_t>(112 + i), 0); break;
          case kModeMackie:
          case kModeCubaseLe:
          case kModeCubaseSx: Send(kStatusNote, static_cast<uint8_t>(104 + i), 0); break;
          case kModeHui:
            if (i > 7) break;
            Send(kStatusController1, 0x0F, index);
            Send(kStatusController1, 0x2F, 0x00);
            break;
          default: break;
        }
      }
    }
  }
  // The tracked value follows the fader with two steps of slack so that a resting fader's jitter
  // sends nothing; the ends of travel are taken exactly.
  for (uint32_t i = 0; i < 11; ++i) {
    const uint32_t n = faders[i];
    const uint32_t t = mFaderPos[i];
    uint32_t next = t;
    if ((n == 1023 || n == 0) && n != t) next = n;
    else if (n > t + 2) next = n - 2;
    else if (n + 2 < t) next = n + 2;
    if (next == t) continue;
    mFaderPos[i] = static_cast<uint16_t>(next);
    if (i < kFaders && mFaderTouched[i]) SendFaderPosition(i, next);
  }
}

void SurfaceEmulator::HandleEncoderState(const int16_t encoders[12]) {
  for (uint32_t i = 0; i < 12; ++i) {
    if (encoders[i] == mEncoderLast[i]) continue;
    mEncoderLast[i] = encoders[i];
    if (mCallbacks.mSendMidi == nullptr) continue;
    const int32_t delta = static_cast<int16_t>(static_cast<uint16_t>(encoders[i] - mEncoderBase[i]));
    mEncoderBase[i] = encoders[i];
    if (delta == 0) continue;
    switch (mEmulationMode) {
      case kModeNative: {
        static constexpr uint8_t kOthers[4] = {72, 73, 74, 96};
        const uint8_t cc = i < 8 ? static_cast<uint8_t>(104 + i) : kOthers[i - 8];
        Send(kStatusController16, cc, static_cast<uint8_t>(Clamp63(delta) & 0x7F));
        break;
      }
      case kModeMackie:
      case kModeCubaseLe:
      case kModeCubaseSx:
        if (i == 11) {
          const int32_t a = mJogRemainderMackie + delta;
          mJogRemainderMackie = static_cast<uint16_t>(a & 31);
          const int32_t steps = a >> 5;
          if (steps != 0) Send(kStatusController1, 60, steps < 0 ? 65 : 1);
        } else if (mEmulationMode == kModeMackie) {
          if (i < 8) Send(kStatusController1, static_cast<uint8_t>(16 + i), TurnCode(delta));
        } else {
          SendCubaseEncoder(i, delta);
        }
        break;
      case kModeHui: {
        int32_t v = delta;
        if (i == 11) {
          const int32_t a = mJogRemainderHui + delta;
          mJogRemainderHui = static_cast<uint16_t>(a & 15);
          v = a >> 4;
          if (v == 0) break;
        }
        v = Clamp63(v);
        const uint8_t value = static_cast<uint8_t>(v > 0 ? 0x40 + v : -v);
        const bool high = (mModifiers & kModHigh) != 0;
        uint8_t cc = 0;
        if (i < 8) cc = static_cast<uint8_t>(0x40 + i);
        else if (i == 8) cc = high ? 75 : 72;
        else if (i == 9) cc = high ? 76 : 73;
        else if (i == 10) cc = 74;
        else cc = 13;
        Send(kStatusController1, cc, value);
        break;
      }
      default: break;
    }
  }
}

void SurfaceEmulator::SendCubaseEncoder(uint32_t entry, int32_t delta) {
  const bool sx = mEmulationMode == kModeCubaseSx;
  const uint8_t code = TurnCode(delta);
  const int repeats = CtrlHeld() ? 1 : 4;
  auto sendController = [&](uint32_t cc) {
    for (int r = 0; r < repeats; ++r) Send(kStatusController1, static_cast<uint8_t>(cc), code);
  };
  if (entry < 8) {
    if (mAssignment == 40) {
      if (mAssignPage == 1 || mAssignPage == 3) {
        SendNote(42);
      } else if (mAssignPage == 2) {
        SendNote(40);
        SendNote(42);
      }
      mAssignPage = 0;
      sendController(16 + entry);
      return;
    }
    if (mAssignPage <= 1) {
      SendNote(45);
    } else if (mAssignPage == 2) {
      SendNote(40);
      SendNote(45);
    }
    mAssignPage = 3;
    if (mAssignment == 84) {
      if (sx || entry < 4) sendController(16 + entry);
      return;
    }
    if (entry != mSelectedStrip) {
      SendNote(static_cast<uint8_t>(24 + entry));
      mSelectPending = 1;
    }
    sendController(16u + (mAuxIndex & 7));
    return;
  }
  if (mEqBand < 1 || mEqBand > 4 || mEqLocked) return;
  const uint32_t b = mEqBand - 1u;
  if (!sx) {
    if (entry == 10) {
      if (mAssignPage == 0 || mAssignPage == 3) {
        SendNote(44);
        SendNote(41);
      } else if (mAssignPage == 1) {
        SendNote(41);
      }
      mAssignPage = 2;
      sendController(17 + 2 * b);
      return;
    }
    if (mAssignPage == 0 || mAssignPage == 3) SendNote(44);
    else if (mAssignPage == 2) SendNote(40);
    mAssignPage = 1;
    sendController(entry == 8 ? 17 + 2 * b : 16 + 2 * b);
    return;
  }
  if (mAssignPage == 0 || mAssignPage == 3) {
    SendFramedNote(44, ShiftHeld());
    mAssignPage = 1;
  } else if (mAssignPage == 2 && b < 2) {
    SendNote(40);
    mAssignPage = 1;
  }
  if (b >= 2 && mAssignPage != 2) {
    SendNote(41);
    mAssignPage = 2;
  }
  sendController(16 + 4 * (b & 1) + (entry - 8));
}

void SurfaceEmulator::HandleSurfaceMIDIEvent(uint32_t packet) {
  const uint8_t cin = packet >> 24 & 0x0F;
  const uint8_t status = packet >> 16 & 0xFF;
  const uint8_t data1 = packet >> 8 & 0xFF;
  const uint8_t data2 = packet & 0xFF;
  const uint8_t bytes[3] = {status, data1, data2};
  const uint32_t sysexBytes = cin == 4 || cin == 7 ? 3 : cin == 6 ? 2 : cin == 5 ? 1 : 0;

  switch (mEmulationMode) {
    case kModeNative:
      for (uint32_t i = 0; i < sysexBytes; ++i) FeedVendor(bytes[i]);
      if (cin == 11) HandleNativeController(status, data1, data2);
      break;
    case kModeMackie:
    case kModeCubaseLe:
    case kModeCubaseSx:
      for (uint32_t i = 0; i < sysexBytes; ++i) FeedMackie(bytes[i]);
      if (cin == 9 && status == kStatusNote) {
        HandleHostNote(packet, data1 & 0x7F, data2 & 0x7F);
        PushLampStates();
      } else if (cin == 11) {
        HandlePageSequence(data1, data2);
      } else if (cin == 14 && status >= kStatusPitchBend && status <= kStatusPitchBend + 8) {
        MoveFader(status - kStatusPitchBend, static_cast<uint32_t>(data2 & 0x7F) << 3 | (data1 & 0x7F) >> 4);
      }
      break;
    case kModeHui:
      for (uint32_t i = 0; i < sysexBytes; ++i) FeedHui(bytes[i]);
      if (cin == 9 && status == kStatusNote && data1 == 0 && data2 == 0) Send(kStatusNote, 0x00, 0x7F);
      if (cin == 11) HandleHuiController(status, data1, data2);
      break;
    default: break;
  }
}

void SurfaceEmulator::MoveFader(uint32_t fader, uint32_t target) {
  if (fader >= kFaders) return;
  mFaderTarget[fader] = target & 0x3FF;
  if (mCallbacks.mSetFaderMotor != nullptr) mCallbacks.mSetFaderMotor(mOwner, fader, mFaderTarget[fader]);
}

void SurfaceEmulator::HandleNativeController(uint8_t status, uint8_t controller, uint8_t value) {
  if (status != kStatusController16) return;
  const uint32_t v = value & 0x7F;
  auto coarseFader = [](uint8_t c) -> int {
    if (c == 79) return 0;
    if (c >= 65 && c <= 71) return c - 64;
    if (c == 75) return 8;
    return -1;
  };
  auto fineFader = [](uint8_t c) -> int {
    if (c == 95) return 0;
    if (c >= 81 && c <= 87) return c - 80;
    if (c == 91) return 8;
    return -1;
  };
  if (const int f = coarseFader(controller); f >= 0) {
    mFaderTarget[f] = (mFaderTarget[f] & 7) | v << 3;
  } else if (const int g = fineFader(controller); g >= 0) {
    MoveFader(static_cast<uint32_t>(g), (mFaderTarget[g] & 0x3F8) | (v >> 4 & 7));
  }
}

void SurfaceEmulator::HandleHuiController(uint8_t status, uint8_t controller, uint8_t value) {
  if (status != kStatusController1) return;
  const uint32_t v = value & 0x7F;
  if (controller <= 7) {
    mFaderTarget[controller] = (mFaderTarget[controller] & 7) | v << 3;
  } else if (controller >= 0x20 && controller <= 0x27) {
    const uint32_t f = controller - 0x20u;
    MoveFader(f, (mFaderTarget[f] & 0x3F8) | (v >> 5 & 3) << 1);
  } else if (controller == 0x0C) {
    mHuiZone = static_cast<uint8_t>(v);
  } else if (controller == 0x2C) {
    const uint32_t port = v & 0x0F;
    if (mHuiZone < kHuiZones && port < kHuiPorts) {
      const uint8_t lamp = kLamps.huiLamp[mHuiZone][port];
      if (lamp != kNone) mLampImage[lamp] = (v & 0x40) ? 127 : 0;
    }
    PushLampStates();
  }
}

void SurfaceEmulator::HandleHostNote(uint32_t packet, uint8_t note, uint8_t velocity) {
  const uint8_t lamp = kLamps.noteLamp[note];
  if (lamp != kNone && (kLamps.noteScope[note] == kMackieFamily || mEmulationMode == kModeMackie)) {
    mLampImage[lamp] = velocity;
  }
  if (note < 24 || note > 31) return;
  if (IsCubase() && packet != mLastSelectPacket && velocity != 0) {
    if (mSelectPending && CtrlHeld()) {
      mSelectPending = 0;
      switch (mAssignPage) {
        case 0:
          mPageCode = 14;
          SendNote(45);
          break;
        case 1:
          mPageCode = mEqLocked ? 14 : 13;
          if (mEqLocked) SendNote(45);
          break;
        case 2:
          mPageCode = mEqLocked ? 13 : 12;
          if (mEqLocked) SendNote(40);
          break;
        default:
          mPageCode = mEqLocked ? 15 : 14;
          if (mEqLocked) SendNote(41);
          break;
      }
    }
    mSelectedStrip = static_cast<uint8_t>(note - 24);
  }
  if (velocity == 0 && note - 24 == mSelectedStrip) mSelectedStrip = kNoStrip;
  mLastSelectPacket = packet;
}

void SurfaceEmulator::HandlePageSequence(uint8_t c, uint8_t value) {
  if (!IsCubase()) return;
  const bool sx = mEmulationMode == kModeCubaseSx;
  const uint8_t ring = (value & 0x0F) != 0 ? 1 : 0;
  const uint8_t pageKey = sx ? 55 : 51;
  if (c == 48) mRingArmed = 1;
  auto setEq = [&](uint32_t x) {
    mEqToggles[x] = ring;
    mLampImage[kEqLamps[x]] = ring;
  };
  // EQ toggle indices: High 0, Hi-Mid 1, Lo-Mid 2, Low 3.
  switch (mPageCode) {
    case 12:
      if (c == 55) mPageCode = 13;
      break;
    case 13:
      if (c == 55) {
        mPageCode = 14;
        SendNote(45);
      }
      break;
    case 14:
      if (c == 51) {
        mPageCode = mLastAux == kNoAux ? 15 : 19;
        SendFramedNote(41, ShiftHeld());
        mRingArmed = 0;
      }
      break;
    case 15:
      if (mRingArmed && c >= 48 && c <= 55) {
        mAuxToggles[c & 7] = ring;
        mLampImage[kAuxLamps[c & 7]] = ring;
      }
      if (mRingArmed && c == pageKey) {
        mPageCode = 16;
        SendNote(40);
      }
      break;
    case 16:
      if (c == pageKey) {
        mPageCode = 17;
        SendFramedNote(44, sx && ShiftHeld());
        mRingArmed = 0;
      }
      break;
    case 17:
      if (!mRingArmed) break;
      if (sx && c == 51) {
        setEq(3);
      } else if (sx && c == 55) {
        setEq(2);
        mPageCode = 18;
        SendNote(41);
        mRingArmed = 0;
      } else if (!sx && c == 51) {
        mPageCode = 18;
        SendNote(41);
        mRingArmed = 0;
      }
      break;
    case 18:
      if (!mRingArmed) break;
      if (!sx && (c == 48 || c == 50 || c == 52 || c == 54)) setEq(3 - (c - 48u) / 2);
      if (sx && c == 51) setEq(1);
      if (sx && c == 55) setEq(0);
      if (c == 55) {
        PushLampStates();
        if (mAssignPage == 0) {
          SendNote(40);
          SendNote(42);
        } else if (mAssignPage == 1) {
          SendNote(40);
        } else if (mAssignPage == 3) {
          SendNote(40);
          SendNote(45);
        }
        mPageCode = 11;
      }
      break;
    case 19:
      if (mRingArmed && c == 55) {
        if (mLastAux < 8) {
          const uint8_t v = mAuxToggles[mLastAux] ? 1 : 65;
          Send(kStatusController1, static_cast<uint8_t>(16 + mLastAux), v);
          Send(kStatusController1, static_cast<uint8_t>(16 + mLastAux), v);
        }
        mPageCode = 20;
        SendNote(40);
        mLastAux = kNoAux;
      }
      break;
    case 20:
      if (c == 55) {
        mPageCode = 15;
        SendFramedNote(41, ShiftHeld());
        mRingArmed = 0;
      }
      break;
    default: mRingArmed = 0; break;
  }
}

void SurfaceEmulator::StoreDisplayCharacter(uint32_t position, uint8_t character) {
  const int32_t cell = CellOfPosition(position);
  if (cell >= 0) mLcdText.mCells[cell] = {character, 0};
}

void SurfaceEmulator::SendConnectionReply() {
  Send(0xF0, 0x00, 0x00);
  Send(0x66, 0x14, 0x1B);
  Send(0x58, 0x59, 0x5A);
  Send(0x1A, 0x2C, 0x69);
  Send(0x7A, 0xF7, 0x00);
}

void SurfaceEmulator::FeedVendor(uint8_t byte) {
  switch (mVendorState) {
    case VendorState::Idle: break;
    case VendorState::Id:
      if (byte == kVendorId) {
        mVendorState = VendorState::Header;
        mVendorHeaderIndex = 0;
        return;
      }
      if (byte == 0x7E) {
        mVendorState = VendorState::Identity;
        mVendorHeaderIndex = 0;
        return;
      }
      break;
    case VendorState::Header:
      if (byte == kVendorHeader[mVendorHeaderIndex]) {
        if (++mVendorHeaderIndex == std::size(kVendorHeader)) mVendorState = VendorState::Command;
        return;
      }
      break;
    case VendorState::Identity:
      if (byte == kIdentityRequest[mVendorHeaderIndex]) {
        if (++mVendorHeaderIndex < std::size(kIdentityRequest)) return;
        Send(0xF0, 0x7E, 0x00);
        Send(0x06, 0x02, kVendorId);
        Send(0x00, 0x00, 0x12);
        Send(0x00, 0x30, 0x31);
        Send(0x32, 0x30, 0xF7);
        mVendorState = VendorState::Idle;
        return;
      }
      break;
    case VendorState::Command:
      if (byte >= 0x80) break;
      if (byte == 5 || byte == 24) {
        mVendorBuffer[0] = byte;
        mVendorState = VendorState::TextStart;
      } else {
        mVendorBuffer[0] = byte;
        mVendorLength = 1;
        mVendorState = VendorState::Collect;
      }
      return;
    case VendorState::TextStart:
      if (byte >= 0x80) {
        Publish();
        mVendorState = VendorState::Idle;
        return;
      }
      mLcdPosition = byte == 127 ? 0 : byte;
      mNibble = 0;
      mVendorState = mVendorBuffer[0] == 5 ? VendorState::Text : VendorState::Nibbles;
      if (byte == 127 && mCallbacks.mModeCommand != nullptr) mCallbacks.mModeCommand(mOwner, 4, 2);
      return;
    case VendorState::Text:
      if (byte >= 0x80) {
        Publish();
        mVendorState = VendorState::Idle;
        return;
      }
      StoreDisplayCharacter(mLcdPosition, byte);
      if (mLcdPosition <= kLastDisplayPosition) ++mLcdPosition;
      return;
    case VendorState::Nibbles:
      if (byte >= 0x80) {
        Publish();
        mVendorState = VendorState::Idle;
        return;
      }
      if (const int32_t cell = CellOfPosition(mLcdPosition); cell >= 0) {
        const uint32_t shift = 12 - 4 * mNibble;
        LcdTextBlock::Cell& c = mLcdText.mCells[cell];
        uint32_t value = c.mCharacter | uint32_t{c.mHighByte} << 8;
        value = (value & ~(0xFu << shift)) | (byte & 0xFu) << shift;
        c = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
      }
      if (++mNibble == 4) {
        mNibble = 0;
        if (mLcdPosition <= kLastDisplayPosition) ++mLcdPosition;
      }
      return;
    case VendorState::Collect:
      if (byte >= 0x80) {
        RunVendorCommand();
        PushLampStates();
        mVendorState = VendorState::Idle;
        return;
      }
      if (mVendorLength == sizeof mVendorBuffer) break;
      mVendorBuffer[mVendorLength++] = byte;
      return;
  }
  // Idle, or a byte that does not fit: wait for the next F0, which may be this one.
  mVendorState = byte == 0xF0 ? VendorState::Id : VendorState::Idle;
}

void SurfaceEmulator::RunVendorCommand() {
  const uint8_t command = mVendorBuffer[0];
  const uint32_t dataBytes = mVendorLength - 1;
  const uint8_t d1 = mVendorBuffer[1];
  const uint8_t d2 = mVendorBuffer[2];
  switch (command) {
    case 16:
      if (dataBytes == 0) {
        for (uint32_t i = 0; i < kFaders; ++i) {
          const uint8_t mode = mEmulationMode;
          mEmulationMode = kModeNative;
          SendFaderPosition(i, mFaderPos[i]);
          mEmulationMode = mode;
        }
        return;
      }
      break;
    case 22: ResetSurfaceOutputs(); return;
    case 23:
      for (uint32_t i = 0; i < 8; ++i) MoveFader(i, 0);
      return;
    default: break;
  }
  if (dataBytes == 0) return;
  bool twoByte = false;
  const uint8_t lamp = VendorLamp(command, d1, &twoByte);
  if (lamp == kNone || (twoByte && dataBytes < 2)) return;
  mLampImage[lamp] = (twoByte ? d2 : d1) != 0 ? 1 : 0;
}

void SurfaceEmulator::ResetSurfaceOutputs() {
  if (mCallbacks.mSetLamp == nullptr) return;
  mLampImage[3] = mLampImage[5] = mLampImage[6] = mLampImage[7] = 0;
  mLampImage[4] = 1;
  for (uint32_t id = 34; id <= 73; ++id) mLampImage[id] = 0;
  mLampImage[8] = 0;
  for (uint32_t id = 14; id <= 17; ++id) mLampImage[id] = 0;
  mLampImage[10] = 0;
  for (uint32_t id = 0; id <= kLastLampId; ++id) {
    if (IsVendorLamp(static_cast<uint8_t>(id), 16) || IsVendorLamp(static_cast<uint8_t>(id), 17)) mLampImage[id] = 0;
  }
  for (uint32_t i = 4; i < 8; ++i) mLampImage[kAuxLamps[i]] = 0;
}

void SurfaceEmulator::ResetCubaseState() {
  mPanSynced = 0;
  mAllSends = 0;
  mAuxIndex = 0;
  mEqBand = 0;
  mPageCode = 0;
  mSelectPending = 0;
  std::memset(mAuxToggles, 0, sizeof mAuxToggles);
  std::memset(mEqToggles, 0, sizeof mEqToggles);
  mEqLocked = 0;
  ClearAssignmentImages();
  ClearEqImages();
  mLastAux = kNoAux;
  mSelectedStrip = kNoStrip;
  mAssignment = 40;
  mAssignPage = 0;
  PushLampStates();
}

void SurfaceEmulator::FeedMackie(uint8_t byte) {
  switch (mMackieState) {
    case MackieState::Idle: break;
    case MackieState::Header:
      if (byte == kMackieHeader[mMackieHeaderIndex]) {
        if (++mMackieHeaderIndex == std::size(kMackieHeader)) mMackieState = MackieState::Model;
        return;
      }
      break;
    case MackieState::Model:
      mMackieModel = byte;
      mMackieState = MackieState::Command;
      return;
    case MackieState::Command:
      if (byte == 0x12) {
        mMackieState = MackieState::DisplayStart;
        return;
      }
      if (byte == 0x1A) {
        mMackieState = MackieState::Query;
        mMackieTailIndex = 0;
        return;
      }
      break;
    case MackieState::Query:
      if (byte == kQueryTail[mMackieTailIndex]) {
        if (++mMackieTailIndex < std::size(kQueryTail)) return;
        SendConnectionReply();
        mMackieState = MackieState::Idle;
        return;
      }
      break;
    case MackieState::DisplayStart:
      if (byte >= 0x80) {
        Publish();
        mMackieState = MackieState::Idle;
        return;
      }
      mLcdPosition = byte;
      mPanMatch = mPreMatch = mSpacesMatch = mNotMatchEnded = 0;
      if (IsCubase()) {
        if (byte == 0 || byte == 1) {
          mPanMatch = 1;
          mEqLocked = 1;
          mSpacesMatch = 1;
          if (mEmulationMode == kModeCubaseLe) mPreMatch = 1;
        }
        if (byte == 16 && mEmulationMode == kModeCubaseSx) mPreMatch = 1;
      }
      mMackieState = MackieState::Display;
      return;
    case MackieState::Display:
      if (byte >= 0x80) {
        Publish();
        mMackieState = MackieState::Idle;
        return;
      }
      StoreDisplayCharacter(mLcdPosition, byte);
      if (IsCubase()) MatchDisplayText(mLcdPosition, byte);
      if (mLcdPosition <= kLastDisplayPosition) ++mLcdPosition;
      return;
  }
  mMackieState = byte == 0xF0 ? MackieState::Header : MackieState::Idle;
  mMackieHeaderIndex = 0;
}

void SurfaceEmulator::MatchDisplayText(uint32_t position, uint8_t ch) {
  if (mPanMatch && position <= 2) {
    if (ch != "Pan"[position]) {
      mPanMatch = 0;
    } else if (position == 2 && !mPanSynced) {
      mPanSynced = 1;
      mLampImage[kLampPan] = 1;
      mAssignment = 40;
      mAssignPage = 0;
      PushLampStates();
    }
  }
  const uint32_t preStart = mEmulationMode == kModeCubaseLe ? 0 : 17;
  if (mPreMatch && position >= preStart && position <= preStart + 2) {
    if (ch != "Pre"[position - preStart]) {
      mPreMatch = 0;
    } else if (position == preStart + 2 && mMackieModel == 0x14) {
      ResetCubaseState();
    }
  }
  if (mNotMatchEnded) return;
  if ((position == 0 && ch != 'N') || (position == 1 && ch != 'o')) mEqLocked = 0;
  if (position >= 1 && position <= 4 && ch != ' ') mSpacesMatch = 0;
  if (position == 2 && mEqLocked) {
    if (ch == 't') {
      mSpacesMatch = 1;
      EqLockedByDisplay();
    } else {
      mEqLocked = 0;
      mNotMatchEnded = 1;
    }
  } else if (position == 5 && mSpacesMatch) {
    if (ch == ' ' || (ch == 't' && mEqLocked)) {
      mEqLocked = 1;
      EqLockedByDisplay();
    } else {
      mEqLocked = 0;
    }
  }
}

void SurfaceEmulator::EqLockedByDisplay() {
  if (!CtrlHeld()) return;
  mPageCode = 11;
  ClearAssignmentImages();
  ClearEqImages();
  if (mAssignment == 40) mLampImage[kLampPan] = 1;
  if (mAssignPage == 0) {
    SendNote(40);
    SendNote(42);
  } else if (mAssignPage == 3) {
    SendNote(40);
    SendNote(45);
  } else {
    SendNote(40);
    SendFramedNote(44, mEmulationMode == kModeCubaseSx && ShiftHeld());
  }
  PushLampStates();
}

void SurfaceEmulator::FeedHui(uint8_t byte) {
  switch (mHuiState) {
    case HuiState::Idle: break;
    case HuiState::Header:
      if (byte == kHuiHeader[mHuiHeaderIndex]) {
        if (++mHuiHeaderIndex == std::size(kHuiHeader)) mHuiState = HuiState::Command;
        return;
      }
      break;
    case HuiState::Command:
      if (byte == 0x12) {
        mHuiState = HuiState::Zone;
        return;
      }
      if (byte == 0x1A) {
        mHuiState = HuiState::Query;
        mHuiTailIndex = 0;
        return;
      }
      break;
    case HuiState::Query:
      if (byte == kQueryTail[mHuiTailIndex]) {
        if (++mHuiTailIndex < std::size(kQueryTail)) return;
        SendConnectionReply();
        mHuiState = HuiState::Idle;
        return;
      }
      break;
    case HuiState::Zone:
      if (byte >= 0x80) {
        Publish();
        mHuiState = HuiState::Idle;
        return;
      }
      if (byte > 7) break;
      mLcdPosition = static_cast<uint8_t>(byte < 4 ? 10 * byte : 10 * byte + 15);
      mHuiCharacters = 0;
      mHuiState = HuiState::Characters;
      return;
    case HuiState::Characters:
      if (byte >= 0x80) {
        Publish();
        mHuiState = HuiState::Idle;
        return;
      }
      if (mLcdPosition < 40 || (mLcdPosition >= 55 && mLcdPosition < LcdTextBlock::kCells)) {
        mLcdText.mCells[mLcdPosition] = {byte, 0};
      }
      ++mLcdPosition;
      if (++mHuiCharacters == 10) mHuiState = HuiState::Zone;
      return;
  }
  mHuiState = byte == 0xF0 ? HuiState::Header : HuiState::Idle;
  mHuiHeaderIndex = 0;
}
