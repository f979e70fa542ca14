// What the window dump says of a page's controls, positions and styles left out, and whether two
// renders of the panel draw the same.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "platform/win32/Snapshot.h"
#include "tests/panel/WindowDump.h"

namespace ptest {

// Each control of the page captioned `page` in the sheet, in z-order: class, id, text, visibility
// and enabling.
inline std::vector<std::string> PageLines(const std::string& page, const std::string& caption = kPanelCaption) {
  auto depth = [](const std::string& line) { return line.find_first_not_of(' ') / 2; };
  std::vector<std::string> lines, found;
  std::istringstream in(input::DumpWindows());
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  bool inSheet = false, inPage = false;
  for (const std::string& line : lines) {
    const size_t d = depth(line);
    if (d == 0) inSheet = line.find("\"" + caption + "\"") != std::string::npos;
    if (d == 1) inPage = inSheet && line.find("\"" + page + "\"") != std::string::npos;
    if (d != 2 || !inPage) continue;
    std::string shown = line.substr(line.find_first_not_of(' '));
    const size_t rect = shown.find(" [");
    const size_t rectEnd = shown.find("] ", rect);
    if (rect != std::string::npos && rectEnd != std::string::npos) shown.erase(rect, rectEnd + 1 - rect);
    shown = shown.substr(0, shown.find(" style="));
    const size_t focus = shown.find(" focus");
    if (focus != std::string::npos) shown.erase(focus, 6);
    found.push_back(shown);
  }
  return found;
}

// Renders the panel twice; true when both drawing dumps are the same and not empty.
inline bool TwoRendersAgree(const std::string& caption = kPanelCaption) {
  plat::win32::picture::Snapshot(input::Target(caption));
  const std::string first = plat::win32::picture::DumpDrawing();
  plat::win32::picture::Snapshot(input::Target(caption));
  return !first.empty() && first == plat::win32::picture::DumpDrawing();
}

}  // namespace ptest
