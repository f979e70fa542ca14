#include "platform/win32/TextLayout.h"

#include <algorithm>

#include "platform/win32/ScaledFont.h"
#include "platform/win32/Text.h"

namespace plat::win32 {

namespace {

struct Prefixed {
  std::string text;
  int32_t mnemonic = -1;
};

// "&x" underlines x, "&&" is one '&'; the last prefix of a line is the one shown.
Prefixed TakePrefixes(std::string_view line, bool noPrefix) {
  Prefixed out;
  if (noPrefix) {
    out.text = std::string(line);
    return out;
  }
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] != '&') {
      out.text += line[i];
      continue;
    }
    if (i + 1 >= line.size()) break;
    ++i;
    if (line[i] != '&') out.mnemonic = static_cast<int32_t>(out.text.size());
    out.text += line[i];
  }
  return out;
}

int32_t Width(const ScaledFont& font, std::string_view text) { return font.Width(Widen(text)); }

// Greedy wrapping at spaces; a word wider than the line stays whole on a line of its own.
std::vector<std::string_view> Wrap(std::string_view line, const ScaledFont& font, int32_t width) {
  std::vector<std::string_view> out;
  while (!line.empty()) {
    size_t end = 0;
    size_t fit = 0;
    while (end < line.size()) {
      size_t next = line.find(' ', end);
      if (next == std::string_view::npos) next = line.size();
      if (fit != 0 && Width(font, line.substr(0, next)) > width) break;
      fit = next;
      end = next + 1;
    }
    if (fit == 0) fit = std::min(end, line.size());
    out.push_back(line.substr(0, fit));
    line.remove_prefix(std::min(line.size(), fit));
    while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
  }
  if (out.empty()) out.emplace_back();
  return out;
}

}  // namespace

TextLayoutResult TextLayout::Lay(std::string_view text, const ScaledFont& font, const RasterRect& rect,
                                 const TextLayoutFormat& format) {
  std::vector<std::string_view> raw;
  if (format.singleLine) {
    raw.push_back(text);
  } else {
    size_t start = 0;
    for (size_t i = 0; i <= text.size(); ++i) {
      if (i < text.size() && text[i] != '\n' && text[i] != '\r') continue;
      raw.push_back(text.substr(start, i - start));
      if (i + 1 < text.size() && text[i] == '\r' && text[i + 1] == '\n') ++i;
      start = i + 1;
    }
  }
  std::vector<std::string_view> lines;
  for (std::string_view line : raw) {
    if (format.wordBreak && !format.singleLine) {
      for (std::string_view piece : Wrap(line, font, rect.right - rect.left)) lines.push_back(piece);
    } else {
      lines.push_back(line);
    }
  }

  TextLayoutResult result{};
  if (text.empty()) {
    result.extent = {rect.left, rect.top, rect.left, rect.top};
    return result;
  }
  const int32_t lineHeight = font.Height();
  const int32_t total = lineHeight * static_cast<int32_t>(lines.size());
  int32_t top = rect.top;
  if (format.singleLine && format.vertical == TextLayoutFormat::Vertical::Centre) {
    top = rect.top + (rect.bottom - rect.top - lineHeight) / 2;
  } else if (format.singleLine && format.vertical == TextLayoutFormat::Vertical::Bottom) {
    top = rect.bottom - lineHeight;
  }
  int32_t widest = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    Prefixed line = TakePrefixes(lines[i], format.noPrefix);
    if (format.singleLine) std::erase_if(line.text, [](char c) { return c == '\r' || c == '\n'; });
    const int32_t width = Width(font, line.text);
    widest = std::max(widest, width);
    int32_t x = rect.left;
    if (format.horizontal == TextLayoutFormat::Horizontal::Centre) {
      x = rect.left + (rect.right - rect.left - width) / 2;
    } else if (format.horizontal == TextLayoutFormat::Horizontal::Right) {
      x = rect.right - width;
    }
    result.lines.push_back({std::move(line.text), x, top + lineHeight * static_cast<int32_t>(i), width, line.mnemonic});
  }
  result.extent = {rect.left, rect.top, rect.left + widest, rect.top + total};
  result.height = top - rect.top + total;
  return result;
}

}  // namespace plat::win32
