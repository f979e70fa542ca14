// The panel against the unit driver itself and simulated units on the bus: versions read from the
// unit's registers, the surface's panel button reaching the panel that attached itself with request
// 12, units pulled and plugged back while the panel runs (each removal completing in the kernel),
// and a second start.
#include <gtest/gtest.h>

#include "sim/units/MainUnit.h"
#include "tests/client/DriverMachine.h"
#include "tests/panel/PanelSpy.h"
#include "tests/panel/WindowDump.h"
#include "tests/support/Seeds.h"

namespace {

namespace input = plat::win32::input;
using ctest::DriverMachine;
using ptest::kPanelCaption;
using ptest::kPanelImage;
using ptest::Process;

constexpr uint32_t kSerial = 21;
constexpr uint16_t kPanelButton = 70;
constexpr uint16_t kEscape = 0x1B;  // VK_ESCAPE: the unit's headers and <windows.h> stay apart
enum Page : size_t { kSettings, kKr6 = 4 };

// A machine with a main unit and a KR-6 and the panel running on it.
class PanelOnDriver {
 public:
  explicit PanelOnDriver(uint64_t seed = 0) : m_(seed) {
    m_.PlugMain();
    m_.PlugKr6(kSerial);
    m_.Settle();
    spy_ = std::make_unique<ptest::Spy>(m_.Run());
    panel_ = std::make_unique<Process>(kPanelImage);
    EXPECT_TRUE(ptest::RunUntil([] { return !ptest::TopLevelLines(kPanelCaption).empty(); }, 10000));
    ptest::RunFor(600);
  }
  ~PanelOnDriver() {
    if (!panel_->Ended()) {
      if (!spy_->Sheet().visible) Process(kPanelImage).WaitEnd(2000);
      input::Key(input::Target(kPanelCaption), kEscape, true);
      EXPECT_TRUE(panel_->WaitEnd(2000));
    }
    panel_.reset();
    spy_.reset();
  }
  void ShowPage(size_t index) {
    const ptest::Spy::Rect tab = spy_->TabRect(static_cast<int>(index));
    input::Click(input::Target(kPanelCaption, "", {0x3020}),
                 input::Point{(tab.left + tab.right) / 2, (tab.top + tab.bottom) / 2});
  }
  ptest::ControlState Control(size_t page, int id) { return spy_->Control(ptest::kPages[page], id); }
  void PressPanelButton() {
    m_.Main().PressButton(kPanelButton);
    ptest::RunFor(50);
    m_.Main().ReleaseButton(kPanelButton);
    ptest::RunFor(600);
  }

  DriverMachine m_;
  std::unique_ptr<ptest::Spy> spy_;
  std::unique_ptr<Process> panel_;
};

class PanelEndToEnd : public testing::Test, public PanelOnDriver {};

TEST_F(PanelEndToEnd, TheVersionLabelsShowTheMainUnitsRegisters) {
  const sim::UnitVersions& v = sim::MainUnit::kDefaultVersions;
  EXPECT_EQ(Control(kSettings, 1357).text, "Register: " + std::to_string(v.registerVersion & 0xFFFF));
  EXPECT_EQ(Control(kSettings, 1359).text, "Hardware: " + std::to_string((v.hardwareVersion >> 16) & 0xFF));
  EXPECT_EQ(Control(kSettings, 1358).text, "ARM: " + std::to_string(v.armVersion & 0xFF));
  EXPECT_EQ(Control(kSettings, 1360).text, "FPGA: " + std::to_string(v.fpgaVersion & 0xFF));
}

TEST_F(PanelEndToEnd, TheSurfacesPanelButtonHidesAndShowsThePanelItAttachedTo) {
  ASSERT_TRUE(spy_->Sheet().foreground);
  PressPanelButton();
  EXPECT_FALSE(spy_->Sheet().visible);
  PressPanelButton();
  EXPECT_TRUE(spy_->Sheet().visible);
  EXPECT_TRUE(spy_->Sheet().foreground);
}

// Plug and play's threads, the device broker and the panel's thread meet here: under a table of
// interleaving seeds.
TEST(PanelEndToEndSeeds, UnitsPulledAndPluggedBackStartAgainAndThePanelFollowsThem) {
  struct Case {
    const char* unit;
    bool expansion;
  } cases[] = {{"KR-6", true}, {"main unit", false}};
  for (uint64_t seed : qxtest::InterleavingSeeds(3)) {
    SCOPED_TRACE(qxtest::SeedTrace(seed));
    PanelOnDriver t(seed);
    t.ShowPage(kKr6);
    t.ShowPage(kSettings);
    for (const Case& c : cases) {
      SCOPED_TRACE(c.unit);
      auto started = [&] { return c.expansion ? t.m_.Kr6Started(kSerial) : t.m_.MainStarted(); };
      if (c.expansion) {
        t.m_.UnplugKr6(kSerial);
      } else {
        t.m_.UnplugMain();
      }
      ptest::RunFor(600);
      if (c.expansion) {
        t.ShowPage(kKr6);
        EXPECT_FALSE(t.Control(kKr6, 1100).enabled);
        t.ShowPage(kSettings);
      } else {
        EXPECT_FALSE(t.Control(kSettings, 1018).enabled);
        EXPECT_EQ(t.Control(kSettings, 1357).text, "Register:");
      }
      if (c.expansion) {
        t.m_.PlugKr6(kSerial);
      } else {
        t.m_.PlugMain();
      }
      EXPECT_TRUE(ptest::RunUntil(started, 10000)) << "the panel let the old device go";
      t.m_.Settle();
      ptest::RunFor(600);
      t.ShowPage(kKr6);
      EXPECT_TRUE(t.Control(kKr6, 1100).enabled);
      t.ShowPage(kSettings);
      EXPECT_TRUE(t.Control(kSettings, 1018).enabled);
    }
  }
}

TEST_F(PanelEndToEnd, ASecondStartRaisesTheHiddenPanelAndEnds) {
  PressPanelButton();
  ASSERT_FALSE(spy_->Sheet().visible);
  Process second(kPanelImage);
  ASSERT_TRUE(second.WaitEnd(2000));
  EXPECT_TRUE(spy_->Sheet().visible);
  EXPECT_TRUE(spy_->Sheet().foreground);
  EXPECT_EQ(ptest::TopLevelLines(kPanelCaption).size(), 1u);
}

}  // namespace
