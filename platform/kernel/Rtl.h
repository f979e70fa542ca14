// Run-time library: counted strings, integer and GUID conversion, memory routines.
//
// Windows semantics: Length and MaximumLength count bytes, a string needs no terminator, and
// lengths are 16-bit. Where a result would not fit 16 bits the routine fails (or, for the void
// initialisers, the verifier stops the test): a length never wraps. Strings that a routine
// allocates come from paged pool and go back with RtlFreeUnicodeString / RtlFreeAnsiString.
// The ANSI code page is Windows-1252.
#pragma once

#include <cstring>

#include "KernelTypes.h"
#include "NtStatus.h"

using PCSZ = const char*;

// Initialisation. The Init routines count up to the terminator; a source too long for 16 bits is
// a verifier violation (the Ex form returns STATUS_NAME_TOO_LONG instead).
void RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
NTSTATUS RtlInitUnicodeStringEx(PUNICODE_STRING DestinationString, PCWSTR SourceString);
void RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString);
void RtlInitEmptyUnicodeString(PUNICODE_STRING DestinationString, PWCHAR Buffer, USHORT BufferSize);
// A pool copy of a terminated string (with its terminator); FALSE when it cannot be allocated.
BOOLEAN RtlCreateUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
constexpr ULONG RTL_DUPLICATE_UNICODE_STRING_NULL_TERMINATE = 1;
constexpr ULONG RTL_DUPLICATE_UNICODE_STRING_ALLOCATE_NULL_STRING = 2;
NTSTATUS RtlDuplicateUnicodeString(ULONG Flags, PCUNICODE_STRING StringIn, PUNICODE_STRING StringOut);

// Conversion. With AllocateDestinationString the result (terminated) is allocated; without it
// the caller's buffer must hold the result and a terminator:
//  - ANSI -> Unicode: STATUS_BUFFER_OVERFLOW and nothing written when it does not;
//  - Unicode -> ANSI: as on Windows, the result is cut to fit, terminated, and the status is
//    STATUS_BUFFER_OVERFLOW.
// A result longer than 16 bits allow: STATUS_INVALID_PARAMETER_2. Characters that Windows-1252
// lacks become '?'.
NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                      BOOLEAN AllocateDestinationString);
NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                      BOOLEAN AllocateDestinationString);
// Frees a pool-allocated buffer (whoever allocated it) and empties the string.
void RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);
void RtlFreeAnsiString(PANSI_STRING AnsiString);

// Comparison. Case-insensitive compares fold with RtlUpcaseUnicodeChar (ASCII and Latin-1).
WCHAR RtlUpcaseUnicodeChar(WCHAR SourceCharacter);
LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive);
BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive);
LONG RtlCompareString(PCANSI_STRING String1, PCANSI_STRING String2, BOOLEAN CaseInSensitive);
BOOLEAN RtlEqualString(PCANSI_STRING String1, PCANSI_STRING String2, BOOLEAN CaseInSensitive);
BOOLEAN RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive);

// Copying and appending. Copy cuts to the destination's MaximumLength (as on Windows); the
// appends fail with STATUS_BUFFER_TOO_SMALL and leave the destination as it was. Each adds a
// terminator when there is room for one.
void RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);
NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source);

// Integers. Base 0 means 10 (and, when parsing, honours a 0x, 0o or 0b prefix); other bases:
// 2, 8, 10, 16, else STATUS_INVALID_PARAMETER. Parsing skips leading blanks, takes a sign and
// stops at the first character that is not a digit; like Windows it wraps modulo 2^32.
// Formatting writes upper-case digits and fails with STATUS_BUFFER_OVERFLOW when the digits and
// a terminator do not fit.
NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String);
NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value);

// GUIDs as "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case. RtlStringFromGUID allocates
// (STATUS_NO_MEMORY without pool); RtlGUIDFromString takes either case and nothing else
// (STATUS_INVALID_PARAMETER).
NTSTATUS RtlStringFromGUID(const GUID& Guid, PUNICODE_STRING GuidString);
NTSTATUS RtlGUIDFromString(PCUNICODE_STRING GuidString, GUID* Guid);

// Memory.
inline void RtlZeroMemory(PVOID Destination, SIZE_T Length) { std::memset(Destination, 0, Length); }
inline void RtlFillMemory(PVOID Destination, SIZE_T Length, UCHAR Fill) { std::memset(Destination, Fill, Length); }
inline void RtlCopyMemory(PVOID Destination, const void* Source, SIZE_T Length) {
  if (Length != 0) std::memcpy(Destination, Source, Length);
}
inline void RtlMoveMemory(PVOID Destination, const void* Source, SIZE_T Length) {
  if (Length != 0) std::memmove(Destination, Source, Length);
}
// The number of leading bytes that match.
SIZE_T RtlCompareMemory(const void* Source1, const void* Source2, SIZE_T Length);
#define RtlEqualMemory(a, b, n) (RtlCompareMemory((a), (b), (n)) == (n))

// Constant strings from literals: RTL_CONSTANT_STRING(L"Parameters") or ("text") for ANSI;
// DECLARE_CONST_UNICODE_STRING(name, L"text") and DECLARE_UNICODE_STRING_SIZE(name, chars).
namespace rtl_detail {
template <size_t N>
constexpr UNICODE_STRING ConstantString(const WCHAR (&s)[N]) {
  static_assert(N * sizeof(WCHAR) <= 0xFFFF, "string too long for a UNICODE_STRING");
  return UNICODE_STRING{static_cast<USHORT>((N - 1) * sizeof(WCHAR)), static_cast<USHORT>(N * sizeof(WCHAR)),
                        const_cast<PWSTR>(s)};
}
template <size_t N>
constexpr ANSI_STRING ConstantString(const CHAR (&s)[N]) {
  static_assert(N <= 0xFFFF, "string too long for an ANSI_STRING");
  return ANSI_STRING{static_cast<USHORT>(N - 1), static_cast<USHORT>(N), const_cast<PCHAR>(s)};
}
}  // namespace rtl_detail
#define RTL_CONSTANT_STRING(s) ::rtl_detail::ConstantString(s)
#define DECLARE_CONST_UNICODE_STRING(_var, _string) const UNICODE_STRING _var = RTL_CONSTANT_STRING(_string)
#define DECLARE_UNICODE_STRING_SIZE(_var, _size)      \
  WCHAR _var##_buffer[_size];                         \
  UNICODE_STRING _var = {0, static_cast<USHORT>((_size) * sizeof(WCHAR)), _var##_buffer}
