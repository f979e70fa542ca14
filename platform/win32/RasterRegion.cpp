#include "platform/win32/RasterRegion.h"

#include <algorithm>
#include <utility>

namespace plat::win32 {

namespace {

using Spans = std::vector<std::pair<int32_t, int32_t>>;

// The x spans of `rects` over the row band starting at `y`, merged and sorted.
Spans SpansAt(const std::vector<RasterRect>& rects, int32_t y) {
  Spans spans;
  for (const RasterRect& r : rects) {
    if (y >= r.top && y < r.bottom) spans.emplace_back(r.left, r.right);
  }
  std::sort(spans.begin(), spans.end());
  Spans merged;
  for (const auto& s : spans) {
    if (!merged.empty() && s.first <= merged.back().second) {
      merged.back().second = std::max(merged.back().second, s.second);
    } else {
      merged.push_back(s);
    }
  }
  return merged;
}

bool Inside(const Spans& spans, int32_t x) {
  for (const auto& s : spans) {
    if (x >= s.first && x < s.second) return true;
  }
  return false;
}

// Every region operation is one sweep: bands between the y edges of both operands, spans between
// their x edges, each piece kept where `keep(inA, inB)` holds. Adjacent bands with equal spans
// are joined, so a set of pixels has exactly one form and regions compare by their rectangles.
template <typename Keep>
std::vector<RasterRect> Combine(const std::vector<RasterRect>& a, const std::vector<RasterRect>& b, Keep keep) {
  std::vector<int32_t> ys;
  for (const auto* list : {&a, &b}) {
    for (const RasterRect& r : *list) {
      ys.push_back(r.top);
      ys.push_back(r.bottom);
    }
  }
  std::sort(ys.begin(), ys.end());
  ys.erase(std::unique(ys.begin(), ys.end()), ys.end());

  std::vector<RasterRect> out;
  Spans previous;
  int32_t previousBottom = 0;
  size_t bandStart = 0;
  for (size_t i = 0; i + 1 < ys.size(); ++i) {
    const int32_t top = ys[i];
    const int32_t bottom = ys[i + 1];
    const Spans sa = SpansAt(a, top);
    const Spans sb = SpansAt(b, top);
    std::vector<int32_t> xs;
    for (const auto* spans : {&sa, &sb}) {
      for (const auto& s : *spans) {
        xs.push_back(s.first);
        xs.push_back(s.second);
      }
    }
    std::sort(xs.begin(), xs.end());
    xs.erase(std::unique(xs.begin(), xs.end()), xs.end());
    Spans band;
    for (size_t j = 0; j + 1 < xs.size(); ++j) {
      if (!keep(Inside(sa, xs[j]), Inside(sb, xs[j]))) continue;
      if (!band.empty() && band.back().second == xs[j]) {
        band.back().second = xs[j + 1];
      } else {
        band.emplace_back(xs[j], xs[j + 1]);
      }
    }
    if (!band.empty() && band == previous && previousBottom == top) {
      for (size_t k = bandStart; k < out.size(); ++k) out[k].bottom = bottom;
    } else {
      bandStart = out.size();
      for (const auto& s : band) out.push_back({s.first, top, s.second, bottom});
    }
    previous = std::move(band);
    previousBottom = bottom;
  }
  return out;
}

std::vector<RasterRect> Single(const RasterRect& rect) {
  return rect.Empty() ? std::vector<RasterRect>{} : std::vector<RasterRect>{rect};
}

}  // namespace

RasterRect RasterRect::Intersect(const RasterRect& other) const {
  RasterRect r{std::max(left, other.left), std::max(top, other.top), std::min(right, other.right),
               std::min(bottom, other.bottom)};
  return r.Empty() ? RasterRect{} : r;
}

RasterRegion::RasterRegion(const RasterRect& rect) : rects_(Single(rect)) {}

bool RasterRegion::Contains(int32_t x, int32_t y) const {
  for (const RasterRect& r : rects_) {
    if (r.Contains(x, y)) return true;
  }
  return false;
}

RasterRect RasterRegion::Bounds() const {
  if (rects_.empty()) return {};
  RasterRect b = rects_.front();
  for (const RasterRect& r : rects_) {
    b = {std::min(b.left, r.left), std::min(b.top, r.top), std::max(b.right, r.right), std::max(b.bottom, r.bottom)};
  }
  return b;
}

void RasterRegion::Union(const RasterRect& rect) {
  rects_ = Combine(rects_, Single(rect), [](bool a, bool b) { return a || b; });
}
void RasterRegion::Union(const RasterRegion& other) {
  rects_ = Combine(rects_, other.rects_, [](bool a, bool b) { return a || b; });
}
void RasterRegion::Subtract(const RasterRect& rect) {
  rects_ = Combine(rects_, Single(rect), [](bool a, bool b) { return a && !b; });
}
void RasterRegion::Subtract(const RasterRegion& other) {
  rects_ = Combine(rects_, other.rects_, [](bool a, bool b) { return a && !b; });
}
void RasterRegion::Intersect(const RasterRect& rect) {
  rects_ = Combine(rects_, Single(rect), [](bool a, bool b) { return a && b; });
}
void RasterRegion::Intersect(const RasterRegion& other) {
  rects_ = Combine(rects_, other.rects_, [](bool a, bool b) { return a && b; });
}

void RasterRegion::Offset(int32_t dx, int32_t dy) {
  for (RasterRect& r : rects_) r = r.Offset(dx, dy);
}

}  // namespace plat::win32
