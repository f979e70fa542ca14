// The MIDI programming page on a scripted main unit: its three states, button against encoder and
// fader words, control and bank names on both hardware revisions, the word each control writes to
// register 0x410, the up-downs' ranges, typed and pasted numbers, and writes that must not happen.
#include <windows.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "panel/resource.h"
#include "tests/panel/PageDump.h"
#include "tests/panel/PanelTest.h"

namespace {

using ptest::ControlState;
using ptest::kPanelCaption;
using ptest::PanelOnUnits;
namespace input = plat::win32::input;

constexpr size_t kMidiPage = 2;
constexpr char kPage[] = "MIDI Programming";
constexpr uint32_t kProgrammingWordRegister = 0x410;
constexpr uint32_t kWriteRegister = 8;
constexpr uint32_t kGetChangeCount = 1;

// Programming words: control kind, bank, action, id, programming mode, channel and number.
constexpr uint32_t kButton = 1u << 30;
constexpr uint32_t kEncoder = 2u << 30;
constexpr uint32_t kFader = 3u << 30;
constexpr uint32_t Bank(uint32_t bank) { return bank << 27; }
constexpr uint32_t Action(uint32_t action) { return action << 24; }
constexpr uint32_t Id(uint32_t id) { return id << 16; }
constexpr uint32_t Bit(unsigned bit) { return 1u << bit; }
constexpr uint32_t Channel(uint32_t channel) { return (channel - 1) << 8; }
constexpr uint32_t kProgramming = 0x80;
constexpr uint32_t kNote = 1, kController = 2, kToggled = 3;
constexpr uint32_t kIdle = 0x10080;

// "Select 1" on units of the revised hardware, channel 3, controller 60, port 1.
constexpr uint32_t kSelect1 = kButton | Action(kController) | Id(0x20) | Bit(12) | Channel(3) | kProgramming | 60;

const std::string kPrompt = "Enter MIDI programming mode by pressing SHIFT + MIDI CTRL on the QX-5310.";

// Every control of the page but the prompt.
const std::vector<int> kControls = {
    IDC_PROG_LABEL6,  IDC_PROG_LABEL5, IDC_NUMBER_KIND,  IDC_CONTROL_LABEL, IDC_BANK_LABEL,    IDC_PROG_LABEL4,
    IDC_PROG_LABEL3,  IDC_PROG_LABEL2, IDC_PROG_LABEL1,  IDC_BANK_NAME,     IDC_CONTROL_NAME,  IDC_VP2,
    IDC_VP1,          IDC_PORT4,       IDC_PORT3,        IDC_PORT2,         IDC_PORT1,         IDC_PORT_GROUP,
    IDC_ACTION_GROUP, IDC_CHANNEL_GROUP, IDC_TOGGLED_CONTROLLER_RADIO, IDC_NOTE_RADIO, IDC_CONTROLLER_RADIO,
    IDC_CHANNEL_SPIN, IDC_NUMBER_SPIN, IDC_CHANNEL_EDIT, IDC_NUMBER_EDIT,
};

class MidiPage : public PanelOnUnits {
 protected:
  // A main unit of the given hardware revision reporting `word`, and the panel on this page.
  void Open(uint32_t word, uint8_t hardwareByte = 1) {
    main_ = PlugMain();
    Change(main_, [&](ctest::UnitBlocks& b) {
      b.shared.mHardwareVersion = static_cast<uint32_t>(hardwareByte) << 16;
      b.shared.mProgrammingWord = word;
    });
    StartPanel();
    ShowPage(kMidiPage);
    m_.ClearLog(main_);
  }
  // The unit reports another word (or hardware revision), and the next poll brings it.
  void Report(uint32_t word, std::optional<uint8_t> hardwareByte = {}) {
    Change(main_, [&](ctest::UnitBlocks& b) {
      b.shared.mProgrammingWord = word;
      if (hardwareByte) b.shared.mHardwareVersion = static_cast<uint32_t>(*hardwareByte) << 16;
    });
    Tick();
  }
  // The words the panel wrote to the programming-word register since the log was cleared.
  std::vector<uint32_t> Written() {
    std::vector<uint32_t> words;
    for (const scripted::LogEntry& e : ctest::Requests(m_, main_, kWriteRegister)) {
      WriteRegisterRequest write;
      std::memcpy(&write, e.input, sizeof write);
      if (write.mOffset == kProgrammingWordRegister) words.push_back(write.mValue);
    }
    return words;
  }
  ControlState State(int id) { return Control(kMidiPage, id); }
  static input::Target At(int id) { return input::Target(kPanelCaption, kPage, {id}); }
  bool Click(int id) { return input::Click(At(id)); }
  // A click on the upper or lower half of an up-down.
  bool Step(int spin, bool up) {
    const ptest::ScreenRect r = ptest::RectOf(ptest::ControlLine(kPage, spin));
    const int32_t w = r.right - r.left, h = r.bottom - r.top;
    return input::Click(At(spin), input::Point{w / 2, up ? h / 4 : 3 * h / 4});
  }
  // Puts the focus into the edit and selects its text; then forgets what that focus change wrote.
  void SelectAllOf(int edit) {
    Click(edit);
    input::Key(input::Target(kPanelCaption), VK_HOME);
    input::Key(input::Target(kPanelCaption), VK_END, /*shift=*/true);
    m_.ClearLog(main_);
  }
  void TypeInto(int edit, const std::string& text) {
    SelectAllOf(edit);
    input::Type(input::Target(kPanelCaption), text);
  }
  void PasteInto(int edit, const std::string& text) {
    SelectAllOf(edit);
    input::SetClipboardText(text);
    input::Key(input::Target(kPanelCaption), VK_INSERT, /*shift=*/true);
  }
  void Enter() { input::Key(input::Target(kPanelCaption), VK_RETURN); }

  ctest::Machine::Unit main_ = nullptr;
};

TEST_F(MidiPage, WithoutAMainUnitOnlyTheNotAvailablePromptShows) {
  PlugKr6(41);
  StartPanel();
  ShowPage(kMidiPage);
  const ControlState prompt = Control(kMidiPage, IDC_PROMPT);
  EXPECT_TRUE(prompt.visible);
  EXPECT_EQ(prompt.text, "QX-5310 Not Available");
  for (int id : kControls) EXPECT_FALSE(Control(kMidiPage, id).visible) << id;
}

TEST_F(MidiPage, ShowsThePromptTheIdleWordOrAnEditableControl) {
  struct Case {
    const char* what;
    uint32_t word;
    const char* prompt;
    bool shown;
    bool editable;
  };
  const Case cases[] = {
      {"programming mode off", 0, kPrompt.c_str(), false, false},
      {"waiting for a control", kIdle, "", true, false},
      {"a button", kSelect1, "", true, true},
      {"mode left, bit 7 clear", kSelect1 & ~kProgramming, kPrompt.c_str(), false, false},
      {"a fader", kFader | Id(2) | kProgramming | Channel(1) | 7, "", true, true},
  };
  Open(0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Report(c.word);
    const ControlState prompt = State(IDC_PROMPT);
    EXPECT_TRUE(prompt.visible);
    EXPECT_EQ(prompt.text, c.prompt);
    for (int id : kControls) {
      const ControlState s = State(id);
      EXPECT_EQ(s.visible, c.shown) << id;
      const bool noteOnly = id == IDC_NOTE_RADIO || id == IDC_TOGGLED_CONTROLLER_RADIO;
      const bool continuous = (c.word >> 30) >= 2;
      EXPECT_EQ(s.enabled, c.editable && !(noteOnly && continuous)) << id;
    }
  }
}

TEST_F(MidiPage, ButtonsOfferEveryActionWhileEncodersAndFadersSendControllersWithVp1OnBit23) {
  struct Case {
    const char* what;
    uint32_t word;
    bool notesEnabled;
    int controller, note, toggled;
    const char* numberKind;
    int vp1;
    unsigned vp1Bit;
  };
  const uint32_t at = kProgramming | Channel(1) | 10;
  const Case cases[] = {
      {"button, note", kButton | Action(kNote) | Id(0x21) | Bit(19) | at, true, 0, 1, 0, "MIDI Note", 1, 19},
      {"button, toggled", kButton | Action(kToggled) | Id(0x21) | at, true, 0, 0, 1, "Controller", 0, 19},
      {"button, bit 23 is not its VP1", kButton | Action(kController) | Id(0x21) | Bit(23) | at, true, 1, 0, 0,
       "Controller", 0, 19},
      {"encoder, note bits", kEncoder | Action(kNote) | Id(3) | Bit(23) | at, false, 1, 0, 0, "Controller", 1, 23},
      {"fader, bit 19 is not its VP1", kFader | Action(kToggled) | Id(4) | Bit(19) | at, false, 1, 0, 0, "Controller",
       0, 23},
  };
  Open(kIdle);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Report(c.word);
    EXPECT_EQ(State(IDC_NOTE_RADIO).enabled, c.notesEnabled);
    EXPECT_EQ(State(IDC_TOGGLED_CONTROLLER_RADIO).enabled, c.notesEnabled);
    EXPECT_TRUE(State(IDC_CONTROLLER_RADIO).enabled);
    EXPECT_EQ(State(IDC_CONTROLLER_RADIO).check, c.controller);
    EXPECT_EQ(State(IDC_NOTE_RADIO).check, c.note);
    EXPECT_EQ(State(IDC_TOGGLED_CONTROLLER_RADIO).check, c.toggled);
    EXPECT_EQ(State(IDC_NUMBER_KIND).text, c.numberKind);
    EXPECT_EQ(State(IDC_VP1).check, c.vp1);
    m_.ClearLog(main_);
    ASSERT_TRUE(Click(IDC_VP1));
    EXPECT_EQ(Written(), std::vector<uint32_t>{c.word ^ Bit(c.vp1Bit)});
  }
}

TEST_F(MidiPage, NamesControlsAndBanksByTheUnitsHardwareRevision) {
  struct Case {
    uint8_t hardwareByte;
    uint32_t word;
    const char* control;
    const char* bank;
  };
  const Case cases[] = {
      {1, kButton | Bank(0) | Id(0x30), "Solo 1", "Bank 1"},
      {0, kButton | Bank(0) | Id(0x30), "Select 1", "Bank 1"},
      {1, kButton | Bank(3) | Id(0x28), "Select 1", "Bank 4"},
      {1, kButton | Bank(1) | Id(0xE7), "Shuttle", "Bank 2"},
      {0, kButton | Bank(2) | Id(0x8F), "Latch", "Bank 3"},
      {1, kFader | Bank(4) | Id(0x88), "Master Fader", "-"},
      {0, kEncoder | Bank(5) | Id(0x8B), "Data Wheel", ""},
  };
  Open(kIdle);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.control);
    Report(c.word | kProgramming | Action(kController) | Channel(2) | 5, c.hardwareByte);
    EXPECT_EQ(State(IDC_CONTROL_NAME).text, c.control);
    EXPECT_EQ(State(IDC_BANK_NAME).text, c.bank);
    EXPECT_EQ(State(IDC_NUMBER_EDIT).text, "5");
    EXPECT_EQ(State(IDC_CHANNEL_EDIT).text, "2");
  }
}

TEST_F(MidiPage, AControlWithoutANameEmptiesBothEditsAndUnchecksEveryPort) {
  Open(kSelect1 | Bit(13) | Bit(19) | Bit(26), 1);
  EXPECT_EQ(State(IDC_CONTROL_NAME).text, "Select 1");
  EXPECT_EQ(State(IDC_PORT2).check, 1);
  // The Shuttle button exists only on the revised hardware.
  Report(kButton | Id(0xE7) | Action(kController) | Bit(12) | Bit(13) | Bit(19) | Bit(26) | kProgramming | 9, 0);
  EXPECT_EQ(State(IDC_CONTROL_NAME).text, "");
  EXPECT_EQ(State(IDC_NUMBER_EDIT).text, "");
  EXPECT_EQ(State(IDC_CHANNEL_EDIT).text, "");
  for (int id : {IDC_PORT1, IDC_PORT2, IDC_PORT3, IDC_PORT4, IDC_VP1, IDC_VP2}) EXPECT_EQ(State(id).check, 0) << id;
  TypeInto(IDC_NUMBER_EDIT, "5");
  Enter();
  EXPECT_TRUE(Written().empty()) << "an unnamed control is not written";
}

TEST_F(MidiPage, EachControlWritesItsBitsIntoTheLastWordAndPollsAtOnce) {
  struct Case {
    const char* what;
    int id;
    uint32_t word;
    uint32_t written;
  };
  const uint32_t note = (kSelect1 & ~Action(3)) | Action(kNote);
  const Case cases[] = {
      {"port 2 on", IDC_PORT2, kSelect1, kSelect1 | Bit(13)},
      {"port 1 off", IDC_PORT1, kSelect1, kSelect1 & ~Bit(12)},
      {"port 4 on", IDC_PORT4, kSelect1, kSelect1 | Bit(15)},
      {"VP2 on", IDC_VP2, kSelect1, kSelect1 | Bit(26)},
      {"VP2 off", IDC_VP2, kSelect1 | Bit(26), kSelect1},
      {"note", IDC_NOTE_RADIO, kSelect1, note},
      {"toggled controller", IDC_TOGGLED_CONTROLLER_RADIO, kSelect1, kSelect1 | Action(kToggled)},
      {"controller", IDC_CONTROLLER_RADIO, note, kSelect1},
  };
  Open(kIdle);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Report(c.word);
    m_.ClearLog(main_);
    ASSERT_TRUE(Click(c.id));
    EXPECT_EQ(Written(), std::vector<uint32_t>{c.written});
    const std::vector<uint32_t> requests = RequestNumbers(main_);
    ASSERT_GE(requests.size(), 2u);
    EXPECT_EQ(requests[0], kWriteRegister);
    EXPECT_EQ(requests[1], kGetChangeCount) << "the write is followed by a poll";
    EXPECT_EQ(State(IDC_CONTROL_NAME).text, "Select 1");
  }
}

TEST_F(MidiPage, UpDownsWriteOnlyStepsWithinTheirRanges) {
  struct Case {
    const char* what;
    int spin;
    uint32_t word;
    bool up;
    std::optional<uint32_t> written;
  };
  const uint32_t base = kSelect1 & ~0xF7Fu;
  const Case cases[] = {
      {"number up", IDC_NUMBER_SPIN, base | Channel(1) | 5, true, base | Channel(1) | 6},
      {"number down", IDC_NUMBER_SPIN, base | Channel(1) | 5, false, base | Channel(1) | 4},
      {"number past 127", IDC_NUMBER_SPIN, base | Channel(1) | 127, true, {}},
      {"number below 0", IDC_NUMBER_SPIN, base | Channel(1) | 0, false, {}},
      {"channel up", IDC_CHANNEL_SPIN, base | Channel(3) | 9, true, base | Channel(4) | 9},
      {"channel past 16", IDC_CHANNEL_SPIN, base | Channel(16) | 9, true, {}},
      {"channel below 1", IDC_CHANNEL_SPIN, base | Channel(1) | 9, false, {}},
  };
  Open(kIdle);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // From the idle word, so the edits show this case's numbers whatever the last step left.
    Report(kIdle);
    Report(c.word);
    m_.ClearLog(main_);
    ASSERT_TRUE(Step(c.spin, c.up));
    std::vector<uint32_t> expected;
    if (c.written) expected.push_back(*c.written);
    EXPECT_EQ(Written(), expected);
  }
}

TEST_F(MidiPage, TypedAndPastedNumbersAreClampedRewrittenAndWritten) {
  struct Case {
    const char* entry;
    int edit;
    bool paste;
    uint32_t field;  // the number, or the channel 1-16
    const char* text;
  };
  const Case cases[] = {
      {"42", IDC_NUMBER_EDIT, false, 42, "42"},
      {"200", IDC_NUMBER_EDIT, false, 127, "127"},
      {"0", IDC_CHANNEL_EDIT, false, 1, "1"},
      {"17", IDC_CHANNEL_EDIT, false, 16, "16"},
      {"-5", IDC_NUMBER_EDIT, true, 0, "0"},
      {"99999999999999999999", IDC_NUMBER_EDIT, true, 127, "127"},
      // 2^32 + 127: a reading that wrapped would take it for 127 and leave the text.
      {"4294967423", IDC_NUMBER_EDIT, true, 127, "127"},
      {"-4294967295", IDC_CHANNEL_EDIT, true, 1, "1"},
      {"12", IDC_CHANNEL_EDIT, true, 12, "12"},
  };
  Open(kSelect1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.entry);
    if (c.paste)
      PasteInto(c.edit, c.entry);
    else
      TypeInto(c.edit, c.entry);
    Enter();
    const uint32_t expected = c.edit == IDC_NUMBER_EDIT ? (kSelect1 & ~0x7Fu) | c.field
                                                        : (kSelect1 & ~0xF00u) | Channel(c.field);
    EXPECT_EQ(Written(), std::vector<uint32_t>{expected});
    EXPECT_EQ(State(c.edit).text, c.text);
  }
}

TEST_F(MidiPage, EnterThenTabCompletesTheEntryTwice) {
  Open(kSelect1);
  TypeInto(IDC_NUMBER_EDIT, "33");
  Enter();
  input::Key(input::Target(kPanelCaption), VK_TAB);
  const uint32_t expected = (kSelect1 & ~0x7Fu) | 33;
  EXPECT_EQ(Written(), std::vector<uint32_t>({expected, expected}));
}

TEST_F(MidiPage, TheRefreshReadsAnOverlongEntryWithoutWrapping) {
  Open(kSelect1);
  PasteInto(IDC_NUMBER_EDIT, "4294967423");
  Report(kSelect1 | 127);
  EXPECT_EQ(State(IDC_NUMBER_EDIT).text, "127");
}

TEST_F(MidiPage, FocusLostAsTheControlsHideOrDisableWritesNothing) {
  struct Case {
    const char* what;
    uint32_t next;
  };
  const Case cases[] = {
      {"programming mode left", 0},
      {"the idle word", kIdle},
      {"mode left, bit 7 clear", kSelect1 & ~kProgramming},
  };
  Open(kIdle);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Report(kSelect1);
    TypeInto(IDC_NUMBER_EDIT, "55");
    Report(c.next);
    Tick();
    EXPECT_TRUE(Written().empty());
  }
}

TEST_F(MidiPage, TheDumpListsEveryControlOfTheTemplateAndTwoRendersAgree) {
  Open(kSelect1 | Bit(19));
  const std::vector<std::string> expected = {
      R"(Static id=1376 "" visible enabled)",
      R"(Static id=1373 "Control:" visible enabled)",
      R"(Static id=1364 "Select 1" visible enabled)",
      R"(Static id=1374 "Bank:" visible enabled)",
      R"(Static id=1365 "Bank 1" visible enabled)",
      R"(Button id=1366 "Action" visible enabled)",
      R"(Button id=1145 "Controller" visible enabled)",
      R"(Button id=1147 "Note On/Off" visible enabled)",
      R"(Button id=1146 "Toggled Controller" visible enabled)",
      R"(Static id=1375 "Controller" visible enabled)",
      R"(Edit id=1031 "60" visible enabled)",
      R"(msctls_updown32 id=1377 "" visible enabled)",
      R"(Button id=1367 "Channel" visible enabled)",
      R"(Edit id=1362 "3" visible enabled)",
      R"(msctls_updown32 id=1363 "" visible enabled)",
      R"(Button id=1368 "Port" visible enabled)",
      R"(Button id=1002 "1" visible enabled)",
      R"(Button id=1003 "2" visible enabled)",
      R"(Button id=1004 "3" visible enabled)",
      R"(Button id=1005 "4" visible enabled)",
      R"(Button id=1006 "VP1" visible enabled)",
      R"(Button id=1007 "VP2" visible enabled)",
      R"(Static id=1369 "" visible enabled)",
      R"(Static id=1370 "" visible enabled)",
      R"(Static id=1371 "" visible enabled)",
      R"(Static id=1372 "" visible enabled)",
      R"(Static id=1400 "" visible enabled)",
      R"(Static id=1401 "" visible enabled)",
  };
  EXPECT_EQ(ptest::PageLines(kPage), expected);
  EXPECT_TRUE(ptest::TwoRendersAgree());
}

}  // namespace
