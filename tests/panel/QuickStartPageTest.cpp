// The Quick Start page on a scripted main unit: each box against its two bits of each mask, the
// other bits sent as they were received, and a pair with one bit set shown checked.
#include <cstring>
#include <string>
#include <vector>

#include "panel/resource.h"
#include "tests/panel/PageDump.h"
#include "tests/panel/PanelTest.h"

namespace {

using ptest::kPanelCaption;
using ptest::PanelOnUnits;
namespace input = plat::win32::input;

constexpr size_t kQuickStartPage = 3;
constexpr char kPage[] = "Quick Start";
constexpr uint32_t kSetPreference = 11;
constexpr uint32_t kInputsParameter = 68;
constexpr uint32_t kOutputsParameter = 72;
constexpr int kPairs = 9;

struct Sent {
  uint32_t parameter;
  uint32_t value;
  bool operator==(const Sent&) const = default;
};

class QuickStartPage : public PanelOnUnits {
 protected:
  void Open(uint32_t inputs, uint32_t outputs) {
    main_ = PlugMain();
    Report(inputs, outputs);
    StartPanel();
    ShowPage(kQuickStartPage);
    m_.ClearLog(main_);
  }
  void Report(uint32_t inputs, uint32_t outputs) {
    Change(main_, [&](ctest::UnitBlocks& b) {
      b.preferences.mContinuousInputs = inputs;
      b.preferences.mContinuousOutputs = outputs;
    });
  }
  std::vector<Sent> SentSettings() {
    std::vector<Sent> sent;
    for (const scripted::LogEntry& e : ctest::Requests(m_, main_, kSetPreference)) {
      SetPreferenceRequest r;
      std::memcpy(&r, e.input, sizeof r);
      sent.push_back({r.mParameterId, r.mValue});
    }
    return sent;
  }
  static int Box(bool output, int pair) { return (output ? IDC_OUTPUT_PAIR_FIRST : IDC_INPUT_PAIR_FIRST) + pair; }
  int64_t Checked(int id) { return Control(kQuickStartPage, id).check; }

  ctest::Machine::Unit main_ = nullptr;
};

TEST_F(QuickStartPage, EachBoxSendsItsMaskWithBothBitsOfItsPairAndTheRestAsReceived) {
  struct Case {
    const char* what;
    bool output;
    int pair;
    uint32_t mask;  // as the unit reports it
    uint32_t sent;
  };
  const Case cases[] = {
      {"SPDIF 1:2 out on", true, 8, 0, 0x30000},
      {"Analog 1:2 in off", false, 0, 0x3FFFF, 0x3FFFC},
      {"ADAT 3:4 in on, high bits kept", false, 5, 0xABC00001, 0xABC00C01},
      {"Analog 5:6 out off, one bit of the pair set", true, 2, 0x80000020, 0x80000000},
      {"ADAT 7:8 out off, high bits kept", true, 7, 0xFFFFFFFF, 0xFFFF3FFF},
      {"Analog 3:4 in off, only its upper bit set", false, 1, 0x8, 0x0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (main_ == nullptr) Open(0, 0);
    Report(c.output ? 0 : c.mask, c.output ? c.mask : 0);
    Tick();
    m_.ClearLog(main_);
    ASSERT_TRUE(input::Click(input::Target(kPanelCaption, kPage, {Box(c.output, c.pair)})));
    EXPECT_EQ(SentSettings(), std::vector<Sent>({{c.output ? kOutputsParameter : kInputsParameter, c.sent}}));
    const std::vector<uint32_t> requests = RequestNumbers(main_);
    ASSERT_GE(requests.size(), 2u);
    EXPECT_EQ(requests[1], 1u) << "the send is followed by a poll";
  }
}

TEST_F(QuickStartPage, APairIsCheckedWhenEitherOfItsBitsIsSet) {
  struct Case {
    uint32_t inputs;
    uint32_t outputs;
  };
  const Case cases[] = {
      {0, 0},
      {0x3FFFF, 0},
      {0x15555, 0x2AAAA},  // one bit of every pair
      {0x30003, 0x0C000},
      {0xFFFC0000, 0x00000100},  // bits past the 18 channels mean no pair
  };
  Open(0, 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.inputs << " " << c.outputs);
    Report(c.inputs, c.outputs);
    Tick();
    for (int k = 0; k < kPairs; ++k) {
      EXPECT_EQ(Checked(Box(false, k)), (c.inputs >> (2 * k) & 3) != 0 ? 1 : 0) << "input pair " << k;
      EXPECT_EQ(Checked(Box(true, k)), (c.outputs >> (2 * k) & 3) != 0 ? 1 : 0) << "output pair " << k;
    }
  }
}

TEST_F(QuickStartPage, TheBoxesAreEnabledOnlyWithAMainUnit) {
  PlugKr6(12);
  StartPanel();
  ShowPage(kQuickStartPage);
  for (int id = IDC_INPUT_PAIR_FIRST; id <= IDC_OUTPUT_PAIR_LAST; ++id) {
    const ptest::ControlState s = Control(kQuickStartPage, id);
    EXPECT_TRUE(s.visible) << id;
    EXPECT_FALSE(s.enabled) << id;
  }
  PlugMain();
  ptest::RunFor(2000);
  for (int id = IDC_INPUT_PAIR_FIRST; id <= IDC_OUTPUT_PAIR_LAST; ++id) EXPECT_TRUE(Control(kQuickStartPage, id).enabled) << id;
}

TEST_F(QuickStartPage, TheDumpListsEveryBoxOfTheTemplateAndTwoRendersAgree) {
  Open(0x3, 0x30000);
  const std::vector<std::string> expected = {
      R"(Static id=1376 "Enable a channel-pair's associated checkbox to make those channels stream continuously." visible enabled)",
      R"(Button id=65535 "Inputs" visible enabled)",
      R"(Button id=1200 "Analog 1:2" visible enabled)",
      R"(Button id=1201 "Analog 3:4" visible enabled)",
      R"(Button id=1202 "Analog 5:6" visible enabled)",
      R"(Button id=1203 "Analog 7:8" visible enabled)",
      R"(Button id=1204 "ADAT 1:2" visible enabled)",
      R"(Button id=1205 "ADAT 3:4" visible enabled)",
      R"(Button id=1206 "ADAT 5:6" visible enabled)",
      R"(Button id=1207 "ADAT 7:8" visible enabled)",
      R"(Button id=1208 "SPDIF 1:2" visible enabled)",
      R"(Button id=65535 "Outputs" visible enabled)",
      R"(Button id=1209 "Analog 1:2" visible enabled)",
      R"(Button id=1210 "Analog 3:4" visible enabled)",
      R"(Button id=1211 "Analog 5:6" visible enabled)",
      R"(Button id=1212 "Analog 7:8" visible enabled)",
      R"(Button id=1213 "ADAT 1:2" visible enabled)",
      R"(Button id=1214 "ADAT 3:4" visible enabled)",
      R"(Button id=1215 "ADAT 5:6" visible enabled)",
      R"(Button id=1216 "ADAT 7:8" visible enabled)",
      R"(Button id=1217 "SPDIF 1:2" visible enabled)",
      "Static id=65535 \"If all of the channels used by your WDM application are enabled, playback and record "
      "operations will begin more quickly. However, each enabled channel consumes additional resources and 1394 "
      "bandwidth.\" visible enabled",
  };
  EXPECT_EQ(ptest::PageLines(kPage), expected);
  EXPECT_EQ(Checked(Box(false, 0)), 1);
  EXPECT_EQ(Checked(Box(true, 8)), 1);
  EXPECT_TRUE(ptest::TwoRendersAgree());
}

}  // namespace
