// The Settings page as a person uses it: each control sends its one parameter, the values the unit
// reports select the controls, the controls follow which units are open, and the logo is drawn
// through its mask.
#include <windows.h>

#include <commctrl.h>

#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "panel/resource.h"
#include "platform/win32/Snapshot.h"
#include "tests/panel/PanelTest.h"

namespace {

using ptest::ControlState;
using ptest::kPanelCaption;
using ptest::PanelOnUnits;
namespace input = plat::win32::input;
namespace picture = plat::win32::picture;

// A parameter id and the value sent with it.
using Send = std::pair<uint32_t, uint32_t>;
using Sends = std::vector<Send>;

constexpr size_t kSettings = 0;

size_t Depth(const std::string& line) { return line.find_first_not_of(' ') / 2; }

// The window dump's line of the panel's direct child with this id, or with this text.
std::string SheetChild(const std::string& wanted) {
  std::istringstream dump(input::DumpWindows());
  bool inPanel = false;
  for (std::string line; std::getline(dump, line);) {
    if (Depth(line) == 0) inPanel = line.find(std::string("\"") + kPanelCaption + "\"") != std::string::npos;
    if (inPanel && Depth(line) == 1 && line.find(wanted) != std::string::npos) return line;
  }
  return {};
}
std::string SheetChild(int id) { return SheetChild(" id=" + std::to_string(id) + " "); }

// What the page last painted, one operation a line.
std::vector<std::string> PaintOf(const std::string& page) {
  std::vector<std::string> ops;
  std::istringstream dump(picture::DumpDrawing());
  bool inPanel = false, inPage = false, inPaint = false;
  for (std::string line; std::getline(dump, line);) {
    const bool window = line.find(" id=") != std::string::npos && line.find('[') != std::string::npos;
    if (window && Depth(line) == 0) inPanel = line.find(std::string("\"") + kPanelCaption + "\"") != std::string::npos;
    if (window) {
      inPage = inPanel && Depth(line) == 1 && line.find("\"" + page + "\"") != std::string::npos;
      inPaint = false;
      continue;
    }
    if (!inPage) continue;
    if (line.find_first_not_of(' ') == 4) {
      inPaint = line == "    paint:";
    } else if (inPaint) {
      ops.push_back(line.substr(6));
    }
  }
  return ops;
}

std::vector<std::string> Matching(const std::vector<std::string>& lines, const std::string& prefix) {
  std::vector<std::string> found;
  for (const std::string& line : lines)
    if (line.rfind(prefix, 0) == 0) found.push_back(line);
  return found;
}

class SettingsPage : public PanelOnUnits {
 protected:
  void StartOnMain() {
    main_ = PlugMain();
    StartPanel();
  }
  static input::Target On(int id) { return input::Target(kPanelCaption, "Settings", {id}); }
  ControlState Shown(int id) { return Control(kSettings, id); }
  // The settings sent to a unit since its log was last cleared.
  Sends Sent(ctest::Machine::Unit unit) {
    Sends sent;
    for (const scripted::LogEntry& e : ctest::Requests(m_, unit, 11))
      sent.emplace_back(ctest::LoggedWord(e, 2), ctest::LoggedWord(e, 3));
    return sent;
  }
  // Presses `vk` with the focus where it is, and answers what it sent.
  Sends SentByKey(uint16_t vk) {
    m_.ClearLog(main_);
    input::Key(input::Target(kPanelCaption), vk);
    return Sent(main_);
  }
  Sends SentByClick(const input::Target& target, std::optional<input::Point> at = {}) {
    m_.ClearLog(main_);
    input::Click(target, at);
    return Sent(main_);
  }
  ptest::ScreenRect RectOn(int id) { return ptest::RectOf(ptest::ControlLine("Settings", id)); }

  ctest::Machine::Unit main_ = nullptr;
};

TEST_F(SettingsPage, EachListSendsTheValueOfEveryEntryInTheListsOrder) {
  struct Case {
    int id;
    uint32_t parameter;
    std::vector<std::string> entries;
    std::vector<uint32_t> values;
  };
  const Case cases[] = {
      {IDC_SAMPLE_RATE, 12, {"44.1 kHz", "48.0 kHz", "88.2 kHz", "96.0 kHz"}, {44100, 48000, 88200, 96000}},
      {IDC_CLOCK_SOURCE, 8, {"Internal", "Digital In ADAT", "Digital In SPDIF", "Word Clock"}, {1, 4, 3, 2}},
      {IDC_PROTOCOL,
       60,
       {"QX-5310 Native", "Cubase LE", "Cubase SX / Nuendo", "Mackie Control Emulation", "HUI Emulation"},
       {1, 4, 5, 2, 3}},
      {IDC_MONITORING,
       16,
       {"Monitor Level Affects Analog 1:2", "Monitor Level Affects Analog 1:6", "Monitor Level Affects Analog 1:8"},
       {1, 2, 3}},
  };
  StartOnMain();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    input::Click(On(c.id));
    const size_t last = c.entries.size() - 1;
    EXPECT_EQ(SentByKey(VK_END), (Sends{{c.parameter, c.values[last]}}));
    EXPECT_EQ(Shown(c.id).text, c.entries[last]);
    EXPECT_EQ(SentByKey(VK_HOME), (Sends{{c.parameter, c.values[0]}}));
    EXPECT_EQ(Shown(c.id).text, c.entries[0]);
    for (size_t i = 1; i <= last; ++i) {
      EXPECT_EQ(SentByKey(VK_DOWN), (Sends{{c.parameter, c.values[i]}})) << i;
      EXPECT_EQ(Shown(c.id).text, c.entries[i]);
    }
    EXPECT_EQ(SentByKey(VK_RETURN), Sends{}) << "closing the list";
  }
}

TEST_F(SettingsPage, EachCheckBoxSendsItsStateAndOnlyCheckingTheConverterDelayAsksFirst) {
  StartOnMain();
  EXPECT_EQ(SentByClick(On(IDC_MASTER_FADER_GAIN)), (Sends{{40, 2}}));
  EXPECT_EQ(SentByClick(On(IDC_MASTER_FADER_GAIN)), (Sends{{40, 1}}));

  struct Case {
    bool checking;
    Sends whileAsking;
    Sends sent;
  };
  const Case cases[] = {{true, {}, {{1164, 1}}}, {false, {}, {{1164, 0}}}, {true, {}, {{1164, 1}}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.checking);
    const Sends before = SentByClick(On(IDC_CONVERTER_DELAY));
    const std::string asked = spy_->MessageBoxText("Caution!");
    if (c.checking) {
      EXPECT_EQ(before, c.whileAsking);
      EXPECT_EQ(asked,
                "If you're using SONAR, you must set the number of buffers\n to 3 or greater when this switch is "
                "enabled.");
      input::Click(input::Target("Caution!", "", {IDOK}));
      EXPECT_EQ(Sent(main_), c.sent);
    } else {
      EXPECT_EQ(asked, "");
      EXPECT_EQ(before, c.sent);
    }
  }
}

TEST_F(SettingsPage, EveryTrackbarScrollMessageSendsTheLatencyOfThePositionThen) {
  StartOnMain();
  // The unit's latency 4 puts the thumb in the middle, where the click takes it up and lets go.
  ASSERT_EQ(Shown(IDC_LATENCY).position, 3);
  EXPECT_EQ(SentByClick(On(IDC_LATENCY)), (Sends{{20, 4}, {20, 4}}));
  struct Case {
    uint16_t vk;
    int position;
  };
  const Case cases[] = {{VK_HOME, 0}, {VK_END, 6}, {VK_LEFT, 5}, {VK_PRIOR, 4}, {VK_RIGHT, 5}, {VK_HOME, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.vk);
    const uint32_t latency = static_cast<uint32_t>(c.position) + 1;
    // One scroll message as the key goes down, TB_ENDTRACK as it comes up.
    EXPECT_EQ(SentByKey(c.vk), (Sends{{20, latency}, {20, latency}}));
    EXPECT_EQ(Shown(IDC_LATENCY).position, c.position);
  }
  // A drag across the channel: four moves, the thumb's position and the end of the track.
  const ptest::ScreenRect r = RectOn(IDC_LATENCY);
  m_.ClearLog(main_);
  input::Drag(On(IDC_LATENCY), {8, (r.bottom - r.top) / 2}, {r.right - r.left - 8, (r.bottom - r.top) / 2});
  const Sends dragged = Sent(main_);
  ASSERT_EQ(dragged.size(), 6u);
  for (size_t i = 0; i < dragged.size(); ++i) {
    EXPECT_EQ(dragged[i].first, 20u);
    if (i > 0) {
      EXPECT_GE(dragged[i].second, dragged[i - 1].second);
    }
  }
  EXPECT_GT(dragged[0].second, 1u);
  EXPECT_LT(dragged[0].second, 7u);
  EXPECT_EQ(dragged.back().second, 7u);
}

TEST_F(SettingsPage, TheOvrUpDownStepsOnceAClickAndWrapsAtBothEnds) {
  struct Case {
    uint32_t reported;  // tenths of a dB the unit holds
    bool up;
    int position;
    const char* text;
    uint32_t sent;
  };
  const Case cases[] = {
      {30, true, 5, "-2.5", 25}, {35, false, 8, "-4.0", 40}, {0, true, 10, "-5.0", 50},
      {50, false, 0, "-0.0", 0}, {5, true, 0, "-0.0", 0},    {45, false, 10, "-5.0", 50},
  };
  StartOnMain();
  const ptest::ScreenRect r = RectOn(IDC_OVR_SPIN);
  const int width = r.right - r.left, height = r.bottom - r.top;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reported);
    Change(main_, [&](ctest::UnitBlocks& b) { b.preferences.mOvrThreshold = c.reported; });
    Tick();
    ASSERT_EQ(Shown(IDC_OVR_SPIN).position, static_cast<int64_t>(c.reported / 5));
    const input::Point arrow{width / 2, c.up ? height / 4 : height - height / 4};
    EXPECT_EQ(SentByClick(On(IDC_OVR_SPIN), arrow), (Sends{{44, c.sent}}));
    EXPECT_EQ(Shown(IDC_OVR_SPIN).position, c.position);
    EXPECT_EQ(Shown(IDC_OVR_EDIT).text, c.text);
  }
}

TEST_F(SettingsPage, ValuesTheUnitReportsSelectTheControlsWithinOnePoll) {
  using Edit = std::function<void(ctest::UnitBlocks&)>;
  struct Case {
    const char* what;
    Edit edit;
    int id;
    std::string text;  // the control's text, or empty to leave it out
    int64_t state;     // check or position, or -1 to leave it out
  };
  auto prefs = [](uint32_t PreferencesBlock::*field, uint32_t value) -> Edit {
    return [=](ctest::UnitBlocks& b) { b.preferences.*field = value; };
  };
  const Case cases[] = {
      {"rate 48000", prefs(&PreferencesBlock::mSampleRate, 48000), IDC_SAMPLE_RATE, "48.0 kHz", -1},
      {"rate 88200", prefs(&PreferencesBlock::mSampleRate, 88200), IDC_SAMPLE_RATE, "88.2 kHz", -1},
      {"rate 32000", prefs(&PreferencesBlock::mSampleRate, 32000), IDC_SAMPLE_RATE, "88.2 kHz", -1},
      {"rate 96000", prefs(&PreferencesBlock::mSampleRate, 96000), IDC_SAMPLE_RATE, "96.0 kHz", -1},
      {"rate 44100", prefs(&PreferencesBlock::mSampleRate, 44100), IDC_SAMPLE_RATE, "44.1 kHz", -1},
      {"clock 4", prefs(&PreferencesBlock::mClockSource, 4), IDC_CLOCK_SOURCE, "Digital In ADAT", -1},
      {"clock 3", prefs(&PreferencesBlock::mClockSource, 3), IDC_CLOCK_SOURCE, "Digital In SPDIF", -1},
      {"clock 2", prefs(&PreferencesBlock::mClockSource, 2), IDC_CLOCK_SOURCE, "Word Clock", -1},
      {"clock 9", prefs(&PreferencesBlock::mClockSource, 9), IDC_CLOCK_SOURCE, "Internal", -1},
      {"protocol 4", prefs(&PreferencesBlock::mControlProtocol, 4), IDC_PROTOCOL, "Cubase LE", -1},
      {"protocol 5", prefs(&PreferencesBlock::mControlProtocol, 5), IDC_PROTOCOL, "Cubase SX / Nuendo", -1},
      {"protocol 2", prefs(&PreferencesBlock::mControlProtocol, 2), IDC_PROTOCOL, "Mackie Control Emulation", -1},
      {"protocol 3", prefs(&PreferencesBlock::mControlProtocol, 3), IDC_PROTOCOL, "HUI Emulation", -1},
      {"protocol 7", prefs(&PreferencesBlock::mControlProtocol, 7), IDC_PROTOCOL, "QX-5310 Native", -1},
      {"protocol 1", prefs(&PreferencesBlock::mControlProtocol, 1), IDC_PROTOCOL, "QX-5310 Native", -1},
      {"monitor 2", prefs(&PreferencesBlock::mMonitorMode, 2), IDC_MONITORING, "Monitor Level Affects Analog 1:6", -1},
      {"monitor 3", prefs(&PreferencesBlock::mMonitorMode, 3), IDC_MONITORING, "Monitor Level Affects Analog 1:8", -1},
      {"monitor 0", prefs(&PreferencesBlock::mMonitorMode, 0), IDC_MONITORING, "Monitor Level Affects Analog 1:2", -1},
      {"latency 1", prefs(&PreferencesBlock::mBufferSizeIndex, 1), IDC_LATENCY, "", 0},
      {"latency 7", prefs(&PreferencesBlock::mBufferSizeIndex, 7), IDC_LATENCY, "", 6},
      {"latency 2", prefs(&PreferencesBlock::mBufferSizeIndex, 2), IDC_LATENCY, "", 1},
      {"latency 0", prefs(&PreferencesBlock::mBufferSizeIndex, 0), IDC_LATENCY, "", 6},
      {"master 2", prefs(&PreferencesBlock::mMasterFader, 2), IDC_MASTER_FADER_GAIN, "", BST_CHECKED},
      {"master 3", prefs(&PreferencesBlock::mMasterFader, 3), IDC_MASTER_FADER_GAIN, "", BST_UNCHECKED},
      {"master 2 again", prefs(&PreferencesBlock::mMasterFader, 2), IDC_MASTER_FADER_GAIN, "", BST_CHECKED},
      {"master 1", prefs(&PreferencesBlock::mMasterFader, 1), IDC_MASTER_FADER_GAIN, "", BST_UNCHECKED},
      {"ovr 7", prefs(&PreferencesBlock::mOvrThreshold, 7), IDC_OVR_EDIT, "-0.7", -1},
      {"ovr 7 spin", prefs(&PreferencesBlock::mOvrThreshold, 7), IDC_OVR_SPIN, "", 1},
      {"ovr 0", prefs(&PreferencesBlock::mOvrThreshold, 0), IDC_OVR_EDIT, "-0.0", -1},
      {"ovr 50", prefs(&PreferencesBlock::mOvrThreshold, 50), IDC_OVR_EDIT, "-5.0", -1},
      {"delay 5", prefs(&PreferencesBlock::mConverterDelay, 5), IDC_CONVERTER_DELAY, "", BST_CHECKED},
      {"delay 0", prefs(&PreferencesBlock::mConverterDelay, 0), IDC_CONVERTER_DELAY, "", BST_UNCHECKED},
      {"locked", [](ctest::UnitBlocks& b) { b.shared.mInputLocked = 1; }, IDC_SYNC_STATUS, "In Sync", -1},
      {"unlocked", [](ctest::UnitBlocks& b) { b.shared.mInputLocked = 0; }, IDC_SYNC_STATUS, "", -1},
  };
  StartOnMain();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Change(main_, c.edit);
    Tick();
    const ControlState shown = Shown(c.id);
    if (c.state < 0 || !c.text.empty()) {
      EXPECT_EQ(shown.text, c.text);
    }
    if (c.state >= 0) {
      EXPECT_EQ(c.id == IDC_LATENCY || c.id == IDC_OVR_SPIN ? shown.position : shown.check, c.state);
    }
  }
  EXPECT_EQ(Sent(main_), Sends{});
}

TEST_F(SettingsPage, ControlsFollowWhichUnitsAreOpenAndTheProtocolGoesToAnExpansionUnitAlone) {
  const int mainOnly[] = {IDC_CLOCK_SOURCE, IDC_SAMPLE_RATE, IDC_MONITORING, IDC_LATENCY,
                          IDC_OVR_EDIT,     IDC_CONVERTER_DELAY, IDC_MASTER_FADER_GAIN};
  StartPanel();
  ctest::Machine::Unit kr6 = nullptr;
  struct Step {
    const char* what;
    std::function<void()> act;
    bool protocol;
    bool others;
  };
  const Step steps[] = {
      {"no unit", [] {}, false, false},
      {"a KR-6", [&] { kr6 = PlugKr6(21); }, true, false},
      {"a main unit too", [&] { main_ = PlugMain(); }, true, true},
      {"the main unit gone", [&] { Unplug(main_); }, true, false},
      {"no unit again", [&] { Unplug(kr6); }, false, false},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.what);
    s.act();
    Tick();
    EXPECT_EQ(Shown(IDC_PROTOCOL).enabled, s.protocol);
    for (int id : mainOnly) EXPECT_EQ(Shown(id).enabled, s.others) << id;
    EXPECT_TRUE(Shown(IDC_OVR_SPIN).enabled);
    for (int id : {IDC_VERSION_GROUP, IDC_REGISTER_VERSION, IDC_ARM_VERSION, IDC_HARDWARE_VERSION, IDC_FPGA_VERSION})
      EXPECT_TRUE(Shown(id).visible) << id;
    if (s.protocol && !s.others) {
      // With an expansion unit alone, the protocol goes to it and the driver gives it to every unit.
      input::Click(On(IDC_PROTOCOL));
      m_.ClearLog(kr6);
      input::Key(input::Target(kPanelCaption), VK_END);
      EXPECT_EQ(Sent(kr6), (Sends{{60, 3}}));
      input::Key(input::Target(kPanelCaption), VK_HOME);
      input::Key(input::Target(kPanelCaption), VK_RETURN);
      // Off the list before it is disabled: a disabled focus window leaves the keyboard nowhere.
      input::Key(input::Target(kPanelCaption), VK_TAB);
    }
  }
}

TEST_F(SettingsPage, OkReadsCloseAndCancelIsGone) {
  StartOnMain();
  const std::string ok = SheetChild(1), cancel = SheetChild(IDCANCEL);
  EXPECT_NE(ok.find("\"Close\""), std::string::npos) << ok;
  EXPECT_TRUE(ptest::Visible(ok));
  EXPECT_FALSE(ptest::Visible(cancel)) << cancel;
}

TEST_F(SettingsPage, TheLogoIsDrawnThroughItsMaskSoThePageShowsWhereItIsWhite) {
  StartOnMain();
  std::shared_ptr<const plat::win32::RasterSurface> shot = picture::Snapshot(input::Target(kPanelCaption));
  ASSERT_NE(shot, nullptr);
  // The logo's top-left, (9, 164) in dialog units, is (14, 267) in the page; it is 223 x 38.
  const std::vector<std::string> blits = Matching(PaintOf("Settings"), "blit 14,267-237,305 ");
  ASSERT_EQ(blits.size(), 2u);
  EXPECT_NE(blits[0].find(" SRCAND "), std::string::npos) << blits[0];
  EXPECT_NE(blits[1].find(" SRCPAINT "), std::string::npos) << blits[1];
  const ptest::ScreenRect sheet = ptest::RectOf(ptest::TopLevelLines(kPanelCaption).at(0));
  const ptest::ScreenRect page = ptest::RectOf(SheetChild("Settings"));
  auto pixel = [&](int x, int y) { return shot->Pixel(page.left - sheet.left + x, page.top - sheet.top + y); };
  EXPECT_EQ(pixel(14 + 10, 267 + 5), RGB(20, 40, 110)) << "the logo's ink";
  EXPECT_EQ(pixel(14 + 2, 267 + 20), GetSysColor(COLOR_3DFACE)) << "the page where the logo is white";
}

}  // namespace
