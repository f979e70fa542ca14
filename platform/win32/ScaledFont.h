// A font at one size: its metrics and advances scaled from the font file's design units by integer
// arithmetic of our own, so text extents are the same wherever the same file is installed.
#pragma once

#include <cstdint>
#include <string_view>

namespace plat::win32 {

class ScaledFont {
 public:
  // `height` as a LOGFONT's: negative the character (em) height, positive the cell height
  // (ascent and descent), 0 the default size. A weight of 600 or more is drawn emboldened.
  ScaledFont(int32_t height, int32_t weight, bool underline);

  int32_t PixelsPerEm() const { return pixelsPerEm_; }
  int32_t Ascent() const { return ascent_; }
  int32_t Descent() const { return descent_; }
  int32_t Height() const { return ascent_ + descent_; }
  int32_t InternalLeading() const { return ascent_ + descent_ - pixelsPerEm_; }
  int32_t AverageWidth() const { return averageWidth_; }
  int32_t MaxWidth() const { return maxWidth_; }
  bool Bold() const { return bold_; }
  bool Underline() const { return underline_; }
  // The underline's top row below the baseline and its thickness, in pixels.
  int32_t UnderlineOffset() const { return underlineOffset_; }
  int32_t UnderlineThickness() const { return underlineThickness_; }

  int32_t Advance(char16_t c) const;
  int32_t Width(std::u16string_view text) const;

 private:
  int32_t Scale(int32_t designUnits) const;

  int32_t pixelsPerEm_;
  int32_t unitsPerEm_;
  int32_t ascent_;
  int32_t descent_;
  int32_t averageWidth_;
  int32_t maxWidth_;
  bool bold_;
  bool underline_;
  int32_t underlineOffset_;
  int32_t underlineThickness_;
};

}  // namespace plat::win32
