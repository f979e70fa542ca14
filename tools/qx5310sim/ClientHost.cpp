#include "tools/qx5310sim/ClientHost.h"

#include <cstring>
#include <sstream>

#include "client/QX531WinDriverInterface.h"
#include "tools/qx5310sim/HostProcess.h"

namespace {

constexpr uint32_t kDisplayBytes = 110;  // two lines of 55 characters
constexpr uint32_t kDisplayLine = 55;
constexpr uint32_t kLogChunk = 200;
constexpr char kWriterLabel[] = "QX5310DeviceWriter ";
constexpr char kDroppedWord[] = " dropped";

// The library opened on every unit it finds, with the handles a program needs to reach each one.
class HostLibrary : public QX531WinDriverInterface {
 public:
  HostLibrary() { EnumerateDevices(kQX531InterfaceClass); }
  ~HostLibrary() override { CloseAll(); }

  struct Held {
    DeviceHandle handle;
    int slot;
    SharedStateBlock state;
  };
  // The main unit first, then the KR-6 units in slot order.
  std::vector<Held> Units() {
    std::vector<Held> units;
    if (mMainHandle != kNoDevice) units.push_back({mMainHandle, -1, mSharedState});
    for (uint32_t slot = 0; slot < kMaxExpansionUnits; ++slot)
      if (mKR6HandleList[slot] != kNoDevice)
        units.push_back({mKR6HandleList[slot], static_cast<int>(slot), mKR6SharedState[slot]});
    return units;
  }
};

std::string Trimmed(const char* text, size_t length) {
  std::string line(text, length);
  for (char& c : line)
    if (c < 0x20 || c > 0x7E) c = ' ';
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

// A whole debug log, read request by request until the driver has nothing more.
std::string ReadLog(HostLibrary& library, DeviceHandle handle) {
  std::string log;
  char chunk[kLogChunk];
  for (;;) {
    uint32_t returned = 0;
    if (library.IoctlOf(handle, 0, chunk, 0, sizeof chunk, &returned) != kQX531Success || returned == 0) break;
    log.append(chunk, std::min<uint32_t>(returned, sizeof chunk));
  }
  return log;
}

}  // namespace

namespace ClientHost {

std::vector<UnitView> Look() {
  std::vector<UnitView> views;
  RunHostProgram("qx5310host.exe", [&]() -> uint32_t {
    HostLibrary library;
    UnitNameRecord records[kUnitRecordCount] = {};
    const bool haveRecords = library.CurrentHandle() != kNoDevice &&
                             library.GetUnitRecords(library.CurrentHandle(), records) == kQX531Success;
    for (const HostLibrary::Held& held : library.Units()) {
      UnitView view;
      view.expansionSlot = held.slot;
      library.GetSharedStateOf(held.handle, &view.state);
      view.preferencesRead = library.GetPreferencesOf(held.handle, &view.preferences) == kQX531Success;
      for (const UnitNameRecord& r : records)
        if (haveRecords && r.mSerial == view.state.mSerial && view.state.mUnitKind == kUnitKindExpansion)
          view.name.assign(r.mName, strnlen(r.mName, sizeof r.mName));
      char text[kDisplayBytes] = {};
      uint32_t returned = 0;
      if (library.IoctlOf(held.handle, 24, text, 0, sizeof text, &returned) == kQX531Success && returned >= sizeof text) {
        view.displayRead = true;
        view.display[0] = Trimmed(text, kDisplayLine);
        view.display[1] = Trimmed(text + kDisplayLine, kDisplayLine);
      }
      views.push_back(view);
    }
    return 0;
  });
  return views;
}

bool SetParameter(uint32_t parameterId, uint32_t value) {
  return RunHostProgram("qx5310host.exe", [&]() -> uint32_t {
           HostLibrary library;
           return library.SetParameter(parameterId, value) == kQX531Success ? 0 : 1;
         }) == 0;
}

bool SetExpansionStreamMasks(uint32_t mask) {
  return RunHostProgram("qx5310host.exe", [&]() -> uint32_t {
           HostLibrary library;
           uint32_t failed = 0;
           for (const HostLibrary::Held& held : library.Units())
             if (held.slot >= 0 && library.SetStreamMaskOf(held.handle, mask) != kQX531Success) ++failed;
           return failed;
         }) == 0;
}

std::vector<WriterDrops> ReadWriterDrops() {
  std::vector<WriterDrops> drops;
  RunHostProgram("qx5310host.exe", [&]() -> uint32_t {
    HostLibrary library;
    for (const HostLibrary::Held& held : library.Units()) {
      WriterDrops unit;
      unit.serial = held.state.mSerial;
      unit.unitKind = held.state.mUnitKind;
      std::istringstream log(ReadLog(library, held.handle));
      for (std::string line; std::getline(log, line);) {
        if (line.rfind(kWriterLabel, 0) != 0) continue;
        const size_t at = line.find(kDroppedWord);
        if (at == std::string::npos) continue;
        const std::string what = line.substr(sizeof kWriterLabel - 1, at - (sizeof kWriterLabel - 1));
        unit.dropped[what] = static_cast<uint32_t>(std::strtoul(line.c_str() + at + sizeof kDroppedWord - 1, nullptr, 10));
      }
      drops.push_back(unit);
    }
    return 0;
  });
  return drops;
}

}  // namespace ClientHost
