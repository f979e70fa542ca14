#include "platform/win32/FontFile.h"

#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_ADVANCES_H
#include FT_OUTLINE_H
#include FT_TRUETYPE_TABLES_H

#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <unordered_map>

namespace plat::win32 {

struct FontFile::State {
  std::mutex lock;
  FT_Library library = nullptr;
  FT_Face face = nullptr;
  int32_t sizeSet = 0;
  std::unordered_map<char16_t, int32_t> advances;
  std::map<uint64_t, GlyphImage> glyphs;
};

namespace {

[[noreturn]] void Broken(const char* what) {
  std::fprintf(stderr, "font %s: %s\n", FontFile::Path(), what);
  std::abort();
}

}  // namespace

const char* FontFile::Path() { return "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"; }

FontFile& FontFile::Instance() {
  static FontFile file;
  return file;
}

FontFile::FontFile() : state_(new State) {
  if (FT_Init_FreeType(&state_->library) != 0) Broken("FreeType does not start");
  if (FT_New_Face(state_->library, Path(), 0, &state_->face) != 0) Broken("cannot be opened");
  FT_Face face = state_->face;
  const auto* os2 = static_cast<const TT_OS2*>(FT_Get_Sfnt_Table(face, FT_SFNT_OS2));
  const auto* hhea = static_cast<const TT_HoriHeader*>(FT_Get_Sfnt_Table(face, FT_SFNT_HHEA));
  const auto* post = static_cast<const TT_Postscript*>(FT_Get_Sfnt_Table(face, FT_SFNT_POST));
  if (os2 == nullptr || hhea == nullptr || post == nullptr) Broken("lacks its OS/2, hhea or post table");
  design_ = {face->units_per_EM,      os2->usWinAscent,        os2->usWinDescent,       os2->xAvgCharWidth,
             hhea->advance_Width_Max, post->underlinePosition, post->underlineThickness};
}

FontFile::~FontFile() {
  FT_Done_Face(state_->face);
  FT_Done_FreeType(state_->library);
  delete state_;
}

int32_t FontFile::Advance(char16_t c) {
  std::lock_guard<std::mutex> hold(state_->lock);
  auto found = state_->advances.find(c);
  if (found != state_->advances.end()) return found->second;
  FT_Fixed advance = 0;
  // Unscaled: the hmtx entry as the file holds it, whatever the renderer's hinting.
  const FT_UInt index = FT_Get_Char_Index(state_->face, c);
  if (FT_Get_Advance(state_->face, index, FT_LOAD_NO_SCALE, &advance) != 0) advance = 0;
  state_->advances.emplace(c, static_cast<int32_t>(advance));
  return static_cast<int32_t>(advance);
}

const GlyphImage& FontFile::Glyph(char16_t c, int32_t pixelsPerEm, bool bold) {
  std::lock_guard<std::mutex> hold(state_->lock);
  const uint64_t key = (static_cast<uint64_t>(pixelsPerEm) << 17) | (bold ? 1u << 16 : 0u) | c;
  auto found = state_->glyphs.find(key);
  if (found != state_->glyphs.end()) return found->second;
  GlyphImage& image = state_->glyphs[key];
  FT_Face face = state_->face;
  if (state_->sizeSet != pixelsPerEm) {
    if (FT_Set_Pixel_Sizes(face, 0, static_cast<FT_UInt>(pixelsPerEm)) != 0) return image;
    state_->sizeSet = pixelsPerEm;
  }
  if (FT_Load_Char(face, c, FT_LOAD_NO_BITMAP) != 0) return image;
  if (face->glyph->format != FT_GLYPH_FORMAT_OUTLINE) return image;
  // One pixel wider, as the advance of a bold face grows by one.
  if (bold) FT_Outline_EmboldenXY(&face->glyph->outline, 64, 0);
  if (FT_Render_Glyph(face->glyph, FT_RENDER_MODE_NORMAL) != 0) return image;
  const FT_Bitmap& bitmap = face->glyph->bitmap;
  image.left = face->glyph->bitmap_left;
  image.top = face->glyph->bitmap_top;
  image.width = static_cast<int32_t>(bitmap.width);
  image.rows = static_cast<int32_t>(bitmap.rows);
  image.coverage.resize(static_cast<size_t>(image.width) * static_cast<size_t>(image.rows));
  for (int32_t y = 0; y < image.rows; ++y) {
    const unsigned char* row = bitmap.buffer + static_cast<ptrdiff_t>(y) * bitmap.pitch;
    for (int32_t x = 0; x < image.width; ++x) image.coverage[static_cast<size_t>(y * image.width + x)] = row[x];
  }
  return image;
}

}  // namespace plat::win32
