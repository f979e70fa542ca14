// What the poll brings, as the pages show it: each notification the sheet takes, after a setting or
// the unit's state changed; an inactive page kept as it was until it is shown; the unit's panel
// button and programming mode bringing the panel up.
#include <windows.h>

#include <optional>

#include "tests/panel/PanelTest.h"

namespace {

using ctest::UnitBlocks;
using ptest::kPanelCaption;
using ptest::PanelOnUnits;
using ptest::Process;
namespace input = plat::win32::input;

using Notifications = PanelOnUnits;

enum Page : size_t { kSettings, kRouting, kMidiProg, kQuickStart, kKr6 };

struct Shown {
  int id;
  std::optional<std::string> text;
  int64_t check = -1;
  int64_t position = -1;
};

struct Case {
  const char* name;
  Page page;
  std::vector<std::function<void(UnitBlocks&)>> edits;  // one poll after each
  std::vector<Shown> shown;
};

std::function<void(UnitBlocks&)> Prefs(uint32_t PreferencesBlock::*field, uint32_t value) {
  return [field, value](UnitBlocks& b) { b.preferences.*field = value; };
}

template <class T>
std::function<void(UnitBlocks&)> Shared(T SharedStateBlock::*field, T value) {
  return [field, value](UnitBlocks& b) { b.shared.*field = value; };
}

const Case kCases[] = {
    {"clock source ADAT", kSettings, {Prefs(&PreferencesBlock::mClockSource, 4)}, {{1020, "Digital In ADAT"}}},
    {"clock source word clock", kSettings, {Prefs(&PreferencesBlock::mClockSource, 2)}, {{1020, "Word Clock"}}},
    {"clock source unknown", kSettings, {Prefs(&PreferencesBlock::mClockSource, 9)}, {{1020, "Internal"}}},
    {"sample rate 96000", kSettings, {Prefs(&PreferencesBlock::mSampleRate, 96000)}, {{1018, "96.0 kHz"}}},
    {"sample rate 32000 keeps the selection",
     kSettings,
     {Prefs(&PreferencesBlock::mSampleRate, 88200), Prefs(&PreferencesBlock::mSampleRate, 32000)},
     {{1018, "88.2 kHz"}}},
    {"protocol Mackie", kSettings, {Prefs(&PreferencesBlock::mControlProtocol, 2)}, {{1017, "Mackie Control Emulation"}}},
    {"protocol HUI", kSettings, {Prefs(&PreferencesBlock::mControlProtocol, 3)}, {{1017, "HUI Emulation"}}},
    {"protocol Cubase LE", kSettings, {Prefs(&PreferencesBlock::mControlProtocol, 4)}, {{1017, "Cubase LE"}}},
    {"protocol Cubase SX", kSettings, {Prefs(&PreferencesBlock::mControlProtocol, 5)}, {{1017, "Cubase SX / Nuendo"}}},
    {"protocol native", kSettings, {Prefs(&PreferencesBlock::mControlProtocol, 1)}, {{1017, "QX-5310 Native"}}},
    {"monitoring 1:8", kSettings, {Prefs(&PreferencesBlock::mMonitorMode, 3)},
     {{1019, "Monitor Level Affects Analog 1:8"}}},
    {"latency 32", kSettings, {Prefs(&PreferencesBlock::mBufferSizeIndex, 1)}, {{1342, {}, -1, 0}}},
    {"latency 2048", kSettings, {Prefs(&PreferencesBlock::mBufferSizeIndex, 7)}, {{1342, {}, -1, 6}}},
    {"latency out of range", kSettings,
     {Prefs(&PreferencesBlock::mBufferSizeIndex, 3), Prefs(&PreferencesBlock::mBufferSizeIndex, 9)},
     {{1342, {}, -1, 6}}},
    {"master fader gain on", kSettings, {Prefs(&PreferencesBlock::mMasterFader, 2)}, {{1002, {}, BST_CHECKED}}},
    {"master fader gain off", kSettings,
     {Prefs(&PreferencesBlock::mMasterFader, 2), Prefs(&PreferencesBlock::mMasterFader, 1)},
     {{1002, {}, BST_UNCHECKED}}},
    {"OVR threshold -3.0", kSettings, {Prefs(&PreferencesBlock::mOvrThreshold, 30)}, {{1031, "-3.0"}, {1029, {}, -1, 6}}},
    {"OVR threshold -0.0", kSettings, {Prefs(&PreferencesBlock::mOvrThreshold, 0)}, {{1031, "-0.0"}, {1029, {}, -1, 0}}},
    {"converter delay", kSettings, {Prefs(&PreferencesBlock::mConverterDelay, 9)}, {{1392, {}, BST_CHECKED}}},
    {"input in sync", kSettings, {Shared<uint8_t>(&SharedStateBlock::mInputLocked, 1)}, {{1385, "In Sync"}}},
    {"input out of sync", kSettings,
     {Shared<uint8_t>(&SharedStateBlock::mInputLocked, 1), Shared<uint8_t>(&SharedStateBlock::mInputLocked, 0)},
     {{1385, ""}}},
    {"versions", kSettings,
     {[](UnitBlocks& b) {
       b.shared.mRegisterVersion = 0x00030005;
       b.shared.mHardwareVersion = 0x00070000;
       b.shared.mArmVersion = 0x0102;
       b.shared.mFpgaVersion = 0x0304;
     }},
     {{1357, "Register: 5"}, {1359, "Hardware: 7"}, {1358, "ARM: 2"}, {1360, "FPGA: 4"}}},
    {"SPDIF input optical", kRouting, {Prefs(&PreferencesBlock::mSpdifInSource, 2)}, {{1347, "Optical to SPDIF 1:2"}}},
    {"coax output analog", kRouting, {Prefs(&PreferencesBlock::mCoaxOutSource, 2)}, {{1348, "Duplicate of ANLG 1:2"}}},
    {"optical output coax copy", kRouting, {Prefs(&PreferencesBlock::mOpticalOutSource, 4)},
     {{1349, "Duplicate of Coax Output (TOS)"}}},
    {"optical output analog inputs", kRouting, {Prefs(&PreferencesBlock::mOpticalOutSource, 3)},
     {{1349, "Analog Inputs 1:8"}}},
    {"optical output analog outputs", kRouting, {Prefs(&PreferencesBlock::mOpticalOutSource, 2)},
     {{1349, "Analog Outputs 1:8"}}},
    {"continuous inputs", kQuickStart, {Prefs(&PreferencesBlock::mContinuousInputs, 0x30001)},
     {{1200, {}, BST_CHECKED}, {1201, {}, BST_UNCHECKED}, {1208, {}, BST_CHECKED}}},
    {"continuous outputs", kQuickStart, {Prefs(&PreferencesBlock::mContinuousOutputs, 0x20004)},
     {{1209, {}, BST_UNCHECKED}, {1210, {}, BST_CHECKED}, {1217, {}, BST_CHECKED}}},
    {"unit records", kKr6,
     {[](UnitBlocks& b) {
       b.records[1] = ctest::Record(12, "Wing");
       ++b.listCount;
     }},
     {{1100, "KR-6 7"}, {1101, "Wing"}, {1102, ""}}},
};

TEST_F(Notifications, EachNotificationShowsInItsPagesControls) {
  ctest::Machine::Unit main = PlugMain();
  StartPanel();
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    ShowPage(c.page);
    ASSERT_EQ(Sheet().page, ptest::kPages[c.page]);
    for (const auto& edit : c.edits) {
      Change(main, edit);
      Tick();
    }
    for (const Shown& s : c.shown) {
      SCOPED_TRACE("control " + std::to_string(s.id));
      const ptest::ControlState state = Control(c.page, s.id);
      ASSERT_TRUE(state.found);
      if (s.text) {
        EXPECT_EQ(state.text, *s.text);
      }
      if (s.check >= 0) {
        EXPECT_EQ(state.check, s.check);
      }
      if (s.position >= 0) {
        EXPECT_EQ(state.position, s.position);
      }
    }
  }
}

TEST_F(Notifications, AnInactivePagesControlsChangeOnlyWhenItIsShown) {
  ctest::Machine::Unit main = PlugMain();
  StartPanel();
  ShowPage(kRouting);
  ShowPage(kSettings);
  Change(main, Prefs(&PreferencesBlock::mSpdifInSource, 2));
  Tick();
  EXPECT_EQ(Control(kRouting, 1347).text, "Coax to SPDIF 1:2");
  ShowPage(kRouting);
  EXPECT_EQ(Control(kRouting, 1347).text, "Optical to SPDIF 1:2");
}

TEST_F(Notifications, AProgrammingWordChangeShowsAHiddenPanelOnTheMidiProgrammingPage) {
  ctest::Machine::Unit main = PlugMain();
  StartPanel("H");
  EXPECT_FALSE(Sheet().visible);
  Change(main, Shared<uint32_t>(&SharedStateBlock::mProgrammingWord, 0x01002080));
  Tick();
  const ptest::SheetState sheet = Sheet();
  EXPECT_TRUE(sheet.visible);
  EXPECT_EQ(sheet.page, "MIDI Programming");
}

TEST_F(Notifications, TheUnitsPanelButtonTogglesThePanelThroughItsThreeStates) {
  ctest::Machine::Unit main = PlugMain();
  StartPanel();
  uint8_t presses = 0;
  auto press = [&] {
    Change(main, Shared<uint8_t>(&SharedStateBlock::mPanelRequest, ++presses));
    Tick();
  };
  ASSERT_TRUE(Sheet().foreground);
  press();  // shown and in front: hidden
  EXPECT_FALSE(Sheet().visible);
  press();  // hidden: shown in front
  EXPECT_TRUE(Sheet().visible);
  EXPECT_TRUE(Sheet().foreground);
  ptest::OtherProgram other(m_.Run());
  other.OpenWindows(false);
  ASSERT_FALSE(Sheet().foreground);
  press();  // shown behind another window: in front
  EXPECT_TRUE(Sheet().visible);
  EXPECT_TRUE(Sheet().foreground);
}

TEST_F(Notifications, ThePanelButtonRestoresAMinimisedPanelToItsSizeNotMaximised) {
  ctest::Machine::Unit main = PlugMain();
  StartPanel();
  const ptest::ScreenRect before = ptest::RectOf(ptest::TopLevelLines(kPanelCaption).at(0));
  // Another program's window takes the activation the minimised panel gives up.
  ptest::OtherProgram other(m_.Run());
  other.OpenWindows(false);
  input::Click(input::Target(kPanelCaption));
  ASSERT_TRUE(Sheet().foreground);
  spy_->Minimise();
  ASSERT_TRUE(Sheet().iconic);
  ASSERT_FALSE(Sheet().foreground);
  Change(main, Shared<uint8_t>(&SharedStateBlock::mPanelRequest, 1));
  Tick();
  const ptest::SheetState sheet = Sheet();
  EXPECT_FALSE(sheet.iconic);
  EXPECT_FALSE(sheet.zoomed);
  EXPECT_TRUE(sheet.visible);
  EXPECT_TRUE(sheet.foreground);
  EXPECT_EQ(ptest::RectOf(ptest::TopLevelLines(kPanelCaption).at(0)), before);
}

}  // namespace
