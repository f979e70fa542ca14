// What a DC drew, operation by operation, in the DC's own coordinates and with no handle values,
// so two runs of the same drawing print the same text whatever the handles were.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/win32/Raster.h"
#include "platform/win32/RasterRegion.h"

namespace plat::win32 {

struct DrawnPen {
  bool null = false;
  bool geometric = false;
  int32_t width = 0;
  LineCap cap = LineCap::Round;
  uint32_t colour = 0;  // COLORREF
};

struct DrawnBrush {
  bool null = false;
  uint32_t colour = 0;
  int32_t hatch = -1;   // HS_ style of a hatched brush
  std::string pattern;  // the bitmap of a pattern brush
};

struct DrawnFont {
  std::string face;
  int32_t height = 0;
  int32_t weight = 0;
  bool italic = false;
  bool underline = false;
};

struct DrawingOperation {
  enum class Kind : uint8_t { Line, Fill, Rectangle, Frame, Blit, Text, Focus, Pixel, Polygon, Ellipse, RoundRect };
  Kind kind = Kind::Fill;
  // Line: the points of a run of connected segments drawn with one pen; Polygon: its corners.
  std::vector<std::pair<int32_t, int32_t>> points;
  DrawnPen pen;
  // Line, Rectangle: how the pen meets the pixels (SetROP2's mode), R2_COPYPEN unless set.
  static constexpr int32_t kCopyPen = 13;
  int32_t mix = kCopyPen;
  // Fill, Frame, Rectangle, Focus, Ellipse, RoundRect: the rectangle; Blit: the destination; Text:
  // the opaque rectangle. RoundRect's corner ellipse is x by y.
  RasterRect rect{};
  DrawnBrush brush;
  // Blit: the raster operation, its source ("" for none) and the source's rectangle; a conversion
  // between mono and colour records the colours it took (textColour and backColour).
  enum class Conversion : uint8_t { None, MonoToColour, ColourToMono };
  uint32_t rop = 0;
  std::string source;
  RasterRect sourceRect{};
  Conversion conversion = Conversion::None;
  // Pixel: the pixel at (x, y) set to textColour.
  // Text: the run at (x, y) in its font and colours; `opaque` when the background was filled.
  std::string text;
  int32_t x = 0;
  int32_t y = 0;
  DrawnFont font;
  uint32_t textColour = 0;
  uint32_t backColour = 0;
  bool opaque = false;      // the cells' background was filled (OPAQUE mode)
  bool opaqueRect = false;  // the rectangle was filled first (ETO_OPAQUE)
  int32_t mnemonic = -1;    // the index of a character underlined alone (DrawText's '&')
};

class DrawingRecord {
 public:
  const std::vector<DrawingOperation>& Operations() const { return operations_; }

  void Add(DrawingOperation operation);
  // A line from the pen's position: joined to the last operation when that was a line with the
  // same pen ending where this one starts.
  void AddLine(int32_t x1, int32_t y1, int32_t x2, int32_t y2, const DrawnPen& pen, int32_t mix);

  // One line per operation, e.g.
  //   line 10,20 30,20 30,40 pen=geometric width=4 cap=square #0000FF
  //   blit 0,0-32,32 SRCAND source="mono 32x32" at 0,0 text=#000000 back=#FFFFFF
  std::string Print() const;
  static std::string PrintOperation(const DrawingOperation& operation);
  // The name of a raster operation (SRCCOPY, ...), or its value in hex for one without a name.
  static std::string RopName(uint32_t rop);

 private:
  std::vector<DrawingOperation> operations_;
};

}  // namespace plat::win32
