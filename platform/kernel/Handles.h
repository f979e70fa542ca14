// Object attributes and the kernel handle table behind ZwClose.
//
// Every HANDLE the stand-in gives to kernel code (registry keys here; files, events and the like
// from the I/O and object managers) is an entry of one table: a kind and the object. A kind is a
// static plat::HandleKind with its name and the routine that ZwClose runs for that kind, so any
// part of the stand-in can add its own kinds:
//
//   const plat::HandleKind kFileHandle{"File", &CloseFileObject};
//   HANDLE h = plat::KernelHandles::Insert(&kFileHandle, fileObject);
//   plat::KernelHandles::Reference(h, &kFileHandle, &object);   // in ObReferenceObjectByHandle
//
// Handle values look like Windows kernel handles (0xFFFFFFFF8000xxxx, multiples of 4) and are
// never reused, so a closed handle stays invalid. ZwClose of a handle that is not open is a
// verifier violation, as it is a bug check (INVALID_KERNEL_HANDLE) on Windows.
#pragma once

#include <string>

#include "platform/kernel/KernelTypes.h"
#include "platform/kernel/NtStatus.h"

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

// Closes any kernel handle (PASSIVE_LEVEL).
NTSTATUS ZwClose(HANDLE Handle);

namespace plat {

struct HandleKind {
  const char* name;
  void (*close)(PVOID object);  // runs on ZwClose, outside the table's lock
};

class KernelHandles {
 public:
  static HANDLE Insert(const HandleKind* kind, PVOID object);
  // STATUS_INVALID_HANDLE when h is not open, STATUS_OBJECT_TYPE_MISMATCH when it is of another
  // kind (kind null accepts any kind). The object stays valid until the handle is closed.
  static NTSTATUS Reference(HANDLE h, const HandleKind* kind, PVOID* object);
  // Removes the entry and runs its close routine; STATUS_INVALID_HANDLE when h is not open.
  static NTSTATUS Close(HANDLE h);
  static size_t OpenCount();
  static std::string OpenReport();  // one line per open handle, empty when none
};

}  // namespace plat
