#include "tests/panel/WindowDump.h"

#include <cstdio>
#include <sstream>

namespace ptest {
namespace {

// The indentation of a dump line: two spaces a level.
size_t Depth(const std::string& line) { return line.find_first_not_of(' ') / 2; }

bool Names(const std::string& line, const std::string& text) {
  return line.find("\"" + text + "\"") != std::string::npos;
}

std::vector<std::string> DumpLines() {
  std::vector<std::string> lines;
  std::istringstream in(input::DumpWindows());
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace

std::vector<std::string> TopLevelLines(const std::string& caption) {
  std::vector<std::string> found;
  for (const std::string& line : DumpLines())
    if (Depth(line) == 0 && Names(line, caption)) found.push_back(line);
  return found;
}

std::string ControlLine(const std::string& page, int id, const std::string& caption) {
  const std::vector<std::string> lines = DumpLines();
  const std::string wanted = " id=" + std::to_string(id) + " ";
  for (size_t i = 0; i < lines.size(); ++i) {
    if (Depth(lines[i]) != 0 || !Names(lines[i], caption)) continue;
    for (size_t j = i + 1; j < lines.size() && Depth(lines[j]) > 0; ++j) {
      if (page.empty()) {
        if (Depth(lines[j]) == 1 && lines[j].find(wanted) != std::string::npos) return lines[j];
        continue;
      }
      if (Depth(lines[j]) != 1 || !Names(lines[j], page)) continue;
      for (size_t k = j + 1; k < lines.size() && Depth(lines[k]) > 1; ++k)
        if (Depth(lines[k]) == 2 && lines[k].find(wanted) != std::string::npos) return lines[k];
    }
  }
  return {};
}

ScreenRect RectOf(const std::string& line) {
  ScreenRect r{};
  const size_t at = line.find('[');
  if (at != std::string::npos) std::sscanf(line.c_str() + at, "[%d,%d,%d,%d]", &r.left, &r.top, &r.right, &r.bottom);
  return r;
}

bool Visible(const std::string& line) { return line.find("] visible ") != std::string::npos; }

}  // namespace ptest
