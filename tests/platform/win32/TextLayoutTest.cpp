// DrawText's layout: alignment, line ends, word wrapping and '&' prefixes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/win32/ScaledFont.h"
#include "platform/win32/TextLayout.h"

namespace plat::win32 {
namespace {

using H = TextLayoutFormat::Horizontal;
using V = TextLayoutFormat::Vertical;

struct Expected {
  std::string text;
  int32_t x;
  int32_t y;
  int32_t mnemonic;
};

TEST(TextLayout, PlacesLinesByAlignmentLineEndsWrappingAndPrefixes) {
  struct Case {
    const char* name;
    const char* text;
    RasterRect rect;
    TextLayoutFormat format;
    std::vector<Expected> lines;
    int32_t height;
  };
  // "Settings" is 45 pixels wide and a line 13 high at -11.
  const Case cases[] = {
      {"left, top", "Settings", {0, 0, 100, 40}, {H::Left, V::Top, true, false, false}, {{"Settings", 0, 0, -1}}, 13},
      {"centred", "Settings", {0, 0, 100, 40}, {H::Centre, V::Top, true, false, false}, {{"Settings", 27, 0, -1}}, 13},
      {"right", "Settings", {10, 0, 100, 40}, {H::Right, V::Top, true, false, false}, {{"Settings", 55, 0, -1}}, 13},
      {"vertically centred",
       "Settings",
       {0, 0, 100, 40},
       {H::Left, V::Centre, true, false, false},
       {{"Settings", 0, 13, -1}},
       26},
      {"bottom", "Settings", {0, 0, 100, 40}, {H::Left, V::Bottom, true, false, false}, {{"Settings", 0, 27, -1}}, 40},
      {"a prefix underlines the next character",
       "&Apply",
       {0, 0, 100, 20},
       {H::Left, V::Top, true, false, false},
       {{"Apply", 0, 0, 0}},
       13},
      {"a doubled prefix is one ampersand",
       "A&&B",
       {0, 0, 100, 20},
       {H::Left, V::Top, true, false, false},
       {{"A&B", 0, 0, -1}},
       13},
      {"no prefix keeps the ampersand",
       "&Apply",
       {0, 0, 100, 20},
       {H::Left, V::Top, true, false, true},
       {{"&Apply", 0, 0, -1}},
       13},
      {"line ends split lines",
       "a\r\nb\nc",
       {0, 0, 100, 20},
       {H::Left, V::Top, false, false, false},
       {{"a", 0, 0, -1}, {"b", 0, 13, -1}, {"c", 0, 26, -1}},
       39},
      {"a single line ignores line ends",
       "a\r\nb",
       {0, 0, 100, 20},
       {H::Left, V::Top, true, false, false},
       {{"ab", 0, 0, -1}},
       13},
      {"words wrap at spaces",
       "one two three",
       {0, 0, 50, 60},
       {H::Left, V::Top, false, true, false},
       {{"one two", 0, 0, -1}, {"three", 0, 13, -1}},
       26},
      {"a word wider than the line stays whole",
       "Sample rate",
       {0, 0, 10, 60},
       {H::Left, V::Top, false, true, false},
       {{"Sample", 0, 0, -1}, {"rate", 0, 13, -1}},
       26},
      {"no text, no lines", "", {0, 0, 100, 20}, {H::Left, V::Top, true, false, false}, {}, 0},
  };
  const ScaledFont font(-11, 400, false);
  for (const Case& c : cases) {
    const TextLayoutResult result = TextLayout::Lay(c.text, font, c.rect, c.format);
    ASSERT_EQ(result.lines.size(), c.lines.size()) << c.name;
    for (size_t i = 0; i < c.lines.size(); ++i) {
      EXPECT_EQ(result.lines[i].text, c.lines[i].text) << c.name;
      EXPECT_EQ(result.lines[i].x, c.lines[i].x) << c.name;
      EXPECT_EQ(result.lines[i].y, c.lines[i].y) << c.name;
      EXPECT_EQ(result.lines[i].mnemonic, c.lines[i].mnemonic) << c.name;
    }
    EXPECT_EQ(result.height, c.height) << c.name;
  }
}

TEST(TextLayout, CalculatedRectangleHoldsTheWidestLine) {
  const ScaledFont font(-11, 400, false);
  const TextLayoutResult result = TextLayout::Lay("Settings\nab", font, {5, 7, 200, 100}, {});
  EXPECT_EQ(result.extent, (RasterRect{5, 7, 50, 33}));
}

}  // namespace
}  // namespace plat::win32
