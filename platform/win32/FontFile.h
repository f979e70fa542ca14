// The one font file every face name maps to, read through FreeType. Its design metrics come from
// the file's own tables in font units, so everything measured from them depends on the file alone;
// only the glyphs' pixels depend on the FreeType that renders them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace plat::win32 {

// A rendered glyph: coverage 0-255 per pixel, `left` and `top` from the pen position on the
// baseline (top upwards, as the font's own axis runs).
struct GlyphImage {
  int32_t left = 0;
  int32_t top = 0;
  int32_t width = 0;
  int32_t rows = 0;
  std::vector<uint8_t> coverage;
};

struct FontDesign {
  int32_t unitsPerEm;
  int32_t winAscent;   // above the baseline, positive
  int32_t winDescent;  // below the baseline, positive
  int32_t averageWidth;
  int32_t maxAdvance;
  int32_t underlinePosition;  // negative below the baseline
  int32_t underlineThickness;
};

class FontFile {
 public:
  // The process's one instance, opened on first use; a missing file is a broken installation and
  // aborts with a message naming it.
  static FontFile& Instance();
  static const char* Path();

  FontFile(const FontFile&) = delete;
  FontFile& operator=(const FontFile&) = delete;
  ~FontFile();

  const FontDesign& Design() const { return design_; }
  // The advance of a character in font units; characters the font lacks take its missing glyph's.
  int32_t Advance(char16_t c);
  // The glyph of a character at `pixelsPerEm`, emboldened by one pixel when `bold`.
  const GlyphImage& Glyph(char16_t c, int32_t pixelsPerEm, bool bold);

 private:
  FontFile();

  struct State;
  State* state_;
  FontDesign design_{};
};

}  // namespace plat::win32
