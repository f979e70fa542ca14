// The MIDI programming page end to end: the unit driver and a simulated main unit in programming
// mode. Two edits made within one poll period both reach register 0x410, the second built on the
// word the first produced.
#include <gtest/gtest.h>

#include <vector>

#include "panel/resource.h"
#include "sim/units/MainUnit.h"
#include "tests/client/DriverMachine.h"
#include "tests/panel/PanelSpy.h"
#include "tests/panel/WindowDump.h"
#include "tests/support/Seeds.h"

namespace {

namespace input = plat::win32::input;
using ptest::kPanelCaption;
using ptest::kPanelImage;
using ptest::Process;

constexpr char kPage[] = "MIDI Programming";
constexpr uint16_t kEscape = 0x1B;  // VK_ESCAPE: the unit's headers and <windows.h> stay apart
constexpr uint32_t kProgrammingWordRegister = 0x410;
// "Select 1" on the original hardware, controller 60 on channel 1, in programming mode.
constexpr uint32_t kSelect1 = 1u << 30 | 2u << 24 | 0x30u << 16 | 0x80 | 60;

TEST(MidiProgOnDriver, TwoEditsWithinOnePollBothReachTheUnit) {
  // The edits race the poll and the driver's completions: under every interleaving.
  for (uint64_t seed : qxtest::InterleavingSeeds(3)) {
    SCOPED_TRACE(qxtest::SeedTrace(seed));
    ctest::DriverMachine m(seed);
    m.PlugMain();
    m.Settle();
    auto spy = std::make_unique<ptest::Spy>(m.Run());
    auto panel = std::make_unique<Process>(kPanelImage);
    ASSERT_TRUE(ptest::RunUntil([] { return !ptest::TopLevelLines(kPanelCaption).empty(); }, 10000));
    ptest::RunFor(600);

    // The unit enters programming mode: the panel comes up on its MIDI programming page.
    m.Main().SetProgrammingWord(kSelect1);
    ptest::RunFor(1200);
    EXPECT_EQ(spy->Sheet().page, kPage);
    EXPECT_EQ(spy->Control(kPage, IDC_CONTROL_NAME).text, "Select 1");

    m.Main().ClearWriteLog();
    ASSERT_TRUE(input::Click(input::Target(kPanelCaption, kPage, {IDC_PORT2})));
    ASSERT_TRUE(input::Click(input::Target(kPanelCaption, kPage, {IDC_PORT3})));
    ptest::RunFor(100);
    std::vector<uint32_t> written;
    for (const sim::RegisterWrite& w : m.Main().WriteLog())
      if (w.offset == kProgrammingWordRegister) written.push_back(w.value);
    EXPECT_EQ(written, std::vector<uint32_t>({kSelect1 | 1u << 13, kSelect1 | 1u << 13 | 1u << 14}));
    EXPECT_EQ(m.Main().Register(kProgrammingWordRegister), kSelect1 | 1u << 13 | 1u << 14);
    ptest::RunFor(600);
    EXPECT_EQ(spy->Control(kPage, IDC_PORT2).check, 1);
    EXPECT_EQ(spy->Control(kPage, IDC_PORT3).check, 1);

    if (!spy->Sheet().visible) Process(kPanelImage).WaitEnd(2000);
    input::Key(input::Target(kPanelCaption), kEscape, true);
    EXPECT_TRUE(panel->WaitEnd(2000));
  }
}

}  // namespace
