// The Routing page against the unit driver and a simulated main unit: a choice goes to the driver,
// and the arrows drawn are those of the route codes the unit then reports.
#include <gtest/gtest.h>

#include <memory>

#include "tests/client/DriverMachine.h"
#include "tests/panel/PanelSpy.h"
#include "tests/panel/RoutingArrows.h"

namespace {

namespace input = plat::win32::input;
using ptest::Arrow;
using ptest::kBlue;
using ptest::kGreen;
using ptest::kPanelCaption;
using ptest::kRed;
using ptest::kYellow;
using ptest::RoutingArrows;
using enum ptest::Anchor;

// Virtual keys and ids by number: the unit's headers and <windows.h> stay apart.
constexpr uint16_t kReturn = 0x0D;
constexpr uint16_t kEscape = 0x1B;
constexpr uint16_t kEnd = 0x23;
constexpr uint16_t kHome = 0x24;
constexpr uint16_t kDown = 0x28;
constexpr int kOpticalOutSource = 1349;
constexpr int kCoaxOutSource = 1348;
constexpr int kSpdifInRouting = 1347;

class RoutingEndToEnd : public testing::Test {
 protected:
  RoutingEndToEnd() {
    m_.PlugMain();
    m_.Settle();
    spy_ = std::make_unique<ptest::Spy>(m_.Run());
    panel_ = std::make_unique<ptest::Process>(ptest::kPanelImage);
    EXPECT_TRUE(ptest::RunUntil([] { return !ptest::TopLevelLines(kPanelCaption).empty(); }, 10000));
    ptest::RunFor(600);
    const ptest::Spy::Rect tab = spy_->TabRect(1);
    input::Click(input::Target(kPanelCaption, "", {0x3020}),
                 input::Point{(tab.left + tab.right) / 2, (tab.top + tab.bottom) / 2});
    arrows_ = std::make_unique<RoutingArrows>();
  }
  ~RoutingEndToEnd() override {
    input::Key(input::Target(kPanelCaption), kEscape, true);
    EXPECT_TRUE(panel_->WaitEnd(2000));
    panel_.reset();
    spy_.reset();
  }
  // Chooses entry by keys in the list, then closes it; the page sends and polls as each key moves it.
  void Choose(int id, std::initializer_list<uint16_t> keys) {
    input::Click(input::Target(kPanelCaption, "Routing", {id}));
    for (uint16_t vk : keys) input::Key(input::Target(kPanelCaption), vk);
    input::Key(input::Target(kPanelCaption), kReturn);
    m_.Settle();
    ptest::RunFor(600);
  }

  ctest::DriverMachine m_;
  std::unique_ptr<ptest::Spy> spy_;
  std::unique_ptr<ptest::Process> panel_;
  std::unique_ptr<RoutingArrows> arrows_;
};

TEST_F(RoutingEndToEnd, AChoiceDrawsTheArrowsOfTheCodesTheUnitThenReports) {
  struct Step {
    const char* what;
    int id;
    std::initializer_list<uint16_t> keys;
    std::vector<Arrow> arrows;
  };
  // Every connector routed; each choice changes the arrows of its connector alone.
  const Arrow spdifFromCoax = {kYellow, kCoaxIn, kDstSpdif, 80};
  const Arrow adatFromOptical = {kGreen, kOpticalIn, kDstAdat, 55};
  const Arrow spdifFromOptical = {kYellow, kOpticalIn, kDstSpdif, 55};
  const Arrow coaxFromSpdif = {kRed, kSrcSpdif, kCoaxOut, 30};
  const Arrow coaxFromAnalog = {kRed, kSrcAnlg12, kCoaxOut, 30};
  const Arrow opticalCopiesCoax = {kRed, kCoaxOut, kOpticalOut, 30};
  const Arrow opticalFromAdat = {kBlue, kSrcAdat, kOpticalOut, 7};
  const Arrow opticalFromAnalog = {kBlue, kSrcAnlg18, kOpticalOut, 7};
  const Arrow opticalFromInputs = {kBlue, kSrcAnalogInputs, kOpticalOut, 10};
  const Step steps[] = {
      {"the unit's start", 0, {}, {spdifFromCoax, adatFromOptical, coaxFromSpdif, opticalFromAdat}},
      {"optical from the analog outputs", kOpticalOutSource, {kHome, kDown},
       {spdifFromCoax, adatFromOptical, coaxFromSpdif, opticalFromAnalog}},
      {"optical from the analog inputs", kOpticalOutSource, {kEnd},
       {spdifFromCoax, adatFromOptical, coaxFromSpdif, opticalFromInputs}},
      {"optical copies coax", kOpticalOutSource, {kHome, kDown, kDown},
       {spdifFromCoax, adatFromOptical, coaxFromSpdif, opticalCopiesCoax}},
      {"coax from ANLG 1:2", kCoaxOutSource, {kEnd},
       {spdifFromCoax, adatFromOptical, coaxFromAnalog, opticalCopiesCoax}},
      {"SPDIF from optical", kSpdifInRouting, {kEnd}, {spdifFromOptical, coaxFromAnalog, opticalCopiesCoax}},
      {"back to the start", kOpticalOutSource, {kHome}, {spdifFromOptical, coaxFromAnalog, opticalFromAdat}},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.what);
    if (s.id != 0) Choose(s.id, s.keys);
    EXPECT_EQ(RoutingArrows::Painted(), arrows_->Drawn(s.arrows));
  }
}

}  // namespace
