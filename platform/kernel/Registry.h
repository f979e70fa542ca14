// The registry: Zw* key and value routines over one in-memory hive.
//
// The hive is a tree of keys under "\Registry". Names are case-insensitive (the case a key or
// value was created with is kept for display); subkeys enumerate in upper-case order, values in
// the order they were first set. These keys always exist and cannot be deleted:
//   \Registry\Machine\System\CurrentControlSet\Services
//   \Registry\Machine\System\CurrentControlSet\Control
//   \Registry\Machine\Software\Microsoft\Windows NT\CurrentVersion
//   \Registry\Machine\HARDWARE\DEVICEMAP    (HARDWARE is volatile: never saved, as on Windows)
//   \Registry\User
// Kernel callers are not access-checked (a Zw call has previous mode KernelMode); the access a
// key was opened with is kept for a user-mode layer. Every routine runs at PASSIVE_LEVEL.
#pragma once

#include "Handles.h"
#include "KernelTypes.h"
#include "NtStatus.h"

// Value types.
constexpr ULONG REG_NONE = 0;
constexpr ULONG REG_SZ = 1;
constexpr ULONG REG_EXPAND_SZ = 2;
constexpr ULONG REG_BINARY = 3;
constexpr ULONG REG_DWORD = 4;
constexpr ULONG REG_DWORD_LITTLE_ENDIAN = 4;
constexpr ULONG REG_DWORD_BIG_ENDIAN = 5;
constexpr ULONG REG_LINK = 6;
constexpr ULONG REG_MULTI_SZ = 7;
constexpr ULONG REG_RESOURCE_LIST = 8;
constexpr ULONG REG_FULL_RESOURCE_DESCRIPTOR = 9;
constexpr ULONG REG_RESOURCE_REQUIREMENTS_LIST = 10;
constexpr ULONG REG_QWORD = 11;

// Key access rights.
constexpr ACCESS_MASK KEY_QUERY_VALUE = 0x0001;
constexpr ACCESS_MASK KEY_SET_VALUE = 0x0002;
constexpr ACCESS_MASK KEY_CREATE_SUB_KEY = 0x0004;
constexpr ACCESS_MASK KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr ACCESS_MASK KEY_NOTIFY = 0x0010;
constexpr ACCESS_MASK KEY_CREATE_LINK = 0x0020;
constexpr ACCESS_MASK KEY_READ = 0x20019;
constexpr ACCESS_MASK KEY_WRITE = 0x20006;
constexpr ACCESS_MASK KEY_EXECUTE = 0x20019;
constexpr ACCESS_MASK KEY_ALL_ACCESS = 0xF003F;

// Create options and dispositions.
constexpr ULONG REG_OPTION_NON_VOLATILE = 0x0;
constexpr ULONG REG_OPTION_VOLATILE = 0x1;  // never saved; its subkeys must be volatile too
constexpr ULONG REG_CREATED_NEW_KEY = 1;
constexpr ULONG REG_OPENED_EXISTING_KEY = 2;

enum KEY_INFORMATION_CLASS {
  KeyBasicInformation = 0,
  KeyNodeInformation = 1,
  KeyFullInformation = 2,
  KeyNameInformation = 3,
};

enum KEY_VALUE_INFORMATION_CLASS {
  KeyValueBasicInformation = 0,
  KeyValueFullInformation = 1,
  KeyValuePartialInformation = 2,
};

// Information records. Each has a fixed header (the offset of its last member); a buffer shorter
// than the header gets STATUS_BUFFER_TOO_SMALL and nothing written. A buffer that holds the
// header but not the whole record gets STATUS_BUFFER_OVERFLOW with the header written (with the
// full lengths), as much of a name as fits, and no data. ResultLength is always the full size.
struct KEY_VALUE_PARTIAL_INFORMATION {
  ULONG TitleIndex;
  ULONG Type;
  ULONG DataLength;
  UCHAR Data[1];
};
using PKEY_VALUE_PARTIAL_INFORMATION = KEY_VALUE_PARTIAL_INFORMATION*;
static_assert(offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) == 12 && sizeof(KEY_VALUE_PARTIAL_INFORMATION) == 16);

struct KEY_VALUE_BASIC_INFORMATION {
  ULONG TitleIndex;
  ULONG Type;
  ULONG NameLength;  // bytes
  WCHAR Name[1];
};
using PKEY_VALUE_BASIC_INFORMATION = KEY_VALUE_BASIC_INFORMATION*;
static_assert(offsetof(KEY_VALUE_BASIC_INFORMATION, Name) == 12);

struct KEY_VALUE_FULL_INFORMATION {
  ULONG TitleIndex;
  ULONG Type;
  ULONG DataOffset;  // from the start of the record, 4-aligned, after the name
  ULONG DataLength;
  ULONG NameLength;  // bytes
  WCHAR Name[1];
};
using PKEY_VALUE_FULL_INFORMATION = KEY_VALUE_FULL_INFORMATION*;
static_assert(offsetof(KEY_VALUE_FULL_INFORMATION, Name) == 20);

struct KEY_BASIC_INFORMATION {
  LARGE_INTEGER LastWriteTime;
  ULONG TitleIndex;
  ULONG NameLength;  // bytes
  WCHAR Name[1];
};
using PKEY_BASIC_INFORMATION = KEY_BASIC_INFORMATION*;
static_assert(offsetof(KEY_BASIC_INFORMATION, Name) == 16);

struct KEY_FULL_INFORMATION {
  LARGE_INTEGER LastWriteTime;
  ULONG TitleIndex;
  ULONG ClassOffset;  // 0xFFFFFFFF: keys here have no class
  ULONG ClassLength;
  ULONG SubKeys;
  ULONG MaxNameLen;  // bytes
  ULONG MaxClassLen;
  ULONG Values;
  ULONG MaxValueNameLen;  // bytes
  ULONG MaxValueDataLen;
  WCHAR Class[1];
};
using PKEY_FULL_INFORMATION = KEY_FULL_INFORMATION*;
static_assert(offsetof(KEY_FULL_INFORMATION, Class) == 44);

struct KEY_NAME_INFORMATION {
  ULONG NameLength;  // bytes of the full path, "\Registry\..."
  WCHAR Name[1];
};
using PKEY_NAME_INFORMATION = KEY_NAME_INFORMATION*;
static_assert(offsetof(KEY_NAME_INFORMATION, Name) == 4);

// Keys. An absolute ObjectName starts with "\"; with a RootDirectory (a key handle) it is
// relative and must not. Repeated separators count as one. A missing key, or for ZwCreateKey a
// missing parent, is STATUS_OBJECT_NAME_NOT_FOUND.
NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                     ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition);
NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes);
// A key with subkeys, or one of the permanent keys: STATUS_CANNOT_DELETE. The handle stays open
// (close it); further use of it gives STATUS_KEY_DELETED.
NTSTATUS ZwDeleteKey(HANDLE KeyHandle);
NTSTATUS ZwFlushKey(HANDLE KeyHandle);
NTSTATUS ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation,
                    ULONG Length, PULONG ResultLength);
// Basic, full and name information (node information is not kept); past the last subkey
// STATUS_NO_MORE_ENTRIES. ZwEnumerateValueKey likewise over the values.
NTSTATUS ZwEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                        PVOID KeyInformation, ULONG Length, PULONG ResultLength);

// Values. An empty name is the key's default value. A missing value: STATUS_OBJECT_NAME_NOT_FOUND.
NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                       ULONG DataSize);
NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                         ULONG Length, PULONG ResultLength);
NTSTATUS ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index, KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                             PVOID KeyValueInformation, ULONG Length, PULONG ResultLength);
NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName);
