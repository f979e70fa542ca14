#include "platform/kernel/Rtl.h"

#include "platform/kernel/Irql.h"
#include "platform/kernel/Pool.h"
#include "platform/kernel/Verifier.h"

namespace {

constexpr ULONG kStringTag = plat::PoolTag("Strg");
constexpr ULONG kMaxUShort = 0xFFFF;

// Windows-1252 bytes 0x80..0x9F; the five it leaves undefined map to the same code point.
constexpr WCHAR kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

WCHAR AnsiToWide(CHAR c) {
  auto b = static_cast<UCHAR>(c);
  return (b >= 0x80 && b < 0xA0) ? kCp1252High[b - 0x80] : static_cast<WCHAR>(b);
}

CHAR WideToAnsi(WCHAR w) {
  if (w < 0x80 || (w >= 0xA0 && w <= 0xFF)) return static_cast<CHAR>(w);
  for (int i = 0; i < 32; ++i)
    if (kCp1252High[i] == w) return static_cast<CHAR>(0x80 + i);
  return '?';
}

size_t WideLength(PCWSTR s) {
  size_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}

PVOID AllocateString(SIZE_T bytes) { return ExAllocatePoolWithTag(PagedPool, bytes, kStringTag); }

void Terminate(PUNICODE_STRING s) {
  if (static_cast<ULONG>(s->Length) + sizeof(WCHAR) <= s->MaximumLength) s->Buffer[s->Length / sizeof(WCHAR)] = 0;
}

CHAR AnsiUpcase(CHAR c) { return (c >= 'a' && c <= 'z') ? static_cast<CHAR>(c - 'a' + 'A') : c; }

int DigitValue(WCHAR c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ValidBase(ULONG base) { return base == 2 || base == 8 || base == 10 || base == 16; }

}  // namespace

// Initialisation

void RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  if (RtlInitUnicodeStringEx(DestinationString, SourceString) == STATUS_NAME_TOO_LONG)
    plat::Violation("RtlInitUnicodeString of a string too long for a UNICODE_STRING");
}

NTSTATUS RtlInitUnicodeStringEx(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  *DestinationString = {0, 0, const_cast<PWSTR>(SourceString)};
  if (SourceString == nullptr) return STATUS_SUCCESS;
  size_t bytes = WideLength(SourceString) * sizeof(WCHAR);
  if (bytes + sizeof(WCHAR) > kMaxUShort) {
    DestinationString->Buffer = nullptr;
    return STATUS_NAME_TOO_LONG;
  }
  DestinationString->Length = static_cast<USHORT>(bytes);
  DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
  return STATUS_SUCCESS;
}

void RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString) {
  *DestinationString = {0, 0, const_cast<PCHAR>(SourceString)};
  if (SourceString == nullptr) return;
  size_t bytes = std::strlen(SourceString);
  if (bytes + 1 > kMaxUShort) plat::Violation("RtlInitAnsiString of a string too long for an ANSI_STRING");
  DestinationString->Length = static_cast<USHORT>(bytes);
  DestinationString->MaximumLength = static_cast<USHORT>(bytes + 1);
}

void RtlInitEmptyUnicodeString(PUNICODE_STRING DestinationString, PWCHAR Buffer, USHORT BufferSize) {
  *DestinationString = {0, BufferSize, Buffer};
}

BOOLEAN RtlCreateUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  PAGED_CODE();
  size_t bytes = (WideLength(SourceString) + 1) * sizeof(WCHAR);
  if (bytes > kMaxUShort) return FALSE;
  auto* buffer = static_cast<PWSTR>(AllocateString(bytes));
  if (buffer == nullptr) return FALSE;
  std::memcpy(buffer, SourceString, bytes);
  *DestinationString = {static_cast<USHORT>(bytes - sizeof(WCHAR)), static_cast<USHORT>(bytes), buffer};
  return TRUE;
}

NTSTATUS RtlDuplicateUnicodeString(ULONG Flags, PCUNICODE_STRING StringIn, PUNICODE_STRING StringOut) {
  PAGED_CODE();
  constexpr ULONG kValid =
      RTL_DUPLICATE_UNICODE_STRING_NULL_TERMINATE | RTL_DUPLICATE_UNICODE_STRING_ALLOCATE_NULL_STRING;
  if (StringOut == nullptr || (Flags & ~kValid) != 0) return STATUS_INVALID_PARAMETER;
  USHORT length = StringIn == nullptr ? 0 : StringIn->Length;
  if (length == 0 && (Flags & RTL_DUPLICATE_UNICODE_STRING_ALLOCATE_NULL_STRING) == 0) {
    *StringOut = {0, 0, nullptr};
    return STATUS_SUCCESS;
  }
  ULONG bytes = length + ((Flags & RTL_DUPLICATE_UNICODE_STRING_NULL_TERMINATE) ? sizeof(WCHAR) : 0);
  if (bytes > kMaxUShort) return STATUS_NAME_TOO_LONG;
  auto* buffer = static_cast<PWSTR>(AllocateString(bytes));
  if (buffer == nullptr) return STATUS_NO_MEMORY;
  RtlCopyMemory(buffer, length ? StringIn->Buffer : nullptr, length);
  *StringOut = {length, static_cast<USHORT>(bytes), buffer};
  Terminate(StringOut);
  return STATUS_SUCCESS;
}

// Conversion

NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
  PAGED_CODE();
  ULONG chars = SourceString->Length;
  ULONG bytes = (chars + 1) * sizeof(WCHAR);  // with the terminator
  if (bytes > kMaxUShort) return STATUS_INVALID_PARAMETER_2;
  if (AllocateDestinationString) {
    auto* buffer = static_cast<PWSTR>(AllocateString(bytes));
    if (buffer == nullptr) return STATUS_NO_MEMORY;
    DestinationString->Buffer = buffer;
    DestinationString->MaximumLength = static_cast<USHORT>(bytes);
  } else if (DestinationString->MaximumLength < bytes) {
    return STATUS_BUFFER_OVERFLOW;
  }
  for (ULONG i = 0; i < chars; ++i) DestinationString->Buffer[i] = AnsiToWide(SourceString->Buffer[i]);
  DestinationString->Buffer[chars] = 0;
  DestinationString->Length = static_cast<USHORT>(chars * sizeof(WCHAR));
  return STATUS_SUCCESS;
}

NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
  PAGED_CODE();
  ULONG chars = SourceString->Length / sizeof(WCHAR);
  ULONG bytes = chars + 1;
  if (bytes > kMaxUShort) return STATUS_INVALID_PARAMETER_2;
  NTSTATUS status = STATUS_SUCCESS;
  if (AllocateDestinationString) {
    auto* buffer = static_cast<PCHAR>(AllocateString(bytes));
    if (buffer == nullptr) return STATUS_NO_MEMORY;
    DestinationString->Buffer = buffer;
    DestinationString->MaximumLength = static_cast<USHORT>(bytes);
  } else if (DestinationString->MaximumLength < bytes) {
    if (DestinationString->MaximumLength == 0) return STATUS_BUFFER_OVERFLOW;
    status = STATUS_BUFFER_OVERFLOW;
    chars = DestinationString->MaximumLength - 1u;
  }
  for (ULONG i = 0; i < chars; ++i) DestinationString->Buffer[i] = WideToAnsi(SourceString->Buffer[i]);
  DestinationString->Buffer[chars] = 0;
  DestinationString->Length = static_cast<USHORT>(chars);
  return status;
}

void RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
  if (UnicodeString->Buffer != nullptr) ExFreePool(UnicodeString->Buffer);
  *UnicodeString = {0, 0, nullptr};
}

void RtlFreeAnsiString(PANSI_STRING AnsiString) {
  if (AnsiString->Buffer != nullptr) ExFreePool(AnsiString->Buffer);
  *AnsiString = {0, 0, nullptr};
}

// Comparison

WCHAR RtlUpcaseUnicodeChar(WCHAR c) {
  if (c >= u'a' && c <= u'z') return static_cast<WCHAR>(c - u'a' + u'A');
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<WCHAR>(c - 0x20);
  if (c == 0xFF) return 0x178;
  return c;
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
  ULONG n1 = String1->Length / sizeof(WCHAR), n2 = String2->Length / sizeof(WCHAR);
  for (ULONG i = 0; i < n1 && i < n2; ++i) {
    WCHAR a = String1->Buffer[i], b = String2->Buffer[i];
    if (CaseInSensitive) {
      a = RtlUpcaseUnicodeChar(a);
      b = RtlUpcaseUnicodeChar(b);
    }
    if (a != b) return static_cast<LONG>(a) - static_cast<LONG>(b);
  }
  return static_cast<LONG>(String1->Length) - static_cast<LONG>(String2->Length);
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
  if (String1->Length / sizeof(WCHAR) != String2->Length / sizeof(WCHAR)) return FALSE;
  return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0 ? TRUE : FALSE;
}

BOOLEAN RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
  if (String1->Length > String2->Length) return FALSE;
  UNICODE_STRING head = *String2;
  head.Length = String1->Length;
  return RtlEqualUnicodeString(String1, &head, CaseInSensitive);
}

LONG RtlCompareString(PCANSI_STRING String1, PCANSI_STRING String2, BOOLEAN CaseInSensitive) {
  for (ULONG i = 0; i < String1->Length && i < String2->Length; ++i) {
    CHAR a = String1->Buffer[i], b = String2->Buffer[i];
    if (CaseInSensitive) {
      a = AnsiUpcase(a);
      b = AnsiUpcase(b);
    }
    if (a != b) return static_cast<LONG>(static_cast<UCHAR>(a)) - static_cast<LONG>(static_cast<UCHAR>(b));
  }
  return static_cast<LONG>(String1->Length) - static_cast<LONG>(String2->Length);
}

BOOLEAN RtlEqualString(PCANSI_STRING String1, PCANSI_STRING String2, BOOLEAN CaseInSensitive) {
  if (String1->Length != String2->Length) return FALSE;
  return RtlCompareString(String1, String2, CaseInSensitive) == 0 ? TRUE : FALSE;
}

// Copying and appending

void RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
  if (SourceString == nullptr) {
    DestinationString->Length = 0;
    return;
  }
  USHORT n = SourceString->Length < DestinationString->MaximumLength ? SourceString->Length
                                                                     : DestinationString->MaximumLength;
  n = static_cast<USHORT>(n & ~1u);  // whole characters only
  RtlMoveMemory(DestinationString->Buffer, SourceString->Buffer, n);
  DestinationString->Length = n;
  Terminate(DestinationString);
}

namespace {
NTSTATUS Append(PUNICODE_STRING Destination, const WCHAR* source, size_t bytes) {
  if (bytes == 0) return STATUS_SUCCESS;
  if (Destination->Length + bytes > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
  RtlMoveMemory(reinterpret_cast<UCHAR*>(Destination->Buffer) + Destination->Length, source, bytes);
  Destination->Length = static_cast<USHORT>(Destination->Length + bytes);
  Terminate(Destination);
  return STATUS_SUCCESS;
}
}  // namespace

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
  if (Source == nullptr) return STATUS_SUCCESS;
  return Append(Destination, Source, WideLength(Source) * sizeof(WCHAR));
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
  return Append(Destination, Source->Buffer, Source->Length & ~1u);
}

// Integers

NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
  if (Base == 0) Base = 10;
  if (!ValidBase(Base)) return STATUS_INVALID_PARAMETER;
  WCHAR digits[32];
  size_t n = 0;
  do {
    ULONG d = Value % Base;
    digits[n++] = static_cast<WCHAR>(d < 10 ? u'0' + d : u'A' + d - 10);
    Value /= Base;
  } while (Value != 0);
  if ((n + 1) * sizeof(WCHAR) > String->MaximumLength) return STATUS_BUFFER_OVERFLOW;
  for (size_t i = 0; i < n; ++i) String->Buffer[i] = digits[n - 1 - i];
  String->Buffer[n] = 0;
  String->Length = static_cast<USHORT>(n * sizeof(WCHAR));
  return STATUS_SUCCESS;
}

NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value) {
  if (Value == nullptr) plat::Violation("RtlUnicodeStringToInteger without a place for the value");
  if (Base != 0 && !ValidBase(Base)) return STATUS_INVALID_PARAMETER;
  const WCHAR* s = String->Buffer;
  size_t n = String->Length / sizeof(WCHAR), i = 0;
  while (i < n && s[i] <= u' ') ++i;
  bool negative = false;
  if (i < n && (s[i] == u'+' || s[i] == u'-')) negative = s[i++] == u'-';
  if (Base == 0) {
    Base = 10;
    if (i + 1 < n && s[i] == u'0') {
      WCHAR p = s[i + 1];
      ULONG prefixed = p == u'x' ? 16 : p == u'o' ? 8 : p == u'b' ? 2 : 0;
      if (prefixed != 0) {
        Base = prefixed;
        i += 2;
      }
    }
  }
  ULONG total = 0;
  for (; i < n; ++i) {
    int d = DigitValue(s[i]);
    if (d < 0 || static_cast<ULONG>(d) >= Base) break;
    total = total * Base + static_cast<ULONG>(d);
  }
  *Value = negative ? 0u - total : total;
  return STATUS_SUCCESS;
}

// GUIDs

NTSTATUS RtlStringFromGUID(const GUID& Guid, PUNICODE_STRING GuidString) {
  PAGED_CODE();
  constexpr size_t kChars = 38;
  auto* buffer = static_cast<PWSTR>(AllocateString((kChars + 1) * sizeof(WCHAR)));
  if (buffer == nullptr) return STATUS_NO_MEMORY;
  size_t at = 0;
  auto hex = [&](ULONG v, int digits) {
    for (int d = digits - 1; d >= 0; --d) buffer[at++] = u"0123456789ABCDEF"[(v >> (4 * d)) & 0xF];
  };
  buffer[at++] = u'{';
  hex(Guid.Data1, 8);
  buffer[at++] = u'-';
  hex(Guid.Data2, 4);
  buffer[at++] = u'-';
  hex(Guid.Data3, 4);
  buffer[at++] = u'-';
  for (int i = 0; i < 8; ++i) {
    if (i == 2) buffer[at++] = u'-';
    hex(Guid.Data4[i], 2);
  }
  buffer[at++] = u'}';
  buffer[at] = 0;
  *GuidString = {static_cast<USHORT>(kChars * sizeof(WCHAR)), static_cast<USHORT>((kChars + 1) * sizeof(WCHAR)),
                 buffer};
  return STATUS_SUCCESS;
}

NTSTATUS RtlGUIDFromString(PCUNICODE_STRING GuidString, GUID* Guid) {
  constexpr char kShape[] = "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}";
  if (GuidString->Length != (sizeof(kShape) - 1) * sizeof(WCHAR)) return STATUS_INVALID_PARAMETER;
  const WCHAR* s = GuidString->Buffer;
  for (size_t i = 0; i + 1 < sizeof(kShape); ++i) {
    bool ok = kShape[i] == 'X' ? DigitValue(s[i]) >= 0 : s[i] == static_cast<WCHAR>(kShape[i]);
    if (!ok) return STATUS_INVALID_PARAMETER;
  }
  auto hex = [s](size_t at, int digits) {
    ULONG v = 0;
    for (int d = 0; d < digits; ++d) v = v << 4 | static_cast<ULONG>(DigitValue(s[at + d]));
    return v;
  };
  Guid->Data1 = hex(1, 8);
  Guid->Data2 = static_cast<USHORT>(hex(10, 4));
  Guid->Data3 = static_cast<USHORT>(hex(15, 4));
  for (int i = 0; i < 8; ++i) Guid->Data4[i] = static_cast<UCHAR>(hex(i < 2 ? 20 + 2 * i : 25 + 2 * (i - 2), 2));
  return STATUS_SUCCESS;
}

SIZE_T RtlCompareMemory(const void* Source1, const void* Source2, SIZE_T Length) {
  auto* a = static_cast<const UCHAR*>(Source1);
  auto* b = static_cast<const UCHAR*>(Source2);
  SIZE_T i = 0;
  while (i < Length && a[i] == b[i]) ++i;
  return i;
}
