// The host's settings and views of the units, through the driver client library in a program of
// its own: each call runs one program that opens every unit the library finds, does its work
// through the library's requests, and ends. What it learns comes back as plain records.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "unit/PreferencesBlock.h"
#include "unit/SharedStateBlock.h"

namespace ClientHost {

// Unit kinds of the shared state.
inline constexpr uint8_t kMainUnit = 1;
inline constexpr uint8_t kExpansionUnit = 2;

struct UnitView {
  SharedStateBlock state{};
  bool preferencesRead = false;
  PreferencesBlock preferences{};  // the settings the driver stored for the unit
  int expansionSlot = -1;  // the library's slot of a KR-6; -1 for the main unit
  std::string name;        // from the unit records, or empty
  bool displayRead = false;
  std::string display[2];  // the two lines of its display, trailing blanks cut
};

// Every unit the library holds, the main unit first, then the KR-6 units in slot order.
std::vector<UnitView> Look();
// A setting through the main unit (or the first unit held); false when the library failed it.
bool SetParameter(uint32_t parameterId, uint32_t value);
// The stream mask of every KR-6 held (the main unit's streams are its clients' to start).
bool SetExpansionStreamMasks(uint32_t mask);

// What each unit's debug log says its writers dropped, read to its end: the last count of each
// kind of item the log names ("lamps", "MIDI-out events", ...), in the order of Look().
struct WriterDrops {
  uint32_t serial = 0;
  uint8_t unitKind = 0;
  std::map<std::string, uint32_t> dropped;
};
std::vector<WriterDrops> ReadWriterDrops();

}  // namespace ClientHost
