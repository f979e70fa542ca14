// The GUID type as both modes see it, kernel and user: one definition, so a GUID that crosses
// between them (interface classes, COM and port class ids) has one layout.
#pragma once

#include <cstddef>
#include <cstdint>

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
using LPGUID = GUID*;
using LPCGUID = const GUID*;
using IID = GUID;
using CLSID = GUID;
using REFGUID = const GUID&;
using REFIID = const IID&;
using REFCLSID = const CLSID&;
static_assert(sizeof(GUID) == 16 && offsetof(GUID, Data2) == 4 && offsetof(GUID, Data4) == 8);

constexpr bool operator==(const GUID& a, const GUID& b) {
  for (int i = 0; i < 8; ++i)
    if (a.Data4[i] != b.Data4[i]) return false;
  return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3;
}
#define IsEqualGUID(a, b) ((a) == (b))
#define IsEqualIID(a, b) ((a) == (b))
#define IsEqualCLSID(a, b) ((a) == (b))

// A named GUID is declared extern, as Windows declares it; one unit of each image includes
// <initguid.h> before the headers and so holds the definitions.
#ifndef EXTERN_C
#define EXTERN_C extern "C"
#endif
#ifndef DEFINE_GUID
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) EXTERN_C const GUID name
#endif
