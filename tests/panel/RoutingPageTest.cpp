// The Routing page: each list sends its choice and polls at once, and the arrows over the picture
// of the connectors follow the route codes the unit reports.
#include <windows.h>

#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "panel/resource.h"
#include "platform/win32/Snapshot.h"
#include "tests/panel/PanelTest.h"

namespace {

using ptest::kPanelCaption;
using ptest::PanelOnUnits;
using ptest::ScreenRect;
namespace input = plat::win32::input;
namespace picture = plat::win32::picture;

constexpr size_t kRouting = 1;

size_t Depth(const std::string& line) { return line.find_first_not_of(' ') / 2; }

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

std::vector<std::string> Lines(const std::vector<std::string>& ops) {
  std::vector<std::string> lines;
  for (const std::string& op : ops)
    if (op.rfind("line ", 0) == 0) lines.push_back(op);
  return lines;
}

// Where arrows begin and end.
enum Anchor { kSrcSpdif, kSrcAdat, kSrcAnlg12, kSrcAnlg18, kSrcAnalogInputs, kDstSpdif, kDstAdat,
              kCoaxIn, kCoaxOut, kOpticalIn, kOpticalOut, kAnchors };

struct Arrow {
  COLORREF colour;
  Anchor from;
  Anchor to;
  int percent;
};

constexpr COLORREF kYellow = RGB(255, 255, 0);
constexpr COLORREF kGreen = RGB(0, 255, 0);
constexpr COLORREF kRed = RGB(255, 0, 0);
constexpr COLORREF kBlue = RGB(0, 128, 255);

class RoutingPage : public PanelOnUnits {
 protected:
  void SetUp() override {
    main_ = PlugMain();
    StartPanel();
    ShowPage(kRouting);
    page_ = ptest::RectOf(PageLine());
    // Sources end right of their labels, destinations begin left of theirs, level with their middles.
    const std::pair<Anchor, int> labels[] = {
        {kSrcSpdif, IDC_SOURCE_SPDIF}, {kSrcAdat, IDC_SOURCE_ADAT},   {kSrcAnlg12, IDC_SOURCE_ANLG12},
        {kSrcAnlg18, IDC_SOURCE_ANLG18}, {kSrcAnalogInputs, IDC_SOURCE_ANALOG_INPUTS},
        {kDstSpdif, IDC_DEST_SPDIF},   {kDstAdat, IDC_DEST_ADAT}};
    for (const auto& [anchor, id] : labels) {
      const ScreenRect r = RectOn(id);
      const int x = anchor < kDstSpdif ? r.right + 2 : r.left - 2;
      points_[anchor] = {x - page_.left, (r.top + r.bottom) / 2 - page_.top};
    }
    // The connectors' fixed rectangles in dialog units, in pixels of the dialog's base units 6 x 13.
    points_[kCoaxIn] = {323, 188};
    points_[kCoaxOut] = {322, 232};
    points_[kOpticalIn] = {232, 199};
    points_[kOpticalOut] = {151, 199};
  }

  static input::Target On(int id) { return input::Target(kPanelCaption, "Routing", {id}); }
  ScreenRect RectOn(int id) { return ptest::RectOf(ptest::ControlLine("Routing", id)); }
  std::string PageLine() {
    std::istringstream dump(input::DumpWindows());
    for (std::string line; std::getline(dump, line);)
      if (Depth(line) == 1 && line.find("\"Routing\"") != std::string::npos) return line;
    return {};
  }
  void Report(uint8_t optical, uint8_t spdifA, uint8_t coax, uint8_t spdifB) {
    Change(main_, [&](ctest::UnitBlocks& b) {
      b.shared.mOpticalOutCode = optical;
      b.shared.mSpdifInCodeA = spdifA;
      b.shared.mCoaxOutCode = coax;
      b.shared.mSpdifInCodeB = spdifB;
    });
  }

  // The dump's lines of one arrow: its three legs and the first stroke of its head as one run, the
  // second stroke of the head from the tip.
  std::vector<std::string> Strokes(const Arrow& a) const {
    const POINT from = points_[a.from], to = points_[a.to];
    char pen[64];
    std::snprintf(pen, sizeof pen, " pen=geometric width=4 cap=square #%02X%02X%02X", GetRValue(a.colour),
                  GetGValue(a.colour), GetBValue(a.colour));
    auto at = [](LONG x, LONG y) { return " " + std::to_string(x) + "," + std::to_string(y); };
    if (from.y == to.y) return {"line" + at(from.x, from.y) + at(to.x, to.y) + pen};
    const LONG corner = points_[kSrcSpdif].x + (points_[kDstSpdif].x - points_[kSrcSpdif].x) * a.percent / 100;
    const LONG s = from.x <= to.x ? 8 : -8;
    return {"line" + at(from.x, from.y) + at(corner, from.y) + at(corner, to.y) + at(to.x, to.y) +
                at(to.x - s, to.y - s) + pen,
            "line" + at(to.x, to.y) + at(to.x - s, to.y + s) + pen};
  }
  std::vector<std::string> Drawn(const std::vector<Arrow>& arrows) const {
    std::vector<std::string> lines;
    for (const Arrow& a : arrows)
      for (std::string& line : Strokes(a)) lines.push_back(std::move(line));
    return lines;
  }

  ctest::Machine::Unit main_ = nullptr;
  ScreenRect page_{};
  POINT points_[kAnchors] = {};
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
  }
}

TEST_F(RoutingPage, TheArrowsFollowTheCodesTheUnitReportsNotTheChoice) {
  // The unit takes the choice of "Analog Outputs 1:8" but reports its ADAT code: the arrow is ADAT's,
  // drawn as the poll that follows the choice brings the code.
  Report(6, 0, 0, 0);
  input::Click(On(IDC_OPTICAL_OUT_SOURCE));
  input::Key(input::Target(kPanelCaption), VK_DOWN);
  EXPECT_EQ(Lines(PaintOf("Routing")), Drawn({{kBlue, kSrcAdat, kOpticalOut, 7}}));
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
    EXPECT_EQ(Lines(PaintOf("Routing")), Drawn(c.arrows));
  }
  EXPECT_EQ(ctest::Requests(m_, main_, 11).size(), 0u);
}

TEST_F(RoutingPage, TheConnectorPointsFallOnThePicturesConnectorsAndArrowsLieOnTop) {
  const ScreenRect picture = RectOn(IDC_CONNECTOR_PICTURE);
  ASSERT_EQ(picture.right - picture.left, 277);
  ASSERT_EQ(picture.bottom - picture.top, 146);
  const ScreenRect sheet = ptest::RectOf(ptest::TopLevelLines(kPanelCaption).at(0));
  auto shotAt = [&](const std::shared_ptr<const plat::win32::RasterSurface>& shot, POINT p) {
    return shot->Pixel(page_.left - sheet.left + p.x, page_.top - sheet.top + p.y);
  };
  std::shared_ptr<const plat::win32::RasterSurface> bare = picture::Snapshot(input::Target(kPanelCaption));
  ASSERT_NE(bare, nullptr);
  // The centre of each coaxial jack is black, of each optical port red.
  EXPECT_EQ(shotAt(bare, points_[kCoaxIn]), RGB(15, 15, 15));
  EXPECT_EQ(shotAt(bare, points_[kCoaxOut]), RGB(15, 15, 15));
  EXPECT_EQ(shotAt(bare, points_[kOpticalIn]), RGB(200, 30, 30));
  EXPECT_EQ(shotAt(bare, points_[kOpticalOut]), RGB(200, 30, 30));

  Report(3, 0, 0, 0);
  Tick();
  std::shared_ptr<const plat::win32::RasterSurface> routed = picture::Snapshot(input::Target(kPanelCaption));
  ASSERT_NE(routed, nullptr);
  // The last leg of the blue arrow runs over the picture to the optical output.
  const LONG corner = points_[kSrcSpdif].x + (points_[kDstSpdif].x - points_[kSrcSpdif].x) * 10 / 100;
  const POINT onLeg{(corner + points_[kOpticalOut].x) / 2, points_[kOpticalOut].y};
  ASSERT_GT(onLeg.x + page_.left, picture.left);
  EXPECT_NE(shotAt(bare, onLeg), kBlue);
  EXPECT_EQ(shotAt(routed, onLeg), kBlue);
  EXPECT_EQ(shotAt(routed, points_[kCoaxIn]), RGB(15, 15, 15)) << "the picture away from the arrow";
}

}  // namespace
