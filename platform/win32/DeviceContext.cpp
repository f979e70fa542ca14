#include "platform/win32/DeviceContext.h"

#include <algorithm>
#include <utility>

#include "platform/win32/ScaledFont.h"
#include "platform/win32/Text.h"

namespace plat::win32 {

namespace {

uint8_t Code(uint32_t rop) { return static_cast<uint8_t>((rop >> 16) & 0xFF); }
bool UsesSource(uint32_t rop) { return ((Code(rop) >> 2) & 0x33) != (Code(rop) & 0x33); }

RasterRect Ordered(RasterRect r) {
  if (r.left > r.right) std::swap(r.left, r.right);
  if (r.top > r.bottom) std::swap(r.top, r.bottom);
  return r;
}

}  // namespace

DeviceContext::DeviceContext(GdiObject& pen, GdiObject& brush, GdiObject& font, GdiObject& bitmap)
    : memory_(true), states_(1) {
  Select(pen);
  Select(brush);
  Select(font);
  Select(bitmap);
}

DeviceContext::DeviceContext(std::shared_ptr<RasterSurface> surface, int32_t originX, int32_t originY,
                             RasterRegion clip, ReleaseHook hook, GdiObject& pen, GdiObject& brush, GdiObject& font)
    : memory_(false),
      surface_(std::move(surface)),
      originX_(originX),
      originY_(originY),
      windowClip_(std::move(clip)),
      hook_(std::move(hook)),
      states_(1) {
  Select(pen);
  Select(brush);
  Select(font);
}

DeviceContext::~DeviceContext() {
  for (State& state : states_) {
    for (GdiObject* object : {state.pen, state.brush, state.font, state.bitmap}) Drop(object);
  }
}

void DeviceContext::Hold(GdiObject* object, DeviceContext* dc) {
  if (object == nullptr) return;
  if (object->kind == GdiKind::Bitmap && !object->stock) object->selectedInto = dc;
  ++object->selections;
}

void DeviceContext::Drop(GdiObject* object) {
  if (object == nullptr) return;
  if (--object->selections == 0) object->selectedInto = nullptr;
}

RasterSurface* DeviceContext::Target() const {
  if (memory_) return Current().bitmap != nullptr ? Current().bitmap->surface.get() : nullptr;
  return surface_.get();
}

GdiObject* DeviceContext::Select(GdiObject& object) {
  State& state = states_.back();
  GdiObject** slot = nullptr;
  switch (object.kind) {
    case GdiKind::Pen:
    case GdiKind::ExtPen:
      slot = &state.pen;
      break;
    case GdiKind::Brush:
      slot = &state.brush;
      break;
    case GdiKind::Font:
      slot = &state.font;
      break;
    case GdiKind::Bitmap: {
      if (!memory_) return nullptr;
      if (object.selectedInto != nullptr && object.selectedInto != this) return nullptr;
      // A memory DC takes mono bitmaps and bitmaps of the display's format alike.
      slot = &state.bitmap;
      break;
    }
    default:
      return nullptr;
  }
  GdiObject* previous = *slot;
  Hold(&object, this);
  *slot = &object;
  Drop(previous);
  return previous;
}

int DeviceContext::Save() {
  states_.push_back(states_.back());
  const State& copy = states_.back();
  for (GdiObject* object : {copy.pen, copy.brush, copy.font, copy.bitmap}) Hold(object, this);
  return static_cast<int>(states_.size()) - 1;
}

bool DeviceContext::Restore(int level) {
  const int saved = static_cast<int>(states_.size()) - 1;
  const int target = level < 0 ? saved + 1 + level : level;
  if (target < 1 || target > saved) return false;
  while (static_cast<int>(states_.size()) > target) {
    State& state = states_.back();
    for (GdiObject* object : {state.pen, state.brush, state.font, state.bitmap}) Drop(object);
    states_.pop_back();
  }
  return true;
}

void DeviceContext::ClipRect(const RasterRect& rect, bool exclude) {
  const int32_t dx = OffsetX() - originX_;
  const int32_t dy = OffsetY() - originY_;
  std::optional<RasterRegion>& clip = Attributes().clip;
  if (!clip) clip = RasterRegion(ClipBox().Offset(dx, dy));
  if (exclude) {
    clip->Subtract(Ordered(rect).Offset(dx, dy));
  } else {
    clip->Intersect(Ordered(rect).Offset(dx, dy));
  }
}

void DeviceContext::SetClip(const RasterRegion* region) {
  if (region == nullptr) {
    Attributes().clip.reset();
  } else {
    Attributes().clip = *region;
  }
}

RasterRegion DeviceContext::EffectiveClip() const {
  RasterRegion clip;
  if (memory_) {
    const RasterSurface* target = Target();
    clip = RasterRegion(
        RasterRect{0, 0, target != nullptr ? target->Width() : 0, target != nullptr ? target->Height() : 0});
  } else {
    clip = windowClip_;
  }
  if (Current().clip) {
    RasterRegion own = *Current().clip;
    own.Offset(originX_, originY_);
    clip.Intersect(own);
  }
  return clip;
}

RasterRect DeviceContext::ClipBox() const { return EffectiveClip().Bounds().Offset(-OffsetX(), -OffsetY()); }

void DeviceContext::Draw(const std::function<void(Raster&)>& paint) {
  RasterSurface* target = Target();
  if (target == nullptr) return;
  Raster raster(*target, EffectiveClip());
  paint(raster);
}

void DeviceContext::DrawClipped(const RasterRect& rect, const std::function<void(Raster&)>& paint) {
  RasterSurface* target = Target();
  if (target == nullptr) return;
  RasterRegion clip = EffectiveClip();
  clip.Intersect(rect.Offset(OffsetX(), OffsetY()));
  Raster raster(*target, clip);
  paint(raster);
}

// SetROP2's mode n is a truth table of pen and destination (bit pen * 2 + destination of n - 1),
// the same as the ternary code with the pen as pattern and the source left out.
LinePen DeviceContext::PenOf(const DrawnPen& pen) const {
  const uint32_t table = static_cast<uint32_t>(Current().mix - 1);
  uint8_t code = 0;
  for (uint32_t i = 0; i < 8; ++i) {
    const uint32_t p = (i >> 2) & 1;
    const uint32_t d = i & 1;
    code |= static_cast<uint8_t>(((table >> (p * 2 + d)) & 1) << i);
  }
  return {pen.width, pen.cap, pen.colour, code};
}

// A pattern starts at the device origin moved by the brush origin. A pattern bitmap's mono bits
// take the text and background colours, as a blit of it would; a hatch's lines take the brush's
// colour and its gaps the background, or nothing in TRANSPARENT mode.
RasterBrush DeviceContext::BrushOf(const GdiObject& brush) const {
  RasterBrush out{brush.brush.colour};
  if (brush.surface == nullptr) return out;
  const State& state = Current();
  out.pattern = brush.surface.get();
  out.originX = originX_ + state.brushX;
  out.originY = originY_ + state.brushY;
  if (brush.brush.hatch >= 0) {
    out.zeroColour = state.backColour;
    out.oneColour = brush.brush.colour;
    out.zeroTransparent = state.backMode == kTransparent;
  } else {
    out.zeroColour = state.textColour;
    out.oneColour = state.backColour;
  }
  return out;
}

void DeviceContext::MoveTo(int32_t x, int32_t y) {
  Attributes().x = x;
  Attributes().y = y;
}

void DeviceContext::LineTo(int32_t x, int32_t y) {
  const State& state = Current();
  const DrawnPen& pen = state.pen->pen;
  record_.AddLine(state.x, state.y, x, y, pen, state.mix);
  if (!pen.null) {
    Draw(
        [&](Raster& r) { r.Line(state.x + OffsetX(), state.y + OffsetY(), x + OffsetX(), y + OffsetY(), PenOf(pen)); });
  }
  MoveTo(x, y);
}

void DeviceContext::Rectangle(RasterRect rect) {
  rect = Ordered(rect);
  const DrawnPen& pen = Current().pen->pen;
  const DrawnBrush& brush = Current().brush->brush;
  DrawingOperation op;
  op.kind = DrawingOperation::Kind::Rectangle;
  op.rect = rect;
  op.pen = pen;
  op.mix = Current().mix;
  op.brush = brush;
  record_.Add(std::move(op));
  const RasterRect at = rect.Offset(OffsetX(), OffsetY());
  Draw([&](Raster& r) {
    // Without a pen the fill stops a pixel short on the right and bottom, as on Windows.
    if (!brush.null) {
      const int32_t inset = pen.null ? 0 : 1;
      r.Fill({at.left + inset, at.top + inset, at.right - 1, at.bottom - 1}, BrushOf(*Current().brush),
             Raster::kPatCopy);
    }
    if (pen.null) return;
    const LinePen mixed = PenOf(pen);
    if (pen.width <= 1) {
      r.Fill({at.left, at.top, at.right, at.top + 1}, pen.colour, mixed.mix);
      r.Fill({at.left, at.bottom - 1, at.right, at.bottom}, pen.colour, mixed.mix);
      r.Fill({at.left, at.top + 1, at.left + 1, at.bottom - 1}, pen.colour, mixed.mix);
      r.Fill({at.right - 1, at.top + 1, at.right, at.bottom - 1}, pen.colour, mixed.mix);
      return;
    }
    const LinePen wide{pen.width, LineCap::Square, pen.colour, mixed.mix};
    r.Line(at.left, at.top, at.right - 1, at.top, wide);
    r.Line(at.right - 1, at.top, at.right - 1, at.bottom - 1, wide);
    r.Line(at.right - 1, at.bottom - 1, at.left, at.bottom - 1, wide);
    r.Line(at.left, at.bottom - 1, at.left, at.top, wide);
  });
}

DrawingOperation DeviceContext::Outlined(DrawingOperation::Kind kind, const RasterRect& rect) const {
  DrawingOperation op;
  op.kind = kind;
  op.rect = rect;
  op.pen = Current().pen->pen;
  op.mix = Current().mix;
  op.brush = Current().brush->brush;
  return op;
}

void DeviceContext::Polygon(const std::vector<std::pair<int32_t, int32_t>>& points) {
  DrawingOperation op = Outlined(DrawingOperation::Kind::Polygon, {});
  op.points = points;
  record_.Add(op);
  Draw([&](Raster& r) {
    std::vector<std::pair<int32_t, int32_t>> at;
    for (const auto& [x, y] : points) at.emplace_back(x + OffsetX(), y + OffsetY());
    if (!op.brush.null) r.Polygon(at, op.brush.colour);
    if (op.pen.null || at.size() < 2) return;
    for (size_t i = 0; i < at.size(); ++i) {
      const auto& [x1, y1] = at[i];
      const auto& [x2, y2] = at[(i + 1) % at.size()];
      r.Line(x1, y1, x2, y2, PenOf(op.pen));
    }
  });
}

void DeviceContext::Ellipse(RasterRect rect) {
  rect = Ordered(rect);
  const DrawingOperation op = Outlined(DrawingOperation::Kind::Ellipse, rect);
  record_.Add(op);
  const RasterRect at = rect.Offset(OffsetX(), OffsetY());
  const double cx = (at.left + at.right - 1) / 2.0;
  const double cy = (at.top + at.bottom - 1) / 2.0;
  const double rx = (at.right - at.left) / 2.0;
  const double ry = (at.bottom - at.top) / 2.0;
  if (rx <= 0 || ry <= 0) return;
  auto inside = [&](int32_t x, int32_t y) {
    const double dx = (x - cx) / rx;
    const double dy = (y - cy) / ry;
    return dx * dx + dy * dy <= 1.0;
  };
  Draw([&](Raster& r) { r.Shape(at, inside, !op.brush.null, op.brush.colour, !op.pen.null, op.pen.colour); });
}

void DeviceContext::RoundRect(RasterRect rect, int32_t cornerWidth, int32_t cornerHeight) {
  rect = Ordered(rect);
  DrawingOperation op = Outlined(DrawingOperation::Kind::RoundRect, rect);
  op.x = cornerWidth;
  op.y = cornerHeight;
  record_.Add(op);
  const RasterRect at = rect.Offset(OffsetX(), OffsetY());
  const double rx = std::max(1, cornerWidth) / 2.0;
  const double ry = std::max(1, cornerHeight) / 2.0;
  // Inside the rectangle, and inside the corner's ellipse where a corner is.
  auto inside = [&](int32_t x, int32_t y) {
    if (!at.Contains(x, y)) return false;
    const double cx = x < at.left + rx ? at.left + rx - 0.5 : x > at.right - 1 - rx ? at.right - rx - 0.5 : x;
    const double cy = y < at.top + ry ? at.top + ry - 0.5 : y > at.bottom - 1 - ry ? at.bottom - ry - 0.5 : y;
    const double dx = (x - cx) / rx;
    const double dy = (y - cy) / ry;
    return dx * dx + dy * dy <= 1.0;
  };
  Draw([&](Raster& r) { r.Shape(at, inside, !op.brush.null, op.brush.colour, !op.pen.null, op.pen.colour); });
}

void DeviceContext::FillRect(const RasterRect& rect, const GdiObject& brush) {
  DrawingOperation op;
  op.kind = DrawingOperation::Kind::Fill;
  op.rect = rect;
  op.brush = brush.brush;
  record_.Add(std::move(op));
  if (brush.brush.null) return;
  Draw([&](Raster& r) { r.Fill(rect.Offset(OffsetX(), OffsetY()), BrushOf(brush), Raster::kPatCopy); });
}

void DeviceContext::FrameRect(const RasterRect& rect, const GdiObject& brush) {
  DrawingOperation op;
  op.kind = DrawingOperation::Kind::Frame;
  op.rect = rect;
  op.brush = brush.brush;
  record_.Add(std::move(op));
  if (brush.brush.null || rect.Empty()) return;
  const RasterRect at = rect.Offset(OffsetX(), OffsetY());
  const RasterBrush colour = BrushOf(brush);
  Draw([&](Raster& r) {
    r.Fill({at.left, at.top, at.right, at.top + 1}, colour, Raster::kPatCopy);
    r.Fill({at.left, at.bottom - 1, at.right, at.bottom}, colour, Raster::kPatCopy);
    r.Fill({at.left, at.top + 1, at.left + 1, at.bottom - 1}, colour, Raster::kPatCopy);
    r.Fill({at.right - 1, at.top + 1, at.right, at.bottom - 1}, colour, Raster::kPatCopy);
  });
}

void DeviceContext::FocusRect(const RasterRect& rect) {
  DrawingOperation op;
  op.kind = DrawingOperation::Kind::Focus;
  op.rect = rect;
  record_.Add(std::move(op));
  if (rect.Empty()) return;
  const RasterRect at = rect.Offset(OffsetX(), OffsetY());
  constexpr uint8_t kDstInvert = 0x55;
  Draw([&](Raster& r) {
    auto dot = [&](int32_t x, int32_t y) {
      if (((x + y) & 1) == 0) r.Fill({x, y, x + 1, y + 1}, 0, kDstInvert);
    };
    for (int32_t x = at.left; x < at.right; ++x) {
      dot(x, at.top);
      if (at.bottom - 1 > at.top) dot(x, at.bottom - 1);
    }
    for (int32_t y = at.top + 1; y < at.bottom - 1; ++y) {
      dot(at.left, y);
      if (at.right - 1 > at.left) dot(at.right - 1, y);
    }
  });
}

void DeviceContext::Text(int32_t x, int32_t y, std::string_view text, const RasterRect* rect, bool opaqueRect,
                         bool clipToRect, int32_t mnemonic) {
  const State& state = Current();
  const GdiObject& font = *state.font;
  DrawingOperation op;
  op.kind = DrawingOperation::Kind::Text;
  op.x = x;
  op.y = y;
  op.text = std::string(text);
  op.font = {font.font.face, font.font.height, font.font.weight, font.font.italic != 0, font.font.underline != 0};
  op.textColour = state.textColour;
  op.backColour = state.backColour;
  op.opaque = state.backMode == kOpaque && !text.empty();
  op.opaqueRect = opaqueRect && rect != nullptr;
  if (rect != nullptr) op.rect = *rect;
  op.mnemonic = mnemonic;
  record_.Add(std::move(op));

  const std::u16string wide = Widen(text);
  const ScaledFont& scaled = *font.scaled;
  const int32_t ox = x + OffsetX();
  const int32_t oy = y + OffsetY();
  if (opaqueRect && rect != nullptr) {
    Draw([&](Raster& r) { r.Fill(Ordered(*rect).Offset(OffsetX(), OffsetY()), state.backColour, Raster::kPatCopy); });
  }
  auto paint = [&](Raster& r) {
    if (state.backMode == kOpaque && !wide.empty()) {
      r.Fill({ox, oy, ox + scaled.Width(wide), oy + scaled.Height()}, state.backColour, Raster::kPatCopy);
    }
    r.Text(ox, oy, wide, scaled, state.textColour, mnemonic);
  };
  if (clipToRect && rect != nullptr) {
    DrawClipped(Ordered(*rect), paint);
  } else {
    Draw(paint);
  }
}

std::string DeviceContext::SourceName() const {
  const RasterSurface* target = Target();
  std::string name = memory_ && Current().bitmap != nullptr ? Current().bitmap->label : std::string("window");
  if (target != nullptr && memory_) {
    name += target->Mono() ? " mono " : " colour ";
    name += std::to_string(target->Width()) + "x" + std::to_string(target->Height());
  }
  return name;
}

void DeviceContext::BitBlt(const RasterRect& rect, const DeviceContext* source, const RasterRect& sourceRect,
                           uint32_t rop) {
  if (!UsesSource(rop) || source == nullptr) {
    Blit(rect, nullptr, {}, sourceRect, {}, 0, rop);
    return;
  }
  Blit(rect, source->Target(), source->SourceName(), sourceRect,
       sourceRect.Offset(source->OffsetX(), source->OffsetY()), source->Current().backColour, rop);
}

void DeviceContext::DrawPixels(const RasterRect& rect, const RasterSurface& pixels, const std::string& name,
                               const RasterRect& from, uint32_t rop) {
  Blit(rect, &pixels, name, from, from, Current().backColour, rop);
}

void DeviceContext::Blit(const RasterRect& rect, const RasterSurface* pixels, const std::string& name,
                         const RasterRect& recordedFrom, const RasterRect& from, uint32_t sourceBack, uint32_t rop) {
  const bool withSource = UsesSource(rop) && !name.empty();
  const State& state = Current();
  DrawingOperation op;
  op.kind = DrawingOperation::Kind::Blit;
  op.rect = rect;
  op.rop = rop;
  op.brush = state.brush->brush;
  const RasterSurface* to = Target();
  if (withSource) {
    op.source = name;
    op.sourceRect = recordedFrom;
    const bool fromMono = pixels != nullptr ? pixels->Mono() : false;
    const bool toMono = to != nullptr ? to->Mono() : false;
    if (fromMono && !toMono) {
      op.conversion = DrawingOperation::Conversion::MonoToColour;
      op.textColour = state.textColour;
      op.backColour = state.backColour;
    } else if (!fromMono && toMono) {
      op.conversion = DrawingOperation::Conversion::ColourToMono;
      op.backColour = sourceBack;
    }
  }
  record_.Add(std::move(op));
  if (withSource && pixels == nullptr) return;
  const BlitColours colours{sourceBack, state.textColour, state.backColour};
  const RasterRect at = Ordered(rect).Offset(OffsetX(), OffsetY());
  const RasterBrush pattern = state.brush->brush.null ? RasterBrush{} : BrushOf(*state.brush);
  Draw([&](Raster& r) {
    if (withSource) {
      r.Blit(at, *pixels, from, Code(rop), pattern, colours);
    } else {
      r.Fill(at, pattern, Code(rop));
    }
  });
}

bool DeviceContext::GetPixel(int32_t x, int32_t y, uint32_t* colour) const {
  const RasterSurface* target = Target();
  const int32_t px = x + OffsetX();
  const int32_t py = y + OffsetY();
  if (target == nullptr || !target->Inside(px, py) || !EffectiveClip().Contains(px, py)) return false;
  const uint32_t pixel = target->Pixel(px, py);
  *colour = target->Mono() ? (pixel != 0 ? 0xFFFFFFu : 0u) : pixel;
  return true;
}

void DeviceContext::SetPixel(int32_t x, int32_t y, uint32_t colour) {
  DrawingOperation op;
  op.kind = DrawingOperation::Kind::Pixel;
  op.x = x;
  op.y = y;
  op.textColour = colour;
  record_.Add(std::move(op));
  Draw([&](Raster& r) {
    r.Fill({x + OffsetX(), y + OffsetY(), x + OffsetX() + 1, y + OffsetY() + 1}, colour, Raster::kPatCopy);
  });
}

}  // namespace plat::win32
