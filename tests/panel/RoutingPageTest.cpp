// The Routing page: each list sends its choice and polls at once, and the arrows over the picture
// of the connectors follow the route codes the unit reports.
#include <windows.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "panel/resource.h"
#include "platform/win32/Snapshot.h"
#include "tests/panel/PanelTest.h"
#include "tests/panel/RoutingArrows.h"

namespace {

using ptest::kPanelCaption;
using ptest::PanelOnUnits;
using ptest::ScreenRect;
namespace input = plat::win32::input;
namespace picture = plat::win32::picture;

constexpr size_t kRouting = 1;

using ptest::Arrow;
using ptest::kBlue;
using ptest::kGreen;
using ptest::kRed;
using ptest::kYellow;
using ptest::RoutingArrows;
using enum ptest::Anchor;

class RoutingPage : public PanelOnUnits {
 protected:
  void SetUp() override {
    main_ = PlugMain();
    StartPanel();
    ShowPage(kRouting);
    arrows_ = std::make_unique<RoutingArrows>();
  }

  static input::Target On(int id) { return input::Target(kPanelCaption, "Routing", {id}); }
  void Report(uint8_t optical, uint8_t spdifA, uint8_t coax, uint8_t spdifB) {
    Change(main_, [&](ctest::UnitBlocks& b) {
      b.shared.mOpticalOutCode = optical;
      b.shared.mSpdifInCodeA = spdifA;
      b.shared.mCoaxOutCode = coax;
      b.shared.mSpdifInCodeB = spdifB;
    });
  }
  // A picture's pixel at a point of the page.
  uint32_t PixelAt(const std::shared_ptr<const plat::win32::RasterSurface>& shot, ptest::Spot p) const {
    const ScreenRect sheet = ptest::RectOf(ptest::TopLevelLines(kPanelCaption).at(0));
    const ScreenRect& page = arrows_->Page();
    return shot->Pixel(page.left - sheet.left + p.x, page.top - sheet.top + p.y);
  }

  ctest::Machine::Unit main_ = nullptr;
  std::unique_ptr<RoutingArrows> arrows_;
};

TEST_F(RoutingPage, EachListSendsItsChoiceAndPollsAtOnce) {
  struct Case {
    int id;
    uint32_t parameter;
    std::vector<std::pair<uint16_t, uint32_t>> keys;  // a key, and the value it sends
  };
  const Case cases[] = {
      {IDC_OPTICAL_OUT_SOURCE, 48, {{VK_END, 3}, {VK_HOME, 1}, {VK_DOWN, 2}, {VK_DOWN, 4}, {VK_DOWN, 3}}},
      {IDC_COAX_OUT_SOURCE, 52, {{VK_END, 2}, {VK_HOME, 1}}},
      {IDC_SPDIF_IN_ROUTING, 56, {{VK_END, 2}, {VK_HOME, 1}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    input::Click(On(c.id));
    for (const auto& [vk, value] : c.keys) {
      m_.ClearLog(main_);
      input::Key(input::Target(kPanelCaption), vk);
      const std::vector<scripted::LogEntry> log = m_.Log(main_);
      ASSERT_EQ(log.size(), 2u) << "the setting, then the poll's change counter";
      EXPECT_EQ(log[0].request, 11u);
      EXPECT_EQ(ctest::LoggedWord(log[0], 2), c.parameter);
      EXPECT_EQ(ctest::LoggedWord(log[0], 3), value);
      EXPECT_EQ(log[1].request, 1u);
    }
    input::Key(input::Target(kPanelCaption), VK_RETURN);
  }
}

TEST_F(RoutingPage, TheArrowsFollowTheCodesTheUnitReportsNotTheChoice) {
  // The unit takes the choice of "Analog Outputs 1:8" but reports its ADAT code: the arrow is ADAT's,
  // drawn as the poll that follows the choice brings the code.
  Report(6, 0, 0, 0);
  input::Click(On(IDC_OPTICAL_OUT_SOURCE));
  input::Key(input::Target(kPanelCaption), VK_DOWN);
  input::Key(input::Target(kPanelCaption), VK_RETURN);
  EXPECT_EQ(RoutingArrows::Painted(), arrows_->Drawn({{kBlue, kSrcAdat, kOpticalOut, 7}}));
  EXPECT_EQ(Control(kRouting, IDC_OPTICAL_OUT_SOURCE).text, "Analog Outputs 1:8");
}

TEST_F(RoutingPage, EachRouteCodeDrawsItsArrowsInOrderAndOthersDrawNothing) {
  struct Case {
    const char* what;
    uint8_t optical, spdifA, coax, spdifB;
    std::vector<Arrow> arrows;
  };
  const Case cases[] = {
      {"nothing routed", 0, 0, 0, 0, {}},
      {"SPDIF in B", 0, 0, 0, 5, {{kYellow, kCoaxIn, kDstSpdif, 80}, {kGreen, kOpticalIn, kDstAdat, 55}}},
      {"SPDIF in A", 0, 5, 0, 0, {{kYellow, kOpticalIn, kDstSpdif, 55}}},
      {"coax from SPDIF", 0, 0, 5, 0, {{kRed, kSrcSpdif, kCoaxOut, 30}}},
      {"coax from ANLG 1:2", 0, 0, 4, 0, {{kRed, kSrcAnlg12, kCoaxOut, 30}}},
      {"optical copies coax (5)", 5, 0, 0, 0, {{kRed, kCoaxOut, kOpticalOut, 30}}},
      {"optical copies coax (4)", 4, 0, 0, 0, {{kRed, kCoaxOut, kOpticalOut, 30}}},
      {"optical from ADAT", 6, 0, 0, 0, {{kBlue, kSrcAdat, kOpticalOut, 7}}},
      {"optical from ANLG 1:8", 2, 0, 0, 0, {{kBlue, kSrcAnlg18, kOpticalOut, 7}}},
      {"optical from the analog inputs", 3, 0, 0, 0, {{kBlue, kSrcAnalogInputs, kOpticalOut, 10}}},
      {"codes that draw nothing", 1, 1, 1, 1, {}},
      {"other codes that draw nothing", 7, 6, 6, 6, {}},
      {"every connector at once",
       3,
       5,
       4,
       5,
       {{kYellow, kCoaxIn, kDstSpdif, 80},
        {kYellow, kOpticalIn, kDstSpdif, 55},
        {kGreen, kOpticalIn, kDstAdat, 55},
        {kRed, kSrcAnlg12, kCoaxOut, 30},
        {kBlue, kSrcAnalogInputs, kOpticalOut, 10}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Report(c.optical, c.spdifA, c.coax, c.spdifB);
    Tick();
    EXPECT_EQ(RoutingArrows::Painted(), arrows_->Drawn(c.arrows));
  }
  EXPECT_EQ(ctest::Requests(m_, main_, 11).size(), 0u);
}

TEST_F(RoutingPage, TheConnectorPointsFallOnThePicturesConnectorsAndArrowsLieOnTop) {
  const ScreenRect drawn = ptest::RectOf(ptest::ControlLine("Routing", IDC_CONNECTOR_PICTURE));
  ASSERT_EQ(drawn.right - drawn.left, 277);
  ASSERT_EQ(drawn.bottom - drawn.top, 146);
  std::shared_ptr<const plat::win32::RasterSurface> bare = picture::Snapshot(input::Target(kPanelCaption));
  ASSERT_NE(bare, nullptr);
  // The centre of each coaxial jack is black, of each optical port red.
  EXPECT_EQ(PixelAt(bare, arrows_->At(kCoaxIn)), RGB(15, 15, 15));
  EXPECT_EQ(PixelAt(bare, arrows_->At(kCoaxOut)), RGB(15, 15, 15));
  EXPECT_EQ(PixelAt(bare, arrows_->At(kOpticalIn)), RGB(200, 30, 30));
  EXPECT_EQ(PixelAt(bare, arrows_->At(kOpticalOut)), RGB(200, 30, 30));

  Report(3, 0, 0, 0);
  Tick();
  std::shared_ptr<const plat::win32::RasterSurface> routed = picture::Snapshot(input::Target(kPanelCaption));
  ASSERT_NE(routed, nullptr);
  // The last leg of the blue arrow runs over the picture to the optical output.
  const ptest::Spot onLeg{(arrows_->Corner(10) + arrows_->At(kOpticalOut).x) / 2, arrows_->At(kOpticalOut).y};
  ASSERT_GT(onLeg.x + arrows_->Page().left, drawn.left);
  EXPECT_NE(PixelAt(bare, onLeg), kBlue);
  EXPECT_EQ(PixelAt(routed, onLeg), kBlue);
  EXPECT_EQ(PixelAt(routed, arrows_->At(kCoaxIn)), RGB(15, 15, 15)) << "the picture away from the arrow";
}

}  // namespace
