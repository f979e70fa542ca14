// kernel32's resource calls and user32's LoadString, on the compiled resources of the process's
// images.
#include <algorithm>
#include <cstring>

#include "platform/win32/ImageResources.h"
#include "platform/win32/include/windows.h"

namespace res = plat::win32;

HRSRC FindResourceA(HMODULE hModule, LPCSTR lpName, LPCSTR lpType) {
  uint32_t error = 0;
  const res::CompiledResource* found = res::FindImageResource(hModule, lpType, lpName, &error);
  if (found == nullptr) SetLastError(error);
  return reinterpret_cast<HRSRC>(const_cast<res::CompiledResource*>(found));
}

HGLOBAL LoadResource(HMODULE hModule, HRSRC hResInfo) {
  if (hResInfo == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  res::CheckResourceOf(hModule, hResInfo, "LoadResource");
  return const_cast<void*>(reinterpret_cast<const res::CompiledResource*>(hResInfo)->data);
}

LPVOID LockResource(HGLOBAL hResData) { return hResData; }

DWORD SizeofResource(HMODULE hModule, HRSRC hResInfo) {
  if (hResInfo == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  res::CheckResourceOf(hModule, hResInfo, "SizeofResource");
  return reinterpret_cast<const res::CompiledResource*>(hResInfo)->size;
}

int LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax) {
  if (lpBuffer == nullptr || cchBufferMax <= 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  lpBuffer[0] = 0;
  uint32_t error = 0;
  const res::CompiledResource* table = res::FindImageResource(
      hInstance, RT_STRING, MAKEINTRESOURCEA(static_cast<WORD>(uID / 16 + 1)), &error);
  if (table == nullptr) {
    SetLastError(error);
    return 0;
  }
  // Skip to the string's slot: each is its length, then its UTF-16 characters.
  auto* p = static_cast<const uint8_t*>(table->data);
  WORD length = 0;
  for (UINT slot = 0;; ++slot) {
    std::memcpy(&length, p, sizeof length);
    p += sizeof length;
    if (slot == uID % 16) break;
    p += length * sizeof(WCHAR);
  }
  if (length == 0) {
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return 0;
  }
  int copied = std::min<int>(length, cchBufferMax - 1);
  for (int i = 0; i < copied; ++i) {
    WCHAR c;
    std::memcpy(&c, p + i * sizeof c, sizeof c);
    lpBuffer[i] = c < 0x100 ? static_cast<char>(c) : '?';
  }
  lpBuffer[copied] = 0;
  return copied;
}
