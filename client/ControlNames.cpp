#include "client/ControlNames.h"

#include <array>

namespace {

constexpr int kNoId = -1;

struct SharedControl {
  uint8_t kind;
  uint8_t id;
  const char* name;
};

constexpr SharedControl kFadersAndEncoders[] = {
    {kControlKindFader, 0x00, "Fader 1"},       {kControlKindFader, 0x01, "Fader 2"},
    {kControlKindFader, 0x02, "Fader 3"},       {kControlKindFader, 0x03, "Fader 4"},
    {kControlKindFader, 0x04, "Fader 5"},       {kControlKindFader, 0x05, "Fader 6"},
    {kControlKindFader, 0x06, "Fader 7"},       {kControlKindFader, 0x07, "Fader 8"},
    {kControlKindFader, 0x08, "Master Fader"},  {kControlKindEncoder, 0x00, "Encoder 1"},
    {kControlKindEncoder, 0x01, "Encoder 2"},   {kControlKindEncoder, 0x02, "Encoder 3"},
    {kControlKindEncoder, 0x03, "Encoder 4"},   {kControlKindEncoder, 0x04, "Encoder 5"},
    {kControlKindEncoder, 0x05, "Encoder 6"},   {kControlKindEncoder, 0x06, "Encoder 7"},
    {kControlKindEncoder, 0x07, "Encoder 8"},   {kControlKindEncoder, 0x08, "Gain Encoder"},
    {kControlKindEncoder, 0x09, "Freq Encoder"}, {kControlKindEncoder, 0x0A, "Q Encoder"},
    {kControlKindEncoder, 0x0B, "Data Wheel"},
};

// Buttons: the id on revised units, the id on original units (kNoId: the control is not there).
struct Button {
  const char* name;
  int revised;
  int original;
};

constexpr Button kButtons[] = {
    {"Select 1", 0x20, 0x30},     {"Select 2", 0x21, 0x31},      {"Select 3", 0x22, 0x32},
    {"Select 4", 0x23, 0x33},     {"Select 5", 0x24, 0x34},      {"Select 6", 0x25, 0x35},
    {"Select 7", 0x26, 0x36},     {"Select 8", 0x27, 0x37},      {"Solo 1", 0x30, 0x50},
    {"Solo 2", 0x31, 0x51},       {"Solo 3", 0x32, 0x52},        {"Solo 4", 0x33, 0x53},
    {"Solo 5", 0x34, 0x54},       {"Solo 6", 0x35, 0x55},        {"Solo 7", 0x36, 0x56},
    {"Solo 8", 0x37, 0x57},       {"Mute 1", 0x40, 0x40},        {"Mute 2", 0x41, 0x41},
    {"Mute 3", 0x42, 0x42},       {"Mute 4", 0x43, 0x43},        {"Mute 5", 0x44, 0x44},
    {"Mute 6", 0x45, 0x45},       {"Mute 7", 0x46, 0x46},        {"Mute 8", 0x47, 0x47},
    {"Flip", 0x60, 0xD2},         {"Aux 1", 0x61, 0xD4},         {"Aux 3", 0x62, 0xD6},
    {"Pan", 0x63, 0xD0},          {"Aux 2", 0x64, 0xD5},         {"Aux 4", 0x65, 0xD7},
    {"Save/F1", 0x71, 0xC4},      {"All Safe/F3", 0x72, 0xC2},   {"Marker/F5", 0x73, 0xC0},
    {"Cut", 0x74, 0xB6},          {"Copy", 0x75, 0xB4},          {"Alt/Cmd", 0x76, 0xB2},
    {"Shift", 0x77, 0xB0},        {"Revert/F2", 0x80, 0xC5},     {"Clr Solo/F4", 0x81, 0xC3},
    {"Loop/F6", 0x82, 0xC1},      {"Del", 0x83, 0xB7},           {"Paste", 0x84, 0xB5},
    {"Undo", 0x85, 0xB3},         {"Ctrl", 0x86, 0xB1},          {"F7", 0xC0, 0x80},
    {"F8", 0xC1, 0x81},           {"F9", 0xC2, 0x82},            {"F10", 0xC3, 0x83},
    {"Read", 0xC4, 0x84},         {"Write", 0xC5, 0x85},         {"Touch", 0xC6, 0x86},
    {"Latch", 0xC7, 0x87},        {"High", 0xD0, 0xA0},          {"Hi-Mid", 0xD1, 0xA1},
    {"Lo-Mid", 0xD2, 0xA2},       {"Low", 0xD3, 0xA3},           {"Up", 0xD4, 0x96},
    {"Left", 0xD5, 0x94},         {"Down", 0xD6, 0x97},          {"Right", 0xD7, 0x95},
    {"Record Shift", 0xE0, 0xA6}, {"Nudge Left", 0xE1, 0x76},    {"Nudge Right", 0xE2, 0x77},
    {"Locate Left", 0xE5, 0x70},  {"Locate Right", 0xE6, 0x71},  {"Set", 0xF0, 0x72},
    {"In", 0xF1, 0x73},           {"Out", 0xF2, 0x74},           {"Rewind", 0xF3, 0x60},
    {"Fast Forward", 0xF4, 0x61}, {"Stop", 0xF5, 0x62},          {"Play", 0xF6, 0x63},
    {"Record", 0xF7, 0x64},       {"Footswitch", 0x87, 0xA4},    {"Aux 5", 0x50, 0xD1},
    // The surface emulator's layout has Aux 6 and Aux 7 of revised units this way round.
    {"Aux 6", 0x52, 0x75},        {"Aux 7", 0x51, 0xA7},         {"Aux 8", 0x53, 0x65},
    {"Shuttle", 0xE7, kNoId},
};

constexpr size_t kSharedRows = std::size(kFadersAndEncoders);

constexpr size_t ButtonRows(bool revised) {
  size_t n = 0;
  for (const Button& b : kButtons)
    if ((revised ? b.revised : b.original) != kNoId) ++n;
  return n;
}

template <bool kRevised>
constexpr auto BuildTable() {
  std::array<ControlNameRow, kSharedRows + ButtonRows(kRevised) + 1> rows{};
  size_t i = 0;
  for (const SharedControl& c : kFadersAndEncoders) rows[i++] = {c.kind, c.id, c.name};
  for (const Button& b : kButtons) {
    int id = kRevised ? b.revised : b.original;
    if (id != kNoId) rows[i++] = {kControlKindButton, static_cast<uint8_t>(id), b.name};
  }
  rows[i] = {kControlKindNone, 0, nullptr};
  return rows;
}

constexpr auto kRevisedUnits = BuildTable<true>();
constexpr auto kOriginalUnits = BuildTable<false>();
static_assert(kRevisedUnits.size() == 101 && kOriginalUnits.size() == 100);

}  // namespace

std::span<const ControlNameRow> ControlNamesOfRevisedUnits() { return kRevisedUnits; }
std::span<const ControlNameRow> ControlNamesOfOriginalUnits() { return kOriginalUnits; }

const char* FindControlName(std::span<const ControlNameRow> table, uint8_t kind, uint8_t id) {
  for (const ControlNameRow& row : table) {
    if (row.name == nullptr) break;
    if (row.kind == kind && row.id == id) return row.name;
  }
  return nullptr;
}
