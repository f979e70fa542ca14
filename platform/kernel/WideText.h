// WCHAR text (Windows' 16-bit wchar_t) to the UTF-16 strings the platform keeps, and back. The C
// library's wide routines assume a 32-bit wchar_t, so WCHAR strings are measured and copied here.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace plat {

inline size_t WideLength(const wchar_t* s) {
  size_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}

inline std::u16string U16(const wchar_t* s, size_t chars) { return std::u16string(s, s + chars); }
inline std::u16string U16(const wchar_t* s) { return s == nullptr ? std::u16string() : U16(s, WideLength(s)); }

// A UTF-16 string as a WCHAR array of its own, NUL-terminated, for calls that take a PCWSTR.
class WideString {
 public:
  explicit WideString(std::u16string_view text) : mText(text.begin(), text.end()) { mText.push_back(0); }
  const wchar_t* c_str() const { return mText.data(); }
  wchar_t* data() { return mText.data(); }
  size_t size() const { return mText.size() - 1; }

 private:
  std::vector<wchar_t> mText;
};

}  // namespace plat
