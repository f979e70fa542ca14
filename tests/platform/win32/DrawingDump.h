// Reading the drawing dump in tests.
#pragma once

#include <string>

namespace test {

// The operations listed under the first window whose dump line contains `line`, up to the next
// window's line.
inline std::string DrawingOf(const std::string& dump, const std::string& line) {
  size_t at = dump.find(line);
  if (at == std::string::npos) return {};
  size_t from = dump.find('\n', at) + 1;
  size_t to = from;
  while (to < dump.size() && dump.compare(to, 2, "  ") == 0 && dump.find(" id=", to) > dump.find('\n', to))
    to = dump.find('\n', to) + 1;
  return dump.substr(from, to - from);
}

}  // namespace test
