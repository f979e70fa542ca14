#include "unit/ButtonActionTable.h"

#include <array>
#include <cstddef>

namespace {

constexpr uint8_t N = kProtocolNative;
constexpr uint8_t M = kProtocolMackie;
constexpr uint8_t H = kProtocolHui;
constexpr uint8_t C = kProtocolCubaseLe | kProtocolCubaseSx;
constexpr uint8_t MC = M | C;
constexpr uint8_t MCH = MC | H;
constexpr uint8_t All = N | MCH;

// The modifier state a row needs: any, none held, or exactly one key held.
constexpr uint8_t Any = kAnyModifiers;
constexpr uint8_t None = 0;
constexpr uint8_t Shift = 1;
constexpr uint8_t Ctrl = 2;
constexpr uint8_t RecShift = 4;
constexpr uint8_t High = 16;
constexpr uint8_t Set = 32;

constexpr uint8_t kBoth = kButtonPress | kButtonRelease;

struct Act {
  uint16_t action;
  uint16_t a;
  uint16_t b;
  uint8_t events;
};

constexpr Act Cc16(uint16_t controller) { return {kActionController16, controller, 0, kBoth}; }
constexpr Act Cc15(uint16_t controller) { return {kActionController15, controller, 0, kBoth}; }
constexpr Act Note(uint16_t note) { return {kActionNote, note, 0, kBoth}; }
constexpr Act ShiftedNote(uint16_t note) { return {kActionShiftedNote, note, 0, kButtonPress}; }
constexpr Act Zone(uint16_t zone, uint16_t port) { return {kActionHuiSwitch, zone, port, kBoth}; }
constexpr Act Modifier(uint16_t bits) { return {kActionModifier, bits, 0, kBoth}; }
constexpr Act PanelRequest() { return {kActionModeCommand, 3, 1, kButtonPress}; }
constexpr Act Assignment(uint16_t code) { return {kActionAssignment, code, 0, kButtonPress}; }
constexpr Act EqBand(uint16_t code) { return {kActionEqBand, code, 0, kButtonPress}; }

constexpr ButtonActionRow Row(uint16_t code, uint8_t protocols, uint8_t modifiers, Act act) {
  return {code, act.events, protocols, modifiers, 0, act.action, act.a, act.b};
}

// By button code; within a code native, Mackie Control, the Cubase layouts, HUI.
constexpr ButtonActionRow kRows[] = {
    Row(1, N, Any, Cc16(24)),  Row(1, MC, Any, Note(88)),  Row(1, H, Any, Zone(15, 0)),
    Row(2, N, Any, Cc16(25)),  Row(2, MC, Any, Note(90)),  Row(2, H, Any, Zone(15, 1)),
    Row(3, N, Any, Cc16(26)),  Row(3, M, Any, Note(100)),  Row(3, C, Any, Modifier(Set)),
    Row(3, H, Any, Zone(15, 2)),
    Row(4, N, Any, Cc16(27)),  Row(4, MC, None, Note(84)), Row(4, C, Set, ShiftedNote(60)),
    Row(4, H, None, Zone(16, 2)), Row(4, H, Shift, Zone(16, 1)),
    Row(5, N, Any, Cc16(28)),  Row(5, MC, None, Note(85)), Row(5, C, Set, ShiftedNote(61)),
    Row(5, H, Any, Zone(16, 3)),
    Row(6, N, Any, Cc15(23)),  Row(6, M, Any, Note(43)),   Row(6, C, Any, Assignment(6)),
    Row(7, N, Any, Cc16(29)),  Row(7, M, Any, Note(58)),   Row(7, C, None, Note(62)),
    Row(7, C, Set, Note(64)),  Row(7, C, Ctrl, Note(66)),  Row(7, C, RecShift, Note(68)),
    Row(7, H, Any, Zone(21, 3)),
    Row(8, N, Any, Cc16(30)),  Row(8, M, Any, Note(59)),   Row(8, C, None, Note(63)),
    Row(8, C, Set, Note(65)),  Row(8, C, Ctrl, Note(67)),  Row(8, C, RecShift, Note(69)),
    Row(8, H, Any, Zone(20, 1)),
    Row(9, N, Any, Cc16(19)),  Row(9, MC, Any, Note(91)),  Row(9, H, Any, Zone(14, 1)),
    Row(10, N, Any, Cc16(20)), Row(10, MC, Any, Note(92)), Row(10, H, Any, Zone(14, 2)),
    Row(11, N, Any, Cc16(21)), Row(11, MC, Any, Note(93)), Row(11, H, Any, Zone(14, 3)),
    Row(12, N, Any, Cc16(22)), Row(12, MC, Any, Note(94)), Row(12, H, Any, Zone(14, 4)),
    Row(13, N, Any, Cc16(23)), Row(13, MC, None, Note(95)), Row(13, MC, Ctrl, Note(87)),
    Row(13, H, None, Zone(14, 5)), Row(13, H, Shift, Zone(15, 4)),
    Row(14, N, Any, Cc16(16)), Row(14, MC, None, Note(46)), Row(14, MC, Ctrl, Note(48)),
    Row(14, H, None, Zone(10, 1)), Row(14, H, Shift, Zone(10, 0)),
    Row(15, N, Any, Cc16(17)), Row(15, MC, None, Note(47)), Row(15, MC, Ctrl, Note(49)),
    Row(15, H, None, Zone(10, 3)), Row(15, H, Shift, Zone(10, 2)),

    // Solo 1-8.
    Row(16, N, Any, Cc16(8)),  Row(16, MC, Any, Note(8)),  Row(16, H, Any, Zone(0, 3)),
    Row(17, N, Any, Cc16(9)),  Row(17, MC, Any, Note(9)),  Row(17, H, Any, Zone(1, 3)),
    Row(18, N, Any, Cc16(10)), Row(18, MC, Any, Note(10)), Row(18, H, Any, Zone(2, 3)),
    Row(19, N, Any, Cc16(11)), Row(19, MC, Any, Note(11)), Row(19, H, Any, Zone(3, 3)),
    Row(20, N, Any, Cc16(12)), Row(20, MC, Any, Note(12)), Row(20, H, Any, Zone(4, 3)),
    Row(21, N, Any, Cc16(13)), Row(21, MC, Any, Note(13)), Row(21, H, Any, Zone(5, 3)),
    Row(22, N, Any, Cc16(14)), Row(22, MC, Any, Note(14)), Row(22, H, Any, Zone(6, 3)),
    Row(23, N, Any, Cc16(15)), Row(23, MC, Any, Note(15)), Row(23, H, Any, Zone(7, 3)),

    // Mute 1-8.
    Row(24, N, Any, Cc16(0)),  Row(24, MC, Any, Note(16)), Row(24, H, Any, Zone(0, 2)),
    Row(25, N, Any, Cc16(1)),  Row(25, MC, Any, Note(17)), Row(25, H, Any, Zone(1, 2)),
    Row(26, N, Any, Cc16(2)),  Row(26, MC, Any, Note(18)), Row(26, H, Any, Zone(2, 2)),
    Row(27, N, Any, Cc16(3)),  Row(27, MC, Any, Note(19)), Row(27, H, Any, Zone(3, 2)),
    Row(28, N, Any, Cc16(4)),  Row(28, MC, Any, Note(20)), Row(28, H, Any, Zone(4, 2)),
    Row(29, N, Any, Cc16(5)),  Row(29, MC, Any, Note(21)), Row(29, H, Any, Zone(5, 2)),
    Row(30, N, Any, Cc16(6)),  Row(30, MC, Any, Note(22)), Row(30, H, Any, Zone(6, 2)),
    Row(31, N, Any, Cc16(7)),  Row(31, MC, Any, Note(23)), Row(31, H, Any, Zone(7, 2)),

    // Select 1-8.
    Row(32, N, Any, Cc16(32)), Row(32, MC, None, Note(24)), Row(32, MC, RecShift, Note(0)),
    Row(32, M, Ctrl, Note(32)), Row(32, C, Ctrl, Note(24)),
    Row(32, H, None, Zone(0, 1)), Row(32, H, RecShift, Zone(0, 7)),
    Row(33, N, Any, Cc16(33)), Row(33, MC, None, Note(25)), Row(33, MC, RecShift, Note(1)),
    Row(33, M, Ctrl, Note(33)), Row(33, C, Ctrl, Note(25)),
    Row(33, H, None, Zone(1, 1)), Row(33, H, RecShift, Zone(1, 7)),
    Row(34, N, Any, Cc16(34)), Row(34, MC, None, Note(26)), Row(34, MC, RecShift, Note(2)),
    Row(34, M, Ctrl, Note(34)), Row(34, C, Ctrl, Note(26)),
    Row(34, H, None, Zone(2, 1)), Row(34, H, RecShift, Zone(2, 7)),
    Row(35, N, Any, Cc16(35)), Row(35, MC, None, Note(27)), Row(35, MC, RecShift, Note(3)),
    Row(35, M, Ctrl, Note(35)), Row(35, C, Ctrl, Note(27)),
    Row(35, H, None, Zone(3, 1)), Row(35, H, RecShift, Zone(3, 7)),
    Row(36, N, Any, Cc16(36)), Row(36, MC, None, Note(28)), Row(36, MC, RecShift, Note(4)),
    Row(36, M, Ctrl, Note(36)), Row(36, C, Ctrl, Note(28)),
    Row(36, H, None, Zone(4, 1)), Row(36, H, RecShift, Zone(4, 7)),
    Row(37, N, Any, Cc16(37)), Row(37, MC, None, Note(29)), Row(37, MC, RecShift, Note(5)),
    Row(37, M, Ctrl, Note(37)), Row(37, C, Ctrl, Note(29)),
    Row(37, H, None, Zone(5, 1)), Row(37, H, RecShift, Zone(5, 7)),
    Row(38, N, Any, Cc16(38)), Row(38, MC, None, Note(30)), Row(38, MC, RecShift, Note(6)),
    Row(38, M, Ctrl, Note(38)), Row(38, C, Ctrl, Note(30)),
    Row(38, H, None, Zone(6, 1)), Row(38, H, RecShift, Zone(6, 7)),
    Row(39, N, Any, Cc16(39)), Row(39, MC, None, Note(31)), Row(39, MC, RecShift, Note(7)),
    Row(39, M, Ctrl, Note(39)), Row(39, C, Ctrl, Note(31)),
    Row(39, H, None, Zone(7, 1)), Row(39, H, RecShift, Zone(7, 7)),

    // Pan, Flip and Aux 1-4.
    Row(40, N, Any, Cc15(17)), Row(40, M, Any, Note(42)),  Row(40, C, Any, Assignment(40)),
    Row(40, H, Any, Zone(11, 2)),
    Row(41, N, Any, Cc15(16)), Row(41, M, Any, Note(50)),  Row(41, H, Any, Zone(12, 3)),
    Row(42, N, Any, Cc15(18)), Row(42, M, Any, Note(51)),  Row(42, C, Any, Assignment(42)),
    Row(42, H, Any, Zone(11, 7)),
    Row(43, N, Any, Cc15(19)), Row(43, M, Any, Note(44)),  Row(43, C, Any, Assignment(43)),
    Row(43, H, Any, Zone(11, 6)),
    Row(44, N, Any, Cc15(20)), Row(44, M, Any, Note(40)),  Row(44, C, Any, Assignment(44)),
    Row(44, H, Any, Zone(11, 5)),
    Row(45, N, Any, Cc15(21)), Row(45, M, Any, Note(41)),  Row(45, C, Any, Assignment(45)),
    Row(45, H, Any, Zone(11, 4)),

    // Marker/F5 to Revert/F2.
    Row(46, N, Any, Cc15(5)),  Row(46, MC, Any, Note(89)),
    Row(46, H, None, Zone(20, 0)), Row(46, H, Shift, Zone(27, 4)),
    Row(47, N, Any, Cc15(6)),  Row(47, MC, Any, Note(86)),
    Row(47, H, None, Zone(15, 3)), Row(47, H, Shift, Zone(27, 5)),
    Row(48, N, Any, Cc15(3)),  Row(48, C, Any, Note(51)),  Row(48, H, Shift, Zone(27, 2)),
    Row(49, N, Any, Cc15(4)),  Row(49, MC, Any, Note(82)), Row(49, H, Shift, Zone(27, 3)),
    Row(50, N, Any, Cc15(1)),  Row(50, MC, Any, Note(72)),
    Row(50, H, None, Zone(8, 7)), Row(50, H, Shift, Zone(27, 0)),
    Row(51, N, Any, Cc15(2)),  Row(51, MC, Any, Note(73)), Row(51, H, Shift, Zone(27, 1)),

    // Shift, Ctrl, Alt/Cmd, Undo and the edit keys.
    Row(53, N, Any, Cc15(13)), Row(53, M, Any, Note(83)),  Row(53, C, Any, Modifier(Shift)),
    Row(53, H, Any, Zone(8, 1)), Row(53, H, Any, Modifier(Shift)),
    Row(54, N, Any, Cc15(14)), Row(54, MC, Any, Modifier(Ctrl)), Row(54, H, Any, Zone(8, 0)),
    Row(55, N, Any, Cc15(11)), Row(55, H, Any, Zone(8, 4)), Row(55, H, Any, Modifier(Ctrl)),
    Row(56, N, Any, Cc15(12)), Row(56, MC, None, Note(70)), Row(56, MC, Ctrl, Note(71)),
    Row(56, H, Any, Zone(8, 3)),
    Row(57, N, Any, Cc15(9)),  Row(57, M, None, Note(56)), Row(57, M, Ctrl, Note(60)),
    Row(57, C, Any, Note(60)), Row(57, H, Any, Zone(26, 4)),
    Row(58, N, Any, Cc15(10)), Row(58, M, None, Note(57)), Row(58, M, Ctrl, Note(61)),
    Row(58, C, Any, Note(61)), Row(58, H, Any, Zone(26, 0)),
    Row(59, N, Any, Cc15(7)),  Row(59, M, None, Note(54)), Row(59, M, Ctrl, Note(58)),
    Row(59, C, Any, Note(58)), Row(59, H, Any, Zone(26, 1)),
    Row(60, N, Any, Cc15(8)),  Row(60, M, None, Note(55)), Row(60, M, Ctrl, Note(59)),
    Row(60, C, Any, Note(59)), Row(60, H, Any, Zone(26, 3)),

    // EQ bands High, Hi-Mid, Lo-Mid, Low.
    Row(61, N, Any, Cc16(44)), Row(61, C, Any, EqBand(61)), Row(61, H, Any, Modifier(High)),
    Row(62, N, Any, Cc16(45)), Row(62, C, Any, EqBand(62)),
    Row(62, H, None, Zone(28, 2)), Row(62, H, High, Zone(28, 5)),
    Row(63, N, Any, Cc16(46)), Row(63, C, Any, EqBand(63)),
    Row(63, H, None, Zone(28, 3)), Row(63, H, High, Zone(28, 0)),
    Row(64, N, Any, Cc16(47)), Row(64, C, Any, EqBand(64)),
    Row(64, H, None, Zone(28, 4)), Row(64, H, High, Zone(28, 6)),

    Row(66, N, Any, Cc16(41)), Row(66, MCH, Any, Modifier(RecShift)),
    Row(70, N, Any, Cc16(61)), Row(70, All, Any, PanelRequest()),

    // Left, Right, Up, Down.
    Row(71, N, Any, Cc16(126)), Row(71, MC, Any, Note(98)), Row(71, H, Any, Zone(13, 1)),
    Row(72, N, Any, Cc16(127)), Row(72, MC, Any, Note(99)), Row(72, H, Any, Zone(13, 3)),
    Row(73, N, Any, Cc16(124)), Row(73, MC, Any, Note(96)), Row(73, H, Any, Zone(13, 4)),
    Row(74, N, Any, Cc16(125)), Row(74, MC, Any, Note(97)), Row(74, H, Any, Zone(13, 0)),

    // F7-F10 and the automation modes Read, Write, Touch, Latch.
    Row(75, N, Any, Cc16(53)), Row(75, M, None, Note(79)), Row(75, M, Ctrl, Note(62)),
    Row(75, C, Any, Note(54)), Row(75, H, Any, Zone(27, 6)),
    Row(76, N, Any, Cc16(54)), Row(76, M, None, Note(76)), Row(76, M, Ctrl, Note(63)),
    Row(76, C, Any, Note(55)), Row(76, H, Any, Zone(27, 7)),
    Row(77, N, Any, Cc16(55)), Row(77, M, None, Note(80)), Row(77, M, Ctrl, Note(64)),
    Row(77, C, Any, Note(56)), Row(77, H, Any, Zone(24, 0)),
    Row(78, N, Any, Cc16(56)), Row(78, M, None, Note(81)), Row(78, M, Ctrl, Note(65)),
    Row(78, C, Any, Note(57)), Row(78, H, Any, Zone(24, 3)),
    Row(79, N, Any, Cc16(57)), Row(79, M, None, Note(74)), Row(79, M, Ctrl, Note(66)),
    Row(79, C, Any, Note(74)), Row(79, H, Any, Zone(24, 2)),
    Row(80, N, Any, Cc16(58)), Row(80, M, None, Note(75)), Row(80, M, Ctrl, Note(67)),
    Row(80, C, Any, Note(75)), Row(80, H, Any, Zone(24, 4)),
    Row(81, N, Any, Cc16(59)), Row(81, MC, None, Note(77)), Row(81, M, Ctrl, Note(68)),
    Row(81, C, Ctrl, Note(53)), Row(81, H, Any, Zone(24, 5)),
    Row(82, N, Any, Cc16(60)), Row(82, MC, None, Note(78)), Row(82, M, Ctrl, Note(69)),
    Row(82, C, Ctrl, Note(52)), Row(82, H, Any, Zone(24, 1)),

    // Shuttle (layout 2 only), Aux 5, 7 and 8, Footswitch.
    Row(83, N, Any, Cc16(123)), Row(83, M, Any, Note(101)), Row(83, C, Any, Note(103)),
    Row(83, H, None, Zone(13, 5)), Row(83, H, Shift, Zone(13, 6)),
    Row(85, N, Any, Cc15(22)), Row(85, M, Any, Note(45)),  Row(85, C, Any, Assignment(85)),
    Row(85, H, Any, Zone(11, 3)),
    Row(86, N, Any, Cc15(24)), Row(86, C, Any, Assignment(86)), Row(86, H, Any, Zone(9, 1)),
    Row(87, N, Any, Cc15(25)), Row(87, C, Any, Assignment(87)), Row(87, H, Any, Zone(9, 0)),
    Row(88, N, Any, Cc16(31)), Row(88, MC, Any, Note(102)),
};

constexpr std::size_t kRowCount = sizeof kRows / sizeof kRows[0];

constexpr bool IsSilentCode(uint16_t code) {
  return code == 52 || code == 65 || code == 67 || code == 68 || code == 69 || code == 84;
}

constexpr bool IsPressOnly(uint16_t action) {
  return action == kActionShiftedNote || action == kActionModeCommand || action == kActionAssignment ||
         action == kActionEqBand;
}

constexpr bool IsWellFormedRow(const ButtonActionRow& row) {
  const bool knownAction = row.mAction == kActionNote || row.mAction == kActionShiftedNote ||
                           row.mAction == kActionHuiSwitch || row.mAction == kActionController16 ||
                           row.mAction == kActionController15 || row.mAction == kActionModeCommand ||
                           row.mAction == kActionModifier || row.mAction == kActionAssignment ||
                           row.mAction == kActionEqBand;
  return row.mCode >= 1 && row.mCode <= 88 && !IsSilentCode(row.mCode) && row.mProtocols != 0 &&
         (row.mProtocols & ~All) == 0 && knownAction &&
         row.mEvents == (IsPressOnly(row.mAction) ? uint8_t{kButtonPress} : kBoth);
}

// Two rows of one kind that could run for the same event send the same thing twice or clash.
constexpr bool Overlap(const ButtonActionRow& a, const ButtonActionRow& b) {
  return a.mCode == b.mCode && a.mAction == b.mAction && (a.mProtocols & b.mProtocols) != 0 &&
         (a.mEvents & b.mEvents) != 0 &&
         (a.mModifiers == b.mModifiers || a.mModifiers == Any || b.mModifiers == Any);
}

constexpr bool HasNoDuplicates() {
  for (std::size_t i = 0; i < kRowCount; ++i) {
    for (std::size_t j = i + 1; j < kRowCount; ++j) {
      if (Overlap(kRows[i], kRows[j])) return false;
    }
  }
  return true;
}

// Every button but the silent ones has its native controller, which no modifier changes.
constexpr bool HasNoGaps() {
  for (uint16_t code = 1; code <= 88; ++code) {
    bool native = false;
    for (const ButtonActionRow& row : kRows) {
      if (row.mCode == code && (row.mProtocols & N) != 0 && row.mModifiers == Any &&
          (row.mAction == kActionController15 || row.mAction == kActionController16)) {
        native = true;
      }
    }
    if (native == IsSilentCode(code)) return false;
  }
  return true;
}

constexpr bool AllRowsWellFormed() {
  for (const ButtonActionRow& row : kRows) {
    if (!IsWellFormedRow(row)) return false;
  }
  return true;
}

static_assert(AllRowsWellFormed());
static_assert(HasNoDuplicates());
static_assert(HasNoGaps());

constexpr auto kTable = [] {
  std::array<ButtonActionRow, kRowCount + 1> table{};
  for (std::size_t i = 0; i < kRowCount; ++i) table[i] = kRows[i];
  return table;
}();

}  // namespace

const ButtonActionRow* const kButtonActionTable = kTable.data();
