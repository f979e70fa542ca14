#include "platform/win32/ScaledFont.h"

#include <algorithm>

#include "platform/win32/FontFile.h"

namespace plat::win32 {

namespace {

constexpr int32_t kDefaultPixelsPerEm = 12;
constexpr int32_t kBoldWeight = 600;

// a * b / c rounded to nearest, halves away from zero; c > 0.
int32_t MulDivRound(int64_t a, int64_t b, int64_t c) {
  const int64_t p = a * b;
  return static_cast<int32_t>(p >= 0 ? (p + c / 2) / c : -((-p + c / 2) / c));
}

}  // namespace

ScaledFont::ScaledFont(int32_t height, int32_t weight, bool underline)
    : bold_(weight >= kBoldWeight), underline_(underline) {
  const FontDesign& design = FontFile::Instance().Design();
  unitsPerEm_ = design.unitsPerEm;
  if (height < 0) {
    pixelsPerEm_ = -height;
  } else if (height > 0) {
    pixelsPerEm_ = std::max(1, MulDivRound(height, design.unitsPerEm, design.winAscent + design.winDescent));
  } else {
    pixelsPerEm_ = kDefaultPixelsPerEm;
  }
  ascent_ = Scale(design.winAscent);
  descent_ = Scale(design.winDescent);
  averageWidth_ = Scale(design.averageWidth) + (bold_ ? 1 : 0);
  maxWidth_ = Scale(design.maxAdvance) + (bold_ ? 1 : 0);
  underlineOffset_ = std::max(1, -Scale(design.underlinePosition));
  underlineThickness_ = std::max(1, Scale(design.underlineThickness));
}

int32_t ScaledFont::Scale(int32_t designUnits) const { return MulDivRound(designUnits, pixelsPerEm_, unitsPerEm_); }

int32_t ScaledFont::Advance(char16_t c) const { return Scale(FontFile::Instance().Advance(c)) + (bold_ ? 1 : 0); }

int32_t ScaledFont::Width(std::u16string_view text) const {
  int32_t width = 0;
  for (char16_t c : text) width += Advance(c);
  return width;
}

}  // namespace plat::win32
