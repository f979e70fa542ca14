#include "platform/win32/PngWriter.h"

#include <png.h>

#include <cstdio>

namespace plat::win32 {

namespace {

void Append(png_structp png, png_bytep data, png_size_t length) {
  auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + length);
}

void Flush(png_structp) {}

}  // namespace

std::vector<uint8_t> PngWriter::Encode(const RasterSurface& surface) {
  std::vector<uint8_t> out;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
  if (info == nullptr) {
    png_destroy_write_struct(&png, nullptr);
    return out;
  }
  std::vector<png_byte> row(static_cast<size_t>(surface.Width()) * 3);
  // libpng reports errors by longjmp; nothing here owns anything a jump would leak but the structs.
  if (setjmp(png_jmpbuf(png)) != 0) {
    png_destroy_write_struct(&png, &info);
    out.clear();
    return out;
  }
  png_set_write_fn(png, &out, Append, Flush);
  png_set_compression_level(png, 9);
  png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE);
  png_set_IHDR(png, info, static_cast<png_uint_32>(surface.Width()), static_cast<png_uint_32>(surface.Height()), 8,
               PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_BASE, PNG_FILTER_TYPE_BASE);
  png_write_info(png, info);
  for (int32_t y = 0; y < surface.Height(); ++y) {
    for (int32_t x = 0; x < surface.Width(); ++x) {
      uint32_t pixel = surface.Pixel(x, y);
      if (surface.Mono()) pixel = pixel != 0 ? 0xFFFFFFu : 0u;
      png_byte* rgb = &row[static_cast<size_t>(x) * 3];
      rgb[0] = static_cast<png_byte>(pixel & 0xFF);
      rgb[1] = static_cast<png_byte>((pixel >> 8) & 0xFF);
      rgb[2] = static_cast<png_byte>((pixel >> 16) & 0xFF);
    }
    png_write_row(png, row.data());
  }
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return out;
}

bool PngWriter::Write(const RasterSurface& surface, const std::string& path) {
  const std::vector<uint8_t> bytes = Encode(surface);
  if (bytes.empty()) return false;
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && written;
}

}  // namespace plat::win32
