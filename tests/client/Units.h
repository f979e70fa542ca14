// Units as the scripted driver answers for them: the blocks a unit of each kind reports, and
// replies built from them.
#pragma once

#include <cstring>
#include <string>

#include "tests/client/ClientMachine.h"
#include "unit/ControlRequests.h"
#include "unit/LcdTextBlock.h"
#include "unit/PreferencesBlock.h"
#include "unit/SharedStateBlock.h"
#include "unit/UnitNameRecord.h"

namespace ctest {

inline scripted::Reply Answer(uint32_t request, const void* data, uint32_t size, uint32_t information = ~0u,
                              int32_t status = 0) {
  scripted::Reply r{};
  r.request = request;
  r.scripted = 1;
  r.status = status;
  r.information = information == ~0u ? size : information;
  r.size = size;
  if (size != 0) std::memcpy(r.data, data, size);
  return r;
}

inline scripted::Reply Word(uint32_t request, uint32_t value) { return Answer(request, &value, sizeof value); }

inline SharedStateBlock SharedState(uint8_t kind, uint32_t serial) {
  SharedStateBlock s{};
  s.mMagic = PreferencesBlock::kMagic;
  s.mVersion = PreferencesBlock::kVersion;
  s.mReserved32 = SharedStateBlock::kReservedConstant;
  s.mUnitKind = kind;
  s.mSerial = serial;
  return s;
}

inline UnitNameRecord Record(uint32_t serial, const std::string& name) {
  UnitNameRecord r{};
  r.mSerial = serial;
  std::memcpy(r.mName, name.data(), name.size() < sizeof r.mName ? name.size() : sizeof r.mName);
  return r;
}

// What a unit answers: its blocks and counters, sent to the driver whole.
struct UnitBlocks {
  PreferencesBlock preferences = PreferencesBlock::Defaults();
  SharedStateBlock shared{};
  uint32_t changeCount = 1;
  uint32_t listCount = 1;
  UnitNameRecord records[16] = {};

  void Install(Machine& m, Machine::Unit unit) const {
    m.SetReply(unit, Answer(2, &preferences, sizeof preferences));
    m.SetReply(unit, Answer(3, &shared, sizeof shared));
    m.SetReply(unit, Word(1, changeCount));
    m.SetReply(unit, Word(17, listCount));
    m.SetReply(unit, Answer(18, records, sizeof records));
  }
};

inline constexpr uint8_t kMain = 1;
inline constexpr uint8_t kKr6 = 2;

// Plugs a unit of `kind` with `serial` and the default settings.
inline Machine::Unit PlugUnit(Machine& m, uint8_t kind, uint32_t serial, UnitBlocks* blocks = nullptr) {
  Machine::Unit unit = m.Plug();
  UnitBlocks b;
  b.shared = SharedState(kind, serial);
  b.records[0] = Record(serial, "KR-6 " + std::to_string(serial));
  b.Install(m, unit);
  if (blocks != nullptr) *blocks = b;
  return unit;
}

// The requests of a unit's log with this number.
inline std::vector<scripted::LogEntry> Requests(Machine& m, Machine::Unit unit, uint32_t request) {
  std::vector<scripted::LogEntry> found;
  for (const scripted::LogEntry& e : m.Log(unit))
    if (e.request == request) found.push_back(e);
  return found;
}

inline uint32_t LoggedWord(const scripted::LogEntry& e, size_t index) {
  uint32_t w;
  std::memcpy(&w, e.input + 4 * index, sizeof w);
  return w;
}

}  // namespace ctest
