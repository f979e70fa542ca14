// The Routing page's arrows as a test expects them: where each begins and ends, read off the window
// dump, and the lines of the page's drawing dump that draw it.
#pragma once

#include <cstdio>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/win32/Snapshot.h"
#include "tests/panel/WindowDump.h"

namespace ptest {

// Where arrows begin and end.
enum Anchor {
  kSrcSpdif,
  kSrcAdat,
  kSrcAnlg12,
  kSrcAnlg18,
  kSrcAnalogInputs,
  kDstSpdif,
  kDstAdat,
  kCoaxIn,
  kCoaxOut,
  kOpticalIn,
  kOpticalOut,
  kAnchors
};

struct Arrow {
  unsigned colour;  // COLORREF
  Anchor from;
  Anchor to;
  int percent;
};

inline constexpr unsigned kYellow = 0x00FFFF;
inline constexpr unsigned kGreen = 0x00FF00;
inline constexpr unsigned kRed = 0x0000FF;
inline constexpr unsigned kBlue = 0xFF8000;

struct Spot {
  int x, y;
};

class RoutingArrows {
 public:
  // Reads the page's labels off the window dump once the page has been shown.
  RoutingArrows() {
    page_ = RectOf(PageLine());
    // Sources end right of their labels, destinations begin left of theirs, level with their middles.
    const std::pair<Anchor, int> labels[] = {{kSrcSpdif, 1350},        {kSrcAdat, 1352},  {kSrcAnlg12, 1351},
                                             {kSrcAnlg18, 1353},       {kSrcAnalogInputs, 1391},
                                             {kDstSpdif, 1354},        {kDstAdat, 1355}};
    for (const auto& [anchor, id] : labels) {
      const ScreenRect r = RectOf(ControlLine("Routing", id));
      const int x = anchor < kDstSpdif ? r.right + 2 : r.left - 2;
      points_[anchor] = {x - page_.left, (r.top + r.bottom) / 2 - page_.top};
    }
    // The connectors' fixed rectangles in dialog units, in pixels of the dialog's base units 6 x 13.
    points_[kCoaxIn] = {323, 188};
    points_[kCoaxOut] = {322, 232};
    points_[kOpticalIn] = {232, 199};
    points_[kOpticalOut] = {151, 199};
  }

  const ScreenRect& Page() const { return page_; }
  Spot At(Anchor a) const { return points_[a]; }
  int Corner(int percent) const {
    return points_[kSrcSpdif].x + (points_[kDstSpdif].x - points_[kSrcSpdif].x) * percent / 100;
  }

  // The dump's lines of one arrow: its three legs and the first stroke of its head as one run, the
  // second stroke of the head from the tip.
  std::vector<std::string> Strokes(const Arrow& a) const {
    const Spot from = points_[a.from], to = points_[a.to];
    char pen[64];
    std::snprintf(pen, sizeof pen, " pen=geometric width=4 cap=square #%02X%02X%02X", a.colour & 0xFF,
                  (a.colour >> 8) & 0xFF, (a.colour >> 16) & 0xFF);
    auto at = [](int x, int y) { return " " + std::to_string(x) + "," + std::to_string(y); };
    if (from.y == to.y) return {"line" + at(from.x, from.y) + at(to.x, to.y) + pen};
    const int corner = Corner(a.percent);
    const int s = from.x <= to.x ? 8 : -8;
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

  // The lines the page last painted.
  static std::vector<std::string> Painted() {
    std::vector<std::string> lines;
    std::istringstream dump(plat::win32::picture::DumpDrawing());
    bool inPanel = false, inPage = false, inPaint = false;
    for (std::string line; std::getline(dump, line);) {
      const bool window = line.find(" id=") != std::string::npos && line.find('[') != std::string::npos;
      if (window) {
        if (Depth(line) == 0) inPanel = line.find(std::string("\"") + kPanelCaption + "\"") != std::string::npos;
        inPage = inPanel && Depth(line) == 1 && line.find("\"Routing\"") != std::string::npos;
        inPaint = false;
      } else if (inPage && line.find_first_not_of(' ') == 4) {
        inPaint = line == "    paint:";
      } else if (inPage && inPaint && line.rfind("      line ", 0) == 0) {
        lines.push_back(line.substr(6));
      }
    }
    return lines;
  }

 private:
  static size_t Depth(const std::string& line) { return line.find_first_not_of(' ') / 2; }
  static std::string PageLine() {
    std::istringstream dump(input::DumpWindows());
    for (std::string line; std::getline(dump, line);)
      if (Depth(line) == 1 && line.find("\"Routing\"") != std::string::npos) return line;
    return {};
  }

  ScreenRect page_{};
  Spot points_[kAnchors] = {};
};

}  // namespace ptest
