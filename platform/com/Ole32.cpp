#include <cstdio>

#include "platform/com/include/objbase.h"

namespace {

int HexDigit(WCHAR c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// `digits` hex digits from `text`; false on anything that is not one.
bool Hex(const WCHAR* text, int digits, uint64_t* value) {
  *value = 0;
  for (int i = 0; i < digits; ++i) {
    const int d = HexDigit(text[i]);
    if (d < 0) return false;
    *value = *value << 4 | static_cast<uint64_t>(d);
  }
  return true;
}

}  // namespace

HRESULT CLSIDFromString(LPCWSTR lpsz, CLSID* pclsid) {
  if (lpsz == nullptr || pclsid == nullptr) return E_INVALIDARG;
  // Field widths and the separators between them: {8-4-4-4-12}.
  size_t length = 0;
  while (length < 39 && lpsz[length] != 0) ++length;
  if (length != 38 || lpsz[0] != u'{' || lpsz[9] != u'-' || lpsz[14] != u'-' || lpsz[19] != u'-' || lpsz[24] != u'-' ||
      lpsz[37] != u'}')
    return CO_E_CLASSSTRING;
  CLSID id{};
  uint64_t v = 0;
  if (!Hex(lpsz + 1, 8, &v)) return CO_E_CLASSSTRING;
  id.Data1 = static_cast<uint32_t>(v);
  if (!Hex(lpsz + 10, 4, &v)) return CO_E_CLASSSTRING;
  id.Data2 = static_cast<uint16_t>(v);
  if (!Hex(lpsz + 15, 4, &v)) return CO_E_CLASSSTRING;
  id.Data3 = static_cast<uint16_t>(v);
  for (int i = 0; i < 8; ++i) {
    const int at = i < 2 ? 20 + 2 * i : 25 + 2 * (i - 2);
    if (!Hex(lpsz + at, 2, &v)) return CO_E_CLASSSTRING;
    id.Data4[i] = static_cast<uint8_t>(v);
  }
  *pclsid = id;
  return S_OK;
}

int StringFromGUID2(REFGUID rguid, LPWSTR lpsz, int cchMax) {
  constexpr int kChars = 39;
  if (lpsz == nullptr || cchMax < kChars) return 0;
  char text[kChars + 1];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", rguid.Data1, rguid.Data2,
                rguid.Data3, rguid.Data4[0], rguid.Data4[1], rguid.Data4[2], rguid.Data4[3], rguid.Data4[4],
                rguid.Data4[5], rguid.Data4[6], rguid.Data4[7]);
  for (int i = 0; i < kChars; ++i) lpsz[i] = static_cast<WCHAR>(static_cast<unsigned char>(text[i]));
  return kChars;
}
