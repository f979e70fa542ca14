// Basic Windows kernel types with Windows widths (LONG/ULONG 32-bit, WCHAR a 16-bit wchar_t, pointers
// 64-bit).
#pragma once

#include <cstddef>
#include <cstdint>

#include "../neutral/include/guiddef.h"

using VOID = void;
using PVOID = void*;
using CHAR = char;
using PCHAR = char*;
using UCHAR = uint8_t;
using PUCHAR = UCHAR*;
using BOOLEAN = uint8_t;
using PBOOLEAN = BOOLEAN*;
using SHORT = int16_t;
using USHORT = uint16_t;
using PUSHORT = USHORT*;
using LONG = int32_t;
using PLONG = LONG*;
using ULONG = uint32_t;
using PULONG = ULONG*;
using LONG64 = int64_t;
using ULONG64 = uint64_t;
using LONGLONG = int64_t;
using PLONGLONG = LONGLONG*;
using ULONGLONG = uint64_t;
using ULONG_PTR = uintptr_t;
using PULONG_PTR = ULONG_PTR*;
using LONG_PTR = intptr_t;
using SIZE_T = size_t;
using PSIZE_T = SIZE_T*;
using WCHAR = wchar_t;
using PWCHAR = WCHAR*;
using PWSTR = WCHAR*;
using PCWSTR = const WCHAR*;
using PSTR = char*;
using PCSTR = const char*;
using HANDLE = void*;
using PHANDLE = HANDLE*;
using NTSTATUS = LONG;
using KIRQL = UCHAR;
using PKIRQL = KIRQL*;
using KPRIORITY = LONG;
using ACCESS_MASK = ULONG;
using KAFFINITY = ULONG_PTR;

static_assert(sizeof(LONG) == 4 && sizeof(ULONG) == 4 && sizeof(WCHAR) == 2 && sizeof(PVOID) == 8);

constexpr BOOLEAN TRUE = 1;
constexpr BOOLEAN FALSE = 0;

#define NT_SUCCESS(Status) (static_cast<NTSTATUS>(Status) >= 0)
#define NT_ERROR(Status) ((static_cast<ULONG>(Status) >> 30) == 3)

union LARGE_INTEGER {
  struct {
    ULONG LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
};
using PLARGE_INTEGER = LARGE_INTEGER*;
static_assert(sizeof(LARGE_INTEGER) == 8);


struct LIST_ENTRY {
  LIST_ENTRY* Flink;
  LIST_ENTRY* Blink;
};
using PLIST_ENTRY = LIST_ENTRY*;

struct SINGLE_LIST_ENTRY {
  SINGLE_LIST_ENTRY* Next;
};
using PSINGLE_LIST_ENTRY = SINGLE_LIST_ENTRY*;

struct UNICODE_STRING {
  USHORT Length;         // bytes, without a terminator
  USHORT MaximumLength;  // bytes
  PWSTR Buffer;
};
using PUNICODE_STRING = UNICODE_STRING*;
using PCUNICODE_STRING = const UNICODE_STRING*;
static_assert(sizeof(UNICODE_STRING) == 16 && offsetof(UNICODE_STRING, Buffer) == 8);

struct ANSI_STRING {
  USHORT Length;
  USHORT MaximumLength;
  PCHAR Buffer;
};
using PANSI_STRING = ANSI_STRING*;
using PCANSI_STRING = const ANSI_STRING*;
static_assert(sizeof(ANSI_STRING) == 16 && offsetof(ANSI_STRING, Buffer) == 8);

#define CONTAINING_RECORD(address, type, field) \
  (reinterpret_cast<type*>(reinterpret_cast<char*>(address) - offsetof(type, field)))

#define UNREFERENCED_PARAMETER(P) ((void)(P))

// Doubly linked list helpers, as inline routines like the real headers have them.
inline void InitializeListHead(PLIST_ENTRY head) { head->Flink = head->Blink = head; }
inline BOOLEAN IsListEmpty(const LIST_ENTRY* head) { return head->Flink == head; }
inline BOOLEAN RemoveEntryList(PLIST_ENTRY entry) {
  PLIST_ENTRY next = entry->Flink;
  PLIST_ENTRY prev = entry->Blink;
  prev->Flink = next;
  next->Blink = prev;
  return next == prev;
}
inline PLIST_ENTRY RemoveHeadList(PLIST_ENTRY head) {
  PLIST_ENTRY entry = head->Flink;
  RemoveEntryList(entry);
  return entry;
}
inline PLIST_ENTRY RemoveTailList(PLIST_ENTRY head) {
  PLIST_ENTRY entry = head->Blink;
  RemoveEntryList(entry);
  return entry;
}
inline void InsertTailList(PLIST_ENTRY head, PLIST_ENTRY entry) {
  PLIST_ENTRY last = head->Blink;
  entry->Flink = head;
  entry->Blink = last;
  last->Flink = entry;
  head->Blink = entry;
}
inline void InsertHeadList(PLIST_ENTRY head, PLIST_ENTRY entry) {
  PLIST_ENTRY first = head->Flink;
  entry->Flink = first;
  entry->Blink = head;
  first->Blink = entry;
  head->Flink = entry;
}
