// Object attributes and ZwClose. ZwClose of a handle that is not open is a verifier violation, as
// it is a bug check (INVALID_KERNEL_HANDLE) on Windows.
#pragma once

#include "KernelTypes.h"
#include "NtStatus.h"

constexpr ULONG OBJ_INHERIT = 0x00000002;
constexpr ULONG OBJ_PERMANENT = 0x00000010;
constexpr ULONG OBJ_EXCLUSIVE = 0x00000020;
constexpr ULONG OBJ_CASE_INSENSITIVE = 0x00000040;
constexpr ULONG OBJ_OPENIF = 0x00000080;
constexpr ULONG OBJ_OPENLINK = 0x00000100;
constexpr ULONG OBJ_KERNEL_HANDLE = 0x00000200;
constexpr ULONG OBJ_FORCE_ACCESS_CHECK = 0x00000400;
constexpr ULONG OBJ_VALID_ATTRIBUTES = 0x000007F2;

struct OBJECT_ATTRIBUTES {
  ULONG Length;
  HANDLE RootDirectory;
  PUNICODE_STRING ObjectName;
  ULONG Attributes;
  PVOID SecurityDescriptor;
  PVOID SecurityQualityOfService;
};
using POBJECT_ATTRIBUTES = OBJECT_ATTRIBUTES*;
using PCOBJECT_ATTRIBUTES = const OBJECT_ATTRIBUTES*;
static_assert(sizeof(OBJECT_ATTRIBUTES) == 48 && offsetof(OBJECT_ATTRIBUTES, ObjectName) == 16 &&
              offsetof(OBJECT_ATTRIBUTES, Attributes) == 24);

inline void InitializeObjectAttributesRoutine(POBJECT_ATTRIBUTES p, PUNICODE_STRING n, ULONG a, HANDLE r,
                                              PVOID s) {
  p->Length = sizeof(OBJECT_ATTRIBUTES);
  p->RootDirectory = r;
  p->Attributes = a;
  p->ObjectName = n;
  p->SecurityDescriptor = s;
  p->SecurityQualityOfService = nullptr;
}
#define InitializeObjectAttributes(p, n, a, r, s) InitializeObjectAttributesRoutine((p), (n), (a), (r), (s))

// Closes a kernel handle, or a handle of the current process (PASSIVE_LEVEL).
NTSTATUS ZwClose(HANDLE Handle);
