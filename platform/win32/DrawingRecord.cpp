#include "platform/win32/DrawingRecord.h"

#include <cstdio>

namespace plat::win32 {

namespace {

struct RopEntry {
  uint32_t rop;
  const char* name;
};

// The raster operations with names, by value.
constexpr RopEntry kRops[] = {
    {0x00000042, "BLACKNESS"},  {0x001100A6, "NOTSRCERASE"}, {0x00330008, "NOTSRCCOPY"}, {0x00440328, "SRCERASE"},
    {0x00550009, "DSTINVERT"},  {0x005A0049, "PATINVERT"},   {0x00660046, "SRCINVERT"},  {0x008800C6, "SRCAND"},
    {0x00BB0226, "MERGEPAINT"}, {0x00C000CA, "MERGECOPY"},   {0x00CC0020, "SRCCOPY"},    {0x00EE0086, "SRCPAINT"},
    {0x00F00021, "PATCOPY"},    {0x00FB0A09, "PATPAINT"},    {0x00FF0062, "WHITENESS"},
};

constexpr bool RopsSortedAndDistinct() {
  for (size_t i = 1; i < std::size(kRops); ++i) {
    if (kRops[i - 1].rop >= kRops[i].rop) return false;
    if (((kRops[i - 1].rop >> 16) & 0xFF) >= ((kRops[i].rop >> 16) & 0xFF)) return false;
  }
  return true;
}
static_assert(RopsSortedAndDistinct(), "one entry per ternary code, in order");

std::string Colour(uint32_t colourRef) {
  char text[8];
  std::snprintf(text, sizeof text, "#%02X%02X%02X", colourRef & 0xFF, (colourRef >> 8) & 0xFF,
                (colourRef >> 16) & 0xFF);
  return text;
}

std::string Point(int32_t x, int32_t y) { return std::to_string(x) + "," + std::to_string(y); }

std::string Rect(const RasterRect& r) { return Point(r.left, r.top) + "-" + Point(r.right, r.bottom); }

std::string Pen(const DrawnPen& pen) {
  if (pen.null) return "pen=null";
  std::string out = pen.geometric ? "pen=geometric" : "pen=cosmetic";
  out += " width=" + std::to_string(pen.width);
  if (pen.geometric) {
    out += pen.cap == LineCap::Square ? " cap=square" : pen.cap == LineCap::Flat ? " cap=flat" : " cap=round";
  }
  return out + " " + Colour(pen.colour);
}

std::string Mix(int32_t mix) {
  return mix == DrawingOperation::kCopyPen ? std::string() : " mix=" + std::to_string(mix);
}

std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20 || u >= 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02X", u);
      out += escape;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string Brush(const DrawnBrush& brush) {
  if (brush.null) return "brush=null";
  if (!brush.pattern.empty()) return "brush=pattern " + Quoted(brush.pattern);
  if (brush.hatch >= 0) return "brush=hatch" + std::to_string(brush.hatch) + " " + Colour(brush.colour);
  return "brush=" + Colour(brush.colour);
}

bool UsesPattern(uint32_t rop) {
  const uint32_t code = (rop >> 16) & 0xFF;
  return ((code >> 4) & 0x0F) != (code & 0x0F);
}

}  // namespace

void DrawingRecord::Add(DrawingOperation operation) { operations_.push_back(std::move(operation)); }

void DrawingRecord::AddLine(int32_t x1, int32_t y1, int32_t x2, int32_t y2, const DrawnPen& pen, int32_t mix) {
  if (!operations_.empty()) {
    DrawingOperation& last = operations_.back();
    const DrawnPen& p = last.pen;
    if (last.kind == DrawingOperation::Kind::Line && last.points.back() == std::pair<int32_t, int32_t>{x1, y1} &&
        p.null == pen.null && p.geometric == pen.geometric && p.width == pen.width && p.cap == pen.cap &&
        p.colour == pen.colour && last.mix == mix) {
      last.points.emplace_back(x2, y2);
      return;
    }
  }
  DrawingOperation op;
  op.kind = DrawingOperation::Kind::Line;
  op.points = {{x1, y1}, {x2, y2}};
  op.pen = pen;
  op.mix = mix;
  operations_.push_back(std::move(op));
}

std::string DrawingRecord::RopName(uint32_t rop) {
  for (const RopEntry& entry : kRops) {
    if (entry.rop == rop) return entry.name;
  }
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", rop);
  return text;
}

std::string DrawingRecord::PrintOperation(const DrawingOperation& op) {
  using Kind = DrawingOperation::Kind;
  std::string out;
  switch (op.kind) {
    case Kind::Line:
      out = "line";
      for (const auto& [x, y] : op.points) (out += ' ') += Point(x, y);
      return out + " " + Pen(op.pen) + Mix(op.mix);
    case Kind::Fill:
      return "fill " + Rect(op.rect) + " " + Brush(op.brush);
    case Kind::Rectangle:
      return "rectangle " + Rect(op.rect) + " " + Pen(op.pen) + Mix(op.mix) + " " + Brush(op.brush);
    case Kind::Frame:
      return "frame " + Rect(op.rect) + " " + Brush(op.brush);
    case Kind::Focus:
      return "focus " + Rect(op.rect);
    case Kind::Polygon:
      out = "polygon";
      for (const auto& [x, y] : op.points) (out += ' ') += Point(x, y);
      return out + " " + Pen(op.pen) + Mix(op.mix) + " " + Brush(op.brush);
    case Kind::Ellipse:
      return "ellipse " + Rect(op.rect) + " " + Pen(op.pen) + Mix(op.mix) + " " + Brush(op.brush);
    case Kind::RoundRect:
      return "roundrect " + Rect(op.rect) + " corner=" + std::to_string(op.x) + "x" + std::to_string(op.y) + " " +
             Pen(op.pen) + Mix(op.mix) + " " + Brush(op.brush);
    case Kind::Pixel:
      return "pixel " + Point(op.x, op.y) + " " + Colour(op.textColour);
    case Kind::Blit:
      out = "blit " + Rect(op.rect) + " " + RopName(op.rop);
      if (!op.source.empty()) {
        const RasterRect& s = op.sourceRect;
        const bool sameSize =
            s.right - s.left == op.rect.right - op.rect.left && s.bottom - s.top == op.rect.bottom - op.rect.top;
        out += " source=" + Quoted(op.source) + (sameSize ? " at " + Point(s.left, s.top) : " from " + Rect(s));
      }
      if (op.conversion == DrawingOperation::Conversion::MonoToColour) {
        out += " text=" + Colour(op.textColour) + " back=" + Colour(op.backColour);
      } else if (op.conversion == DrawingOperation::Conversion::ColourToMono) {
        out += " source-back=" + Colour(op.backColour);
      }
      if (UsesPattern(op.rop)) out += " " + Brush(op.brush);
      return out;
    case Kind::Text:
      out = "text " + Point(op.x, op.y) + " " + Quoted(op.text) + " font=" + Quoted(op.font.face) + " " +
            std::to_string(op.font.height) + " w" + std::to_string(op.font.weight);
      if (op.font.italic) out += " italic";
      if (op.font.underline) out += " underline";
      out += " colour=" + Colour(op.textColour);
      if (op.opaque || op.opaqueRect) out += " back=" + Colour(op.backColour);
      if (op.opaque) out += " opaque";
      if (op.opaqueRect) out += " rect=" + Rect(op.rect);
      if (op.mnemonic >= 0) out += " mnemonic=" + std::to_string(op.mnemonic);
      return out;
  }
  return out;
}

std::string DrawingRecord::Print() const {
  std::string out;
  for (const DrawingOperation& op : operations_) out += PrintOperation(op) + "\n";
  return out;
}

}  // namespace plat::win32
