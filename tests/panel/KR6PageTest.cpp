// The KR-6 page: on scripted units, the names and enabled edits per record, the four button flags
// at idle, Identify, Move Up and Down, Apply and Revert with their rulings; end to end, with
// several simulated KR-6 units, the lamp blinking at the unit and Apply reaching the driver's
// stored settings and the units' MIDI port names.
#include <windows.h>

#include <cstring>
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

constexpr size_t kKr6Page = 4;
constexpr char kPage[] = "KR-6";
constexpr char kBoxCaption[] = "KR-6 Name Update";
constexpr char kUpdated[] =
    "The KR-6's Midi port name has been updated,\nand will become effective the next time\nyou power up the device.";
constexpr char kNotUpdated[] = "The KR-6's Midi port name could not be updated.";
constexpr uint32_t kGetChangeCount = 1;
constexpr uint32_t kSetUnitRecord = 19;
constexpr uint32_t kSetUnitLamp = 20;
constexpr uint32_t kSwapUnitRecords = 21;
constexpr int kEdits = 15;

uint32_t SerialOf(int record) { return 100 + static_cast<uint32_t>(record); }
std::string NameOf(int record) { return "Desk " + std::to_string(record + 1); }

class Kr6Page : public PanelOnUnits {
 protected:
  // A main unit whose table holds `present` records, one KR-6 on the bus, and the panel on the
  // KR-6 page.
  void Open(int present) {
    main_ = PlugMain();
    PlugKr6(SerialOf(0));
    SetRecords(present);
    StartPanel();
    ShowPage(kKr6Page);
    m_.ClearLog(main_);
  }
  void SetRecords(int present, const std::string& firstName = {}) {
    Change(main_, [&](ctest::UnitBlocks& b) {
      std::memset(b.records, 0, sizeof b.records);
      for (int i = 0; i < present; ++i) b.records[i] = ctest::Record(SerialOf(i), NameOf(i));
      if (!firstName.empty()) b.records[0] = ctest::Record(SerialOf(0), firstName);
      ++b.listCount;
    });
  }
  ControlState State(int id) { return Control(kKr6Page, id); }
  static input::Target At(int id) { return input::Target(kPanelCaption, kPage, {id}); }
  bool Click(int id) { return input::Click(At(id)); }
  // Gives edit i the focus; the idle pass after the click updates the buttons.
  void Focus(int i) { Click(IDC_NAME_FIRST + i); }
  void TypeInto(int i, const std::string& text) {
    Focus(i);
    input::Key(input::Target(kPanelCaption), VK_END);
    input::Type(input::Target(kPanelCaption), text);
  }
  template <class Record>
  std::vector<Record> Sent(uint32_t request) {
    std::vector<Record> sent;
    for (const scripted::LogEntry& e : ctest::Requests(m_, main_, request)) {
      Record r;
      std::memcpy(&r, e.input, sizeof r);
      sent.push_back(r);
    }
    return sent;
  }
  // Clicks Apply, reads the box it raises and answers it, then clicks back into the first name.
  std::string Apply() {
    Click(IDC_APPLY_NAMES);
    const std::string text = spy_->MessageBoxText(kBoxCaption);
    input::Click(input::Target(kBoxCaption, "", {IDOK}));
    Focus(0);
    return text;
  }

  ctest::Machine::Unit main_ = nullptr;
};

TEST_F(Kr6Page, EachPresentRecordHasAnEnabledEditWithItsName) {
  Open(3);
  for (int i = 0; i < kEdits; ++i) {
    const ControlState s = State(IDC_NAME_FIRST + i);
    EXPECT_EQ(s.enabled, i < 3) << i;
    EXPECT_EQ(s.text, i < 3 ? NameOf(i) : "") << i;
  }
  // A name that fills its field without a terminator shows as long as an edit takes one.
  SetRecords(2, std::string(64, 'N'));
  Tick();
  EXPECT_EQ(State(IDC_NAME_FIRST).text, std::string(63, 'N'));
  EXPECT_EQ(State(IDC_NAME_FIRST + 1).text, NameOf(1));
  EXPECT_FALSE(State(IDC_NAME_FIRST + 2).enabled);
  EXPECT_EQ(State(IDC_NAME_FIRST + 2).text, "");
}

TEST_F(Kr6Page, TheButtonsFollowTheRememberedEditAtIdle) {
  struct Case {
    const char* what;
    int present;
    int focus;  // -1: the page's own choice, the first present unit
    bool up, down;
  };
  const Case cases[] = {
      {"first unit, remembered at start", 3, -1, false, true},
      {"middle unit", 3, 1, true, true},
      {"last present unit", 3, 2, true, false},
      {"first of one", 1, 0, false, false},
      {"edit 15 of 15, record 16 present", 16, 14, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (main_ == nullptr) Open(c.present);
    SetRecords(c.present);
    Tick();
    if (c.focus >= 0) Focus(c.focus);
    ptest::RunFor(50);
    EXPECT_TRUE(State(IDC_IDENTIFY).enabled);
    EXPECT_EQ(State(IDC_MOVE_UP).enabled, c.up);
    EXPECT_EQ(State(IDC_MOVE_DOWN).enabled, c.down);
    EXPECT_FALSE(State(IDC_APPLY_NAMES).enabled);
    EXPECT_FALSE(State(IDC_REVERT_NAMES).enabled);
  }
}

TEST_F(Kr6Page, TypingEnablesApplyAndRevertAndRevertRestoresTheLoadedNames) {
  Open(2);
  TypeInto(1, "x");
  EXPECT_EQ(State(IDC_NAME_FIRST + 1).text, NameOf(1) + "x");
  EXPECT_TRUE(State(IDC_APPLY_NAMES).enabled);
  EXPECT_TRUE(State(IDC_REVERT_NAMES).enabled);
  Click(IDC_REVERT_NAMES);
  EXPECT_EQ(State(IDC_NAME_FIRST + 1).text, NameOf(1));
  EXPECT_FALSE(State(IDC_APPLY_NAMES).enabled);
  EXPECT_FALSE(State(IDC_REVERT_NAMES).enabled);
  EXPECT_TRUE(Sent<UnitNameRecord>(kSetUnitRecord).empty());
}

TEST_F(Kr6Page, LeavingThePageKeepsTheTypedNamesWithoutSendingThem) {
  Open(2);
  TypeInto(0, "y");
  ShowPage(0);
  ShowPage(kKr6Page);
  ptest::RunFor(50);
  EXPECT_EQ(State(IDC_NAME_FIRST).text, NameOf(0) + "y");
  EXPECT_FALSE(State(IDC_APPLY_NAMES).enabled);
  EXPECT_TRUE(Sent<UnitNameRecord>(kSetUnitRecord).empty());
}

TEST_F(Kr6Page, MoveUpAndDownSwapTheRememberedUnitWithItsNeighbourAndPollAtOnce) {
  struct Case {
    const char* what;
    int focus;
    int button;
    uint32_t other;
  };
  const Case cases[] = {
      {"down", 1, IDC_MOVE_DOWN, SerialOf(2)},
      {"up", 1, IDC_MOVE_UP, SerialOf(0)},
      {"up from the last", 2, IDC_MOVE_UP, SerialOf(1)},
  };
  Open(3);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Focus(c.focus);
    m_.ClearLog(main_);
    ASSERT_TRUE(Click(c.button));
    const std::vector<SwapUnitRecordsRequest> swaps = Sent<SwapUnitRecordsRequest>(kSwapUnitRecords);
    ASSERT_EQ(swaps.size(), 1u);
    EXPECT_EQ(swaps[0].mSerialA, SerialOf(c.focus));
    EXPECT_EQ(swaps[0].mSerialB, c.other);
    const std::vector<uint32_t> requests = RequestNumbers(main_);
    ASSERT_GE(requests.size(), 2u);
    EXPECT_EQ(requests[0], kSwapUnitRecords);
    EXPECT_EQ(requests[1], kGetChangeCount) << "the swap is followed by a poll";
  }
}

TEST_F(Kr6Page, IdentifyTurnsLamp89OffAndBackOnAfter300Ms) {
  Open(3);
  Focus(2);
  m_.ClearLog(main_);
  const uint64_t start = ptest::NowMs();
  ASSERT_TRUE(Click(IDC_IDENTIFY));
  EXPECT_GE(ptest::NowMs() - start, 300u);
  const std::vector<UnitLampRequest> lamps = Sent<UnitLampRequest>(kSetUnitLamp);
  ASSERT_EQ(lamps.size(), 2u);
  EXPECT_EQ(lamps[0].mSerial, SerialOf(2));
  EXPECT_EQ(lamps[0].mLampId, 89u);
  EXPECT_EQ(lamps[0].mState, 0u);
  EXPECT_EQ(lamps[1].mSerial, SerialOf(2));
  EXPECT_EQ(lamps[1].mLampId, 89u);
  EXPECT_EQ(lamps[1].mState, 1u);
}

TEST_F(Kr6Page, ApplySendsEveryPresentRecordWithATerminatedNameAndSaysWhetherItWorked) {
  Open(3);
  // The edit takes 63 characters: the 64th byte stays the terminator.
  TypeInto(1, std::string(70, 'z'));
  EXPECT_EQ(State(IDC_NAME_FIRST + 1).text, NameOf(1) + std::string(63 - NameOf(1).size(), 'z'));
  EXPECT_EQ(Apply(), kUpdated);
  const std::vector<UnitNameRecord> sent = Sent<UnitNameRecord>(kSetUnitRecord);
  ASSERT_EQ(sent.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(sent[i].mSerial, SerialOf(i));
    const std::string expected = i == 1 ? State(IDC_NAME_FIRST + 1).text : NameOf(i);
    EXPECT_EQ(std::string(sent[i].mName, strnlen(sent[i].mName, sizeof sent[i].mName)), expected);
    EXPECT_EQ(sent[i].mName[63], '\0');
  }
  ptest::RunFor(50);
  EXPECT_FALSE(State(IDC_APPLY_NAMES).enabled) << "the names are saved";

  TypeInto(2, "w");
  m_.ClearLog(main_);
  m_.FailNext(main_, kSetUnitRecord, 1);
  EXPECT_EQ(Apply(), kNotUpdated);
  EXPECT_EQ(Sent<UnitNameRecord>(kSetUnitRecord).size(), 3u) << "every present record is still sent";
}

TEST_F(Kr6Page, TheDumpListsEveryControlOfTheTemplateAndTwoRendersAgree) {
  Open(2);
  ptest::RunFor(50);
  const std::vector<std::string> expected = {
      R"(Button id=65535 "KR-6 Name Assignment" visible enabled)",
      R"(Static id=65535 "1." visible enabled)",
      R"(Edit id=1100 "Desk 1" visible enabled)",
      R"(Static id=65535 "2." visible enabled)",
      R"(Edit id=1101 "Desk 2" visible enabled)",
      R"(Static id=65535 "3." visible enabled)",
      R"(Edit id=1102 "" visible disabled)",
      R"(Static id=65535 "4." visible enabled)",
      R"(Edit id=1103 "" visible disabled)",
      R"(Static id=65535 "5." visible enabled)",
      R"(Edit id=1104 "" visible disabled)",
      R"(Static id=65535 "6." visible enabled)",
      R"(Edit id=1105 "" visible disabled)",
      R"(Static id=65535 "7." visible enabled)",
      R"(Edit id=1106 "" visible disabled)",
      R"(Static id=65535 "8." visible enabled)",
      R"(Edit id=1107 "" visible disabled)",
      R"(Static id=65535 "9." visible enabled)",
      R"(Edit id=1108 "" visible disabled)",
      R"(Static id=65535 "10." visible enabled)",
      R"(Edit id=1109 "" visible disabled)",
      R"(Static id=65535 "11." visible enabled)",
      R"(Edit id=1110 "" visible disabled)",
      R"(Static id=65535 "12." visible enabled)",
      R"(Edit id=1111 "" visible disabled)",
      R"(Static id=65535 "13." visible enabled)",
      R"(Edit id=1112 "" visible disabled)",
      R"(Static id=65535 "14." visible enabled)",
      R"(Edit id=1113 "" visible disabled)",
      R"(Static id=65535 "15." visible enabled)",
      R"(Edit id=1114 "" visible disabled)",
      R"(Button id=1386 "Identify" visible enabled)",
      R"(Button id=1387 "Move Up" visible disabled)",
      R"(Button id=1388 "Move Down" visible enabled)",
      R"(Button id=1389 "Apply" visible disabled)",
      R"(Button id=1390 "Revert" visible disabled)",
      R"(Static id=65535 "You must click Apply for your" visible enabled)",
      R"(Static id=65535 "changes to take effect!" visible enabled)",
      R"(Static id=1393 "Click for KR-6 web info" visible enabled)",
  };
  EXPECT_EQ(ptest::PageLines(kPage), expected);
  EXPECT_TRUE(ptest::TwoRendersAgree());
}

}  // namespace
