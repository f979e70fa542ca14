// The kernel handle table behind ZwClose.
//
// Every HANDLE the stand-in gives to kernel code (registry keys here; files, events and the like
// from the I/O and object managers) is an entry of one table: a kind and the object. A kind is a
// static HandleKind with its name and the routine that ZwClose runs for that kind, so any part of
// the stand-in can add its own kinds:
//
//   const plat::HandleKind kFileHandle{"File", &CloseFileObject};
//   HANDLE h = plat::KernelHandles::Insert(&kFileHandle, fileObject);
//   plat::KernelHandles::Reference(h, &kFileHandle, &object);   // in ObReferenceObjectByHandle
//
// Handle values look like Windows kernel handles (0xFFFFFFFF8000xxxx, multiples of 4) and are
// never reused, so a closed handle stays invalid.
#pragma once

#include <string>

#include "KernelTypes.h"
#include "NtStatus.h"

namespace plat {

struct HandleKind {
  const char* name;
  void (*close)(PVOID object);  // runs on ZwClose, outside the table's lock
};

// Whether a handle value is of the kernel's table (a process's handles are small values).
inline bool IsKernelHandle(HANDLE h) { return reinterpret_cast<ULONG_PTR>(h) >= 0xFFFFFFFF80000000ull && reinterpret_cast<LONG_PTR>(h) < -2; }

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
