// Units coming and going while the panel runs: which pages are told their unit is there, the
// version labels, a second main unit that is not taken, removals whose path the broker spells in
// another letter case.
#include <windows.h>

#include <ostream>

#include "platform/win32/DeviceBroker.h"
#include "tests/panel/PanelTest.h"

namespace {

using ptest::PanelOnUnits;
using ptest::Process;

using Devices = PanelOnUnits;

enum Page : size_t { kSettings, kRouting, kMidiProg, kQuickStart, kKr6 };

// Which controls of each page take input: what each page made of being told its unit is there.
struct Presence {
  bool settingsAll;  // the Settings page's unit-wide controls
  bool protocol;     // its control-protocol combo
  bool routing;      // the Routing page's combos
  bool quickStart;   // the Quick Start page's boxes
  bool names;        // the KR-6 page's first name edit
  std::string registerLabel;
  bool operator==(const Presence&) const = default;
};

void PrintTo(const Presence& p, std::ostream* out) {
  *out << "settings " << p.settingsAll << " protocol " << p.protocol << " routing " << p.routing << " quick start "
       << p.quickStart << " names " << p.names << " \"" << p.registerLabel << "\"";
}

TEST_F(Devices, ArrivalAndRemovalTellEachPageWhetherItsUnitIsThere) {
  struct Case {
    const char* name;
    bool mainAtStart, kr6AtStart;
    bool plugKr6, unplugMain, plugMain;
    Presence expect;
  } cases[] = {
      {"main unit alone", true, false, false, false, false, {true, true, true, true, false, "Register: 3"}},
      {"expansion unit alone", false, true, false, false, false, {false, true, false, false, true, "Register:"}},
      {"expansion unit arriving beside the main unit", true, false, true, false, false,
       {true, true, true, true, true, "Register: 3"}},
      {"main unit leaving the expansion unit", true, true, false, true, false,
       {false, true, false, false, true, "Register:"}},
      {"main unit arriving after the expansion unit", false, true, false, false, true,
       {true, true, true, true, true, "Register: 3"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ctest::Machine::Unit main = nullptr;
    auto plugMain = [&] {
      main = PlugMain();
      Change(main, [](ctest::UnitBlocks& b) { b.shared.mRegisterVersion = 3; });
    };
    if (c.mainAtStart) plugMain();
    ctest::Machine::Unit kr6 = c.kr6AtStart ? PlugKr6(21) : nullptr;
    Process& panel = StartPanel();
    for (size_t page : {kSettings, kRouting, kQuickStart, kKr6}) ShowPage(page);
    if (c.plugKr6) kr6 = PlugKr6(21);
    if (c.unplugMain) Unplug(main);
    if (c.plugMain) plugMain();
    Tick();
    Tick();
    auto enabled = [&](size_t page, std::initializer_list<int> ids) {
      bool all = true;
      for (int id : ids) all = all && Control(page, id).enabled;
      return all;
    };
    const Presence shown{enabled(kSettings, {1018, 1020, 1019, 1342, 1031, 1392, 1002}),
                         enabled(kSettings, {1017}),
                         enabled(kRouting, {1347, 1348, 1349}),
                         enabled(kQuickStart, {1200, 1208, 1209, 1217}),
                         enabled(kKr6, {1100}),
                         Control(kSettings, 1357).text};
    EXPECT_EQ(shown, c.expect);
    EndPanel(panel);
    for (ctest::Machine::Unit unit : {main, kr6})
      if (unit != nullptr && (unit != main || !c.unplugMain)) Unplug(unit);
  }
}

TEST_F(Devices, ASecondMainUnitIsNotTakenAndItsHandleIsClosed) {
  PlugMain(7);
  StartPanel();
  ctest::Machine::Unit second = PlugMain(8);
  Tick();
  const scripted::State state = m_.State(second);
  EXPECT_EQ(state.opens, state.closes);
  EXPECT_EQ(Control(kSettings, 1017).enabled, true);
}

TEST_F(Devices, ARemovalIsFoundWhateverLetterCaseTheBrokerSpellsItsPathIn) {
  using PathCase = plat::win32::DeviceBroker::PathCase;
  for (PathCase pathCase : {PathCase::AsIs, PathCase::Upper, PathCase::Lower}) {
    SCOPED_TRACE(static_cast<int>(pathCase));
    ctest::Machine::Unit main = PlugMain();
    PlugKr6(21);
    Process& panel = StartPanel();
    plat::win32::Broker().SetPathCase(pathCase);
    Unplug(main);
    Tick();
    EXPECT_FALSE(Control(kSettings, 1018).enabled);
    EXPECT_NE(panel.DebugOutput().find("+++ needUpdate: qx5310s = 0, kr6s = 1\n"), std::string::npos);
    EndPanel(panel);
    plat::win32::Broker().SetPathCase(PathCase::AsIs);
    for (auto& [unit, blocks] : std::vector(units_)) Unplug(unit);
  }
}

}  // namespace
