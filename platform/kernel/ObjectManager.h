// The object manager: reference-counted kernel objects, the object namespace ("\Device",
// "\Driver", "\??" with "\DosDevices" as its other name) and symbolic links in it.
#pragma once

#include <string>
#include <string_view>

#include "Handles.h"
#include "KernelTypes.h"
#include "NtStatus.h"
#include "Sync.h"

struct OBJECT_TYPE;
using POBJECT_TYPE = OBJECT_TYPE*;

// Each names the type's pointer, as the kernel exports them: code passes *ExEventObjectType.
extern POBJECT_TYPE* IoDeviceObjectType;
extern POBJECT_TYPE* IoDriverObjectType;
extern POBJECT_TYPE* IoFileObjectType;
extern POBJECT_TYPE* ObSymbolicLinkObjectType;
extern POBJECT_TYPE* ExEventObjectType;  // its body is a KEVENT

// The access a driver asks for to set an event it was handed.
constexpr ACCESS_MASK EVENT_MODIFY_STATE = 0x0002;

LONG_PTR ObReferenceObject(PVOID Object);
LONG_PTR ObDereferenceObject(PVOID Object);

// A handle is one of the current process's (small values) or of the kernel's table (kernel handles,
// which user mode may not pass: STATUS_INVALID_HANDLE); NtCurrentProcess() and NtCurrentThread()
// name the current process and thread. A user-mode reference checks the access the handle was
// opened with (STATUS_ACCESS_DENIED); a handle of another kind (a registry key) or type is
// STATUS_OBJECT_TYPE_MISMATCH. ObOpenObjectByPointer makes a kernel handle for OBJ_KERNEL_HANDLE
// or on a thread of the System process, and a handle of the current process otherwise.
NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                   KPROCESSOR_MODE AccessMode, PVOID* Object, PVOID HandleInformation);
NTSTATUS ObOpenObjectByPointer(PVOID Object, ULONG HandleAttributes, PVOID PassedAccessState, ACCESS_MASK DesiredAccess,
                               POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode, PHANDLE Handle);
NTSTATUS ZwCreateEvent(PHANDLE EventHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                       EVENT_TYPE EventType, BOOLEAN InitialState);

struct OBJECT_NAME_INFORMATION {
  UNICODE_STRING Name;  // the characters follow the record
};
using POBJECT_NAME_INFORMATION = OBJECT_NAME_INFORMATION*;

// The full name of a named object; an unnamed object gives an empty name. STATUS_INFO_LENGTH_MISMATCH
// with the needed size when Length is too small.
NTSTATUS ObQueryNameString(PVOID Object, POBJECT_NAME_INFORMATION ObjectNameInfo, ULONG Length,
                           PULONG ReturnLength);

namespace plat {

// What a type does when the last reference to one of its objects goes.
struct ObjectTypeInfo {
  const char* name;
  ULONG tag;
  void (*deleteProcedure)(PVOID body);  // may be null; runs before the memory is freed
  void (*closeProcedure)(PVOID body);   // may be null; runs when the object's last handle closes
};

// The type of a program's mutex (its body a KMUTANT).
POBJECT_TYPE MutantObjectType();

// A new object with one reference and a zeroed body; null when pool is exhausted.
PVOID ObCreateObject(POBJECT_TYPE type, size_t bodySize);
// An object of the machine itself (the System process), outside pool; it is never deleted.
PVOID ObCreatePermanentObject(POBJECT_TYPE type, size_t bodySize);
POBJECT_TYPE ObTypeOf(PVOID body);
LONG ObReferenceCount(PVOID body);

// Enters the object under a full name ("\Device\X", "\??\X", "\DosDevices\X", "\Driver\X"). The
// namespace holds a reference of its own until ObRemoveName.
NTSTATUS ObInsertName(PVOID body, std::u16string_view fullName);
void ObRemoveName(PVOID body);
// A name of a temporary object (a program's named event or mutex): the namespace holds no reference
// of its own, and the name goes when the object's last handle closes.
NTSTATUS ObInsertTemporaryName(PVOID body, std::u16string_view fullName);
// The object under a full name, or null.
PVOID ObLookupName(std::u16string_view fullName);

// Handle counts: a handle table counts each handle it gives out and closes it through
// ObCloseHandle, which runs the type's close procedure for the last handle, takes a temporary
// name away, and drops the handle's reference.
void ObHandleOpened(PVOID body);
void ObCloseHandle(PVOID body);
LONG ObHandleCount(PVOID body);
std::u16string ObFullName(PVOID body);

// Resolves a path through symbolic links to the object that names its longest known prefix;
// `remainder` receives what follows that object's name ("" or "\..."). Null when nothing matches.
PVOID ObLookupPath(std::u16string_view path, std::u16string* remainder);

NTSTATUS ObCreateSymbolicLink(std::u16string_view linkName, std::u16string_view target);
NTSTATUS ObDeleteSymbolicLink(std::u16string_view linkName);
bool ObSymbolicLinkTarget(std::u16string_view linkName, std::u16string* target);

// How many names the namespace holds (tests check that a machine leaves nothing behind).
size_t ObNamespaceSize();

std::u16string ToU16(const UNICODE_STRING& s);

}  // namespace plat
