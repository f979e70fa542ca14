// DrawText's layout: lines split at line ends (or one line), words wrapped to the rectangle's
// width, '&' prefixes taken out and the character after each remembered, and every line placed by
// the horizontal and vertical alignment. All in the DC's coordinates, from the font's extents.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win32/RasterRegion.h"

namespace plat::win32 {

class ScaledFont;

struct TextLayoutFormat {
  enum class Horizontal : uint8_t { Left, Centre, Right };
  enum class Vertical : uint8_t { Top, Centre, Bottom };
  Horizontal horizontal = Horizontal::Left;
  Vertical vertical = Vertical::Top;  // only a single line is placed other than at the top
  bool singleLine = false;
  bool wordBreak = false;
  bool noPrefix = false;
};

struct TextLayoutLine {
  std::string text;
  int32_t x;
  int32_t y;
  int32_t width;
  int32_t mnemonic;  // index into `text` of the prefixed character, -1 for none
};

struct TextLayoutResult {
  std::vector<TextLayoutLine> lines;
  // The rectangle the lines take, from the layout rectangle's top left (DT_CALCRECT's answer).
  RasterRect extent;
  // DrawText's answer: the text's height, or for a line placed lower the offset of its bottom.
  int32_t height;
};

class TextLayout {
 public:
  static TextLayoutResult Lay(std::string_view text, const ScaledFont& font, const RasterRect& rect,
                              const TextLayoutFormat& format);
};

}  // namespace plat::win32
