// Dialog templates as they lie in memory, for tests that make dialogs without a resource script.
#pragma once

#include <cstring>
#include <vector>

#include "platform/win32/include/windows.h"

namespace w32test {

struct Item {
  WORD atom;  // 0x80 button, 0x81 edit, 0x82 static, 0x85 combo box
  WORD id;
  const char* text;
  DWORD style;
  short x, y, cx, cy;
};

// A template as it lies in memory: the header, no menu, the dialog class, the caption (and under
// DS_SETFONT the font's size and face), then each item on a four-byte boundary with its class atom,
// text and no creation data.
inline std::vector<DWORD> Template(DWORD style, const char* caption, short cx, short cy, const std::vector<Item>& items,
                                   WORD pointSize = 8, const char* face = "MS Shell Dlg") {
  std::vector<WORD> words;
  auto put = [&](const void* p, size_t bytes) {
    const auto* w = static_cast<const WORD*>(p);
    words.insert(words.end(), w, w + bytes / 2);
  };
  auto text = [&](const char* s) {
    for (; *s != 0; ++s) words.push_back(static_cast<WORD>(*s));
    words.push_back(0);
  };
  DLGTEMPLATE t{style, 0, static_cast<WORD>(items.size()), 0, 0, cx, cy};
  put(&t, sizeof t);
  words.push_back(0);
  words.push_back(0);
  text(caption);
  if (style & DS_SETFONT) {
    words.push_back(pointSize);
    text(face);
  }
  for (const Item& i : items) {
    if (words.size() % 2 != 0) words.push_back(0);
    DLGITEMTEMPLATE it{i.style | WS_CHILD | WS_VISIBLE, 0, i.x, i.y, i.cx, i.cy, i.id};
    put(&it, sizeof it);
    words.push_back(0xFFFF);
    words.push_back(i.atom);
    text(i.text);
    words.push_back(0);
  }
  if (words.size() % 2 != 0) words.push_back(0);
  std::vector<DWORD> out(words.size() / 2);
  std::memcpy(out.data(), words.data(), words.size() * sizeof(WORD));
  return out;
}

}  // namespace w32test
