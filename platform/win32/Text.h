// Conversions between the ANSI code page and UTF-16 for the A calls. Characters outside Latin-1
// become '?' on the way to ANSI.
#pragma once

#include <string>
#include <string_view>

namespace plat::win32 {

inline std::u16string Widen(std::string_view s) {
  std::u16string out;
  out.reserve(s.size());
  for (char c : s) out += static_cast<char16_t>(static_cast<unsigned char>(c));
  return out;
}

inline std::string Narrow(std::u16string_view s) {
  std::string out;
  out.reserve(s.size());
  for (char16_t c : s) out += c < 0x100 ? static_cast<char>(c) : '?';
  return out;
}

}  // namespace plat::win32
