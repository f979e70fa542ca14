// The raster engine beneath gdi32: regions, lines by pen and cap, blit conversions, the pinned font
// file and the text extents scaled from it, and PNG encoding.
#include <gtest/gtest.h>
#include <png.h>
#include <zlib.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/win32/FontFile.h"
#include "platform/win32/PngWriter.h"
#include "platform/win32/Raster.h"
#include "platform/win32/RasterRegion.h"
#include "platform/win32/RasterSurface.h"
#include "platform/win32/ScaledFont.h"

namespace plat::win32 {
namespace {

constexpr uint32_t kWhite = 0xFFFFFF;
constexpr uint32_t kRed = 0x0000FF;
constexpr uint32_t kBlue = 0xFF0000;

RasterRegion Whole(const RasterSurface& s) { return RasterRegion(RasterRect{0, 0, s.Width(), s.Height()}); }

// The bounding box of the pixels of `colour`.
RasterRect Painted(const RasterSurface& s, uint32_t colour) {
  RasterRegion region;
  for (int32_t y = 0; y < s.Height(); ++y) {
    for (int32_t x = 0; x < s.Width(); ++x) {
      if (s.Pixel(x, y) == colour) region.Union(RasterRect{x, y, x + 1, y + 1});
    }
  }
  return region.Bounds();
}

TEST(RasterRegion, OperationsGiveOneFormPerSetOfPixels) {
  struct Case {
    const char* name;
    RasterRegion (*make)();
    std::vector<RasterRect> rects;
  };
  const Case cases[] = {
      {"union of touching halves is one rectangle",
       [] {
         RasterRegion r(RasterRect{0, 0, 5, 10});
         r.Union(RasterRect{5, 0, 10, 10});
         return r;
       },
       {{0, 0, 10, 10}}},
      {"union of stacked halves is one rectangle",
       [] {
         RasterRegion r(RasterRect{0, 5, 10, 10});
         r.Union(RasterRect{0, 0, 10, 5});
         return r;
       },
       {{0, 0, 10, 10}}},
      {"subtracting the middle leaves a frame",
       [] {
         RasterRegion r(RasterRect{0, 0, 10, 10});
         r.Subtract(RasterRect{2, 2, 8, 8});
         return r;
       },
       {{0, 0, 10, 2}, {0, 2, 2, 8}, {8, 2, 10, 8}, {0, 8, 10, 10}}},
      {"intersection with a disjoint rectangle is empty",
       [] {
         RasterRegion r(RasterRect{0, 0, 10, 10});
         r.Intersect(RasterRect{20, 20, 30, 30});
         return r;
       },
       {}},
      {"overlapping union has no pixel twice",
       [] {
         RasterRegion r(RasterRect{0, 0, 6, 6});
         r.Union(RasterRect{4, 4, 10, 10});
         return r;
       },
       {{0, 0, 6, 4}, {0, 4, 10, 6}, {4, 6, 10, 10}}},
      {"an empty rectangle adds nothing",
       [] {
         RasterRegion r(RasterRect{0, 0, 4, 4});
         r.Union(RasterRect{8, 8, 8, 12});
         return r;
       },
       {{0, 0, 4, 4}}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.make().Rects(), c.rects) << c.name;
  }
}

TEST(Raster, WideLinesCoverTheirWidthAndCapsReachHalfTheWidthBeyondTheEnds) {
  struct Case {
    const char* name;
    int32_t x1, y1, x2, y2;
    LinePen pen;
    RasterRect covered;
  };
  const Case cases[] = {
      {"square cap, horizontal, 4 px", 10, 20, 30, 20, {4, LineCap::Square, kRed}, {8, 18, 32, 22}},
      {"square cap, right to left", 30, 20, 10, 20, {4, LineCap::Square, kRed}, {8, 18, 32, 22}},
      {"square cap, vertical, 4 px", 20, 10, 20, 30, {4, LineCap::Square, kRed}, {18, 8, 22, 32}},
      {"flat cap stops at the ends", 10, 20, 30, 20, {4, LineCap::Flat, kRed}, {10, 18, 30, 22}},
      {"square cap, odd width centred", 10, 20, 30, 20, {3, LineCap::Square, kRed}, {9, 19, 32, 22}},
      {"round cap reaches beyond like a disc", 10, 20, 30, 20, {4, LineCap::Round, kRed}, {9, 18, 32, 22}},
      {"one pixel leaves out the end point", 10, 20, 30, 20, {1, LineCap::Square, kRed}, {10, 20, 30, 21}},
  };
  for (const Case& c : cases) {
    RasterSurface s(RasterSurface::Format::Colour, 48, 48);
    Raster(s, Whole(s)).Line(c.x1, c.y1, c.x2, c.y2, c.pen);
    EXPECT_EQ(Painted(s, kRed), c.covered) << c.name;
  }
}

TEST(Raster, ClipKeepsDrawingInsideTheRegion) {
  RasterSurface s(RasterSurface::Format::Colour, 20, 20);
  RasterRegion clip(RasterRect{0, 0, 20, 20});
  clip.Subtract(RasterRect{5, 5, 15, 15});
  Raster(s, clip).Fill(RasterRect{0, 0, 20, 20}, kBlue, Raster::kPatCopy);
  EXPECT_EQ(s.Pixel(4, 4), kBlue);
  EXPECT_EQ(s.Pixel(5, 5), 0u);
  EXPECT_EQ(s.Pixel(14, 14), 0u);
  EXPECT_EQ(s.Pixel(15, 15), kBlue);
}

TEST(Raster, BlitConvertsBetweenMonoAndColourByTheDcColours) {
  RasterSurface mono(RasterSurface::Format::Mono, 2, 1);
  mono.SetPixel(1, 0, 1);
  RasterSurface colour(RasterSurface::Format::Colour, 2, 1);
  const BlitColours colours{kWhite, kRed, kBlue};
  Raster(colour, Whole(colour)).Blit({0, 0, 2, 1}, mono, {0, 0, 2, 1}, Raster::kSrcCopy, {}, colours);
  EXPECT_EQ(colour.Pixel(0, 0), kRed) << "0 bit takes the text colour";
  EXPECT_EQ(colour.Pixel(1, 0), kBlue) << "1 bit takes the background colour";

  RasterSurface back(RasterSurface::Format::Mono, 2, 1);
  colour.SetPixel(0, 0, kWhite);
  colour.SetPixel(1, 0, 0x123456);
  Raster(back, Whole(back)).Blit({0, 0, 2, 1}, colour, {0, 0, 2, 1}, Raster::kSrcCopy, {}, colours);
  EXPECT_EQ(back.Pixel(0, 0), 1u) << "the source's background colour becomes 1";
  EXPECT_EQ(back.Pixel(1, 0), 0u) << "any other colour becomes 0";
}

TEST(Raster, TernaryOperationsCombinePatternSourceAndDestination) {
  struct Case {
    const char* name;
    uint8_t rop;
    uint32_t expected;
  };
  // Destination 0x00FF00F0, source 0x0000FFCC, pattern 0x00AAAAAA.
  const Case cases[] = {
      {"SRCCOPY", 0xCC, 0x00FFCC},   {"SRCAND", 0x88, 0x0000C0},    {"SRCPAINT", 0xEE, 0xFFFFFC},
      {"SRCINVERT", 0x66, 0xFFFF3C}, {"PATCOPY", 0xF0, 0xAAAAAA},   {"PATINVERT", 0x5A, 0x55AA5A},
      {"DSTINVERT", 0x55, 0x00FF0F}, {"BLACKNESS", 0x00, 0x000000}, {"WHITENESS", 0xFF, 0xFFFFFF},
  };
  for (const Case& c : cases) {
    RasterSurface source(RasterSurface::Format::Colour, 1, 1);
    source.SetPixel(0, 0, 0x00FFCC);
    RasterSurface s(RasterSurface::Format::Colour, 1, 1);
    s.SetPixel(0, 0, 0xFF00F0);
    Raster(s, Whole(s)).Blit({0, 0, 1, 1}, source, {0, 0, 1, 1}, c.rop, {0xAAAAAA}, {0, 0, 0});
    EXPECT_EQ(s.Pixel(0, 0), c.expected) << c.name;
  }
}

TEST(FontFile, IsThePinnedFile) {
  std::ifstream in(FontFile::Path(), std::ios::binary);
  ASSERT_TRUE(in) << FontFile::Path();
  const std::vector<unsigned char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  EXPECT_EQ(bytes.size(), 759720u);
  EXPECT_EQ(crc32(0, bytes.data(), static_cast<uInt>(bytes.size())), 0xD74C30B5u);
}

TEST(ScaledFont, ExtentsComeFromTheFileAlone) {
  struct Case {
    int32_t height;
    int32_t weight;
    const char16_t* text;
    int32_t width;
    int32_t cellHeight;
  };
  const Case cases[] = {
      {-11, 400, u"Settings", 45, 13}, {-11, 700, u"Settings", 53, 13}, {-13, 400, u"Sample rate", 79, 15},
      {16, 400, u"QX-5310", 62, 16},   {-11, 400, u"", 0, 13},          {-8, 400, u"WWW iii", 33, 9},
  };
  for (const Case& c : cases) {
    const ScaledFont font(c.height, c.weight, false);
    EXPECT_EQ(font.Width(c.text), c.width) << c.height << " " << c.weight;
    EXPECT_EQ(font.Height(), c.cellHeight) << c.height << " " << c.weight;
  }
}

std::vector<uint8_t> Picture() {
  RasterSurface s(RasterSurface::Format::Colour, 40, 30);
  Raster r(s, Whole(s));
  r.Fill({0, 0, 40, 30}, kWhite, Raster::kPatCopy);
  r.Line(2, 2, 37, 27, {4, LineCap::Square, kBlue});
  r.Text(2, 10, u"Png", ScaledFont(-11, 400, true), kRed);
  return PngWriter::Encode(s);
}

TEST(PngWriter, SameSurfaceGivesSameBytesThatReadBackAtItsSize) {
  const std::vector<uint8_t> first = Picture();
  const std::vector<uint8_t> second = Picture();
  ASSERT_FALSE(first.empty());
  EXPECT_EQ(first, second);

  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  ASSERT_NE(png_image_begin_read_from_memory(&image, first.data(), first.size()), 0);
  EXPECT_EQ(image.width, 40u);
  EXPECT_EQ(image.height, 30u);
  image.format = PNG_FORMAT_RGB;
  std::vector<uint8_t> rgb(PNG_IMAGE_SIZE(image));
  ASSERT_NE(png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr), 0);
  EXPECT_EQ(rgb[0], 0xFF);
  const size_t start = (2u * 40u + 2u) * 3u;
  EXPECT_EQ(rgb[start + 0], 0x00) << "the line's start pixel is blue";
  EXPECT_EQ(rgb[start + 2], 0xFF);
}

}  // namespace
}  // namespace plat::win32
