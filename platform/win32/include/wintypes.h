// Basic Win32 types with Windows widths (LONG and DWORD 32-bit, BOOL int, WCHAR a 16-bit wchar_t,
// handles and pointers 64-bit).
#pragma once

#include <cstddef>
#include <cstdint>

#include "../../neutral/include/guiddef.h"

using VOID = void;
using PVOID = void*;
using LPVOID = void*;
using LPCVOID = const void*;
using BOOL = int;
using PBOOL = BOOL*;
using BOOLEAN = uint8_t;
using BYTE = uint8_t;
using PBYTE = BYTE*;
using LPBYTE = BYTE*;
using CHAR = char;
using UCHAR = uint8_t;
using WCHAR = wchar_t;
using SHORT = int16_t;
using USHORT = uint16_t;
using WORD = uint16_t;
using INT = int;
using UINT = unsigned int;
using LONG = int32_t;
using ULONG = uint32_t;
using DWORD = uint32_t;
using PDWORD = DWORD*;
using LPDWORD = DWORD*;
using PLONG = LONG*;
using LONGLONG = int64_t;
using ULONGLONG = uint64_t;
using DWORD64 = uint64_t;
using LONG_PTR = intptr_t;
using ULONG_PTR = uintptr_t;
using DWORD_PTR = uintptr_t;
using INT_PTR = intptr_t;
using UINT_PTR = uintptr_t;
using SIZE_T = size_t;
using LPSTR = char*;
using LPCSTR = const char*;
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;
using HANDLE = void*;
using PHANDLE = HANDLE*;
using LPHANDLE = HANDLE*;
struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;
struct HINSTANCE__;
using HINSTANCE = HINSTANCE__*;
using HMODULE = HINSTANCE;
using REGSAM = DWORD;
using LSTATUS = LONG;
using HRESULT = LONG;

// Win32's calling convention for its own routines and for callbacks: __stdcall on 32-bit Windows;
// the x64 ABI has one convention, and so has this machine.
#define WINAPI
#define CALLBACK

static_assert(sizeof(LONG) == 4 && sizeof(DWORD) == 4 && sizeof(BOOL) == 4 && sizeof(WCHAR) == 2 && sizeof(HANDLE) == 8);

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;

union LARGE_INTEGER {
  struct {
    DWORD LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
};
static_assert(sizeof(LARGE_INTEGER) == 8);


struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};
using PFILETIME = FILETIME*;

struct SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
};
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;
static_assert(sizeof(SECURITY_ATTRIBUTES) == 24);

struct OVERLAPPED {
  ULONG_PTR Internal;
  ULONG_PTR InternalHigh;
  union {
    struct {
      DWORD Offset;
      DWORD OffsetHigh;
    } s;
    PVOID Pointer;
  } u;
  HANDLE hEvent;
};
using LPOVERLAPPED = OVERLAPPED*;
static_assert(sizeof(OVERLAPPED) == 32 && offsetof(OVERLAPPED, hEvent) == 24);
