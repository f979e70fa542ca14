#include "platform/kernel/ObjectManager.h"

#include <cstring>
#include <map>
#include <new>

#include "platform/kernel/Irql.h"
#include "platform/kernel/KernelHandles.h"
#include "platform/kernel/Pool.h"
#include "platform/kernel/Process.h"
#include "platform/kernel/Scheduler.h"
#include "platform/kernel/Verifier.h"
#include "platform/kernel/WideText.h"

struct OBJECT_TYPE {
  plat::ObjectTypeInfo info;
};

namespace plat {
namespace {

constexpr uint64_t kObjectMagic = 0x4F424A4845414452ull;

struct alignas(16) ObjectHeader {
  uint64_t magic;
  LONG refs;
  POBJECT_TYPE type;
  LONG handles = 0;
  bool temporary = false;  // its name goes with its last handle
  bool permanent = false;  // outside pool, never deleted
  std::u16string name;        // canonical full name while in the namespace
  std::u16string linkTarget;  // symbolic links only
};

ObjectHeader* HeaderOf(PVOID body) {
  auto* h = reinterpret_cast<ObjectHeader*>(static_cast<char*>(body) - sizeof(ObjectHeader));
  if (h->magic != kObjectMagic) Violation("not a kernel object (or one already freed)");
  return h;
}

PVOID BodyOf(ObjectHeader* h) { return reinterpret_cast<char*>(h) + sizeof(ObjectHeader); }

// Names compare without regard to ASCII case, as the object manager's directories do.
std::u16string Key(std::u16string_view s) {
  std::u16string k(s);
  for (auto& c : k)
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  return k;
}

struct Namespace {
  uint64_t scheduler = 0;
  std::map<std::u16string, PVOID> names;  // by Key()
};

Namespace& Ns() {
  static Namespace ns;
  auto* s = Scheduler::TryCurrent();
  uint64_t serial = s != nullptr ? s->Serial() : 0;
  if (ns.scheduler != serial) {
    // A new machine: whatever the last one left was already reported as a leak.
    ns.names.clear();
    ns.scheduler = serial;
  }
  return ns;
}

constexpr std::u16string_view kDirectories[] = {u"\\Device\\", u"\\Driver\\", u"\\??\\", u"\\Callback\\",
                                                u"\\KernelObjects\\", u"\\BaseNamedObjects\\"};

// "\DosDevices\X" and "\GLOBAL??\X" are "\??\X"; a name must be a leaf of a known directory.
bool Canonical(std::u16string_view in, std::u16string* out) {
  std::u16string s(in);
  for (std::u16string_view alias : {std::u16string_view(u"\\DosDevices\\"), std::u16string_view(u"\\GLOBAL??\\")}) {
    if (Key(s.substr(0, alias.size())) == Key(alias)) s = u"\\??\\" + s.substr(alias.size());
  }
  for (auto dir : kDirectories) {
    if (s.size() > dir.size() && Key(s.substr(0, dir.size())) == Key(dir)) {
      *out = std::u16string(dir) + s.substr(dir.size());
      return true;
    }
  }
  return false;
}

void DeleteSymbolicLinkBody(PVOID) {}

}  // namespace

std::u16string ToU16(const UNICODE_STRING& s) {
  if (s.Buffer == nullptr) return {};
  return plat::U16(s.Buffer, s.Length / sizeof(WCHAR));
}

PVOID ObCreateObject(POBJECT_TYPE type, size_t bodySize) {
  void* mem = ExAllocatePoolWithTag(NonPagedPool, sizeof(ObjectHeader) + bodySize, type->info.tag);
  if (mem == nullptr) return nullptr;
  auto* h = new (mem) ObjectHeader{kObjectMagic, 1, type, 0, false, false, {}, {}};
  PVOID body = BodyOf(h);
  std::memset(body, 0, bodySize);
  return body;
}

PVOID ObCreatePermanentObject(POBJECT_TYPE type, size_t bodySize) {
  void* mem = ::operator new(sizeof(ObjectHeader) + bodySize, std::align_val_t{alignof(ObjectHeader)});
  auto* h = new (mem) ObjectHeader{kObjectMagic, 1, type, 0, false, true, {}, {}};
  PVOID body = BodyOf(h);
  std::memset(body, 0, bodySize);
  return body;
}

NTSTATUS ObInsertTemporaryName(PVOID body, std::u16string_view fullName) {
  NTSTATUS status = ObInsertName(body, fullName);
  if (!NT_SUCCESS(status)) return status;
  ObjectHeader* h = HeaderOf(body);
  h->temporary = true;
  h->refs -= 1;
  return status;
}

PVOID ObLookupName(std::u16string_view fullName) {
  std::u16string name;
  if (!Canonical(fullName, &name)) return nullptr;
  auto& ns = Ns();
  auto it = ns.names.find(Key(name));
  return it == ns.names.end() ? nullptr : it->second;
}

void ObHandleOpened(PVOID body) { __atomic_add_fetch(&HeaderOf(body)->handles, 1, __ATOMIC_SEQ_CST); }

LONG ObHandleCount(PVOID body) { return HeaderOf(body)->handles; }

void ObCloseHandle(PVOID body) {
  ObjectHeader* h = HeaderOf(body);
  if (h->handles <= 0) Violation("a handle was closed of an object with no handles");
  if (__atomic_sub_fetch(&h->handles, 1, __ATOMIC_SEQ_CST) == 0) {
    if (h->type->info.closeProcedure != nullptr) h->type->info.closeProcedure(body);
    if (h->temporary && !h->name.empty()) {
      Ns().names.erase(Key(h->name));
      h->name.clear();
    }
  }
  ObDereferenceObject(body);
}

POBJECT_TYPE ObTypeOf(PVOID body) { return HeaderOf(body)->type; }
LONG ObReferenceCount(PVOID body) { return HeaderOf(body)->refs; }

NTSTATUS ObInsertName(PVOID body, std::u16string_view fullName) {
  std::u16string name;
  if (!Canonical(fullName, &name) || name.find(u'\\', name.find(u'\\', 1) + 1) != std::u16string::npos)
    return fullName.empty() || fullName[0] != u'\\' ? STATUS_OBJECT_NAME_INVALID : STATUS_OBJECT_PATH_NOT_FOUND;
  ObjectHeader* h = HeaderOf(body);
  if (!h->name.empty()) Violation("an object was named twice");
  auto& ns = Ns();
  if (!ns.names.emplace(Key(name), body).second) return STATUS_OBJECT_NAME_COLLISION;
  h->name = name;
  h->refs += 1;
  return STATUS_SUCCESS;
}

void ObRemoveName(PVOID body) {
  ObjectHeader* h = HeaderOf(body);
  if (h->name.empty()) return;
  if (h->temporary) Violation("ObRemoveName of a temporary object's name");
  Ns().names.erase(Key(h->name));
  h->name.clear();
  ObDereferenceObject(body);
}

std::u16string ObFullName(PVOID body) { return HeaderOf(body)->name; }

PVOID ObLookupPath(std::u16string_view path, std::u16string* remainder) {
  std::u16string current(path);
  for (int hops = 0; hops < 32; ++hops) {
    std::u16string canon;
    if (!Canonical(current, &canon)) return nullptr;
    size_t dirEnd = canon.find(u'\\', 1);
    size_t leafEnd = canon.find(u'\\', dirEnd + 1);
    std::u16string head = canon.substr(0, leafEnd);
    std::u16string rest = leafEnd == std::u16string::npos ? std::u16string() : canon.substr(leafEnd);
    auto& ns = Ns();
    auto it = ns.names.find(Key(head));
    if (it == ns.names.end()) return nullptr;
    ObjectHeader* h = HeaderOf(it->second);
    if (h->type != *ObSymbolicLinkObjectType) {
      if (remainder != nullptr) *remainder = rest;
      return it->second;
    }
    current = h->linkTarget + rest;
  }
  return nullptr;
}

NTSTATUS ObCreateSymbolicLink(std::u16string_view linkName, std::u16string_view target) {
  PVOID link = ObCreateObject(*ObSymbolicLinkObjectType, 0);
  if (link == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  HeaderOf(link)->linkTarget = std::u16string(target);
  NTSTATUS status = ObInsertName(link, linkName);
  ObDereferenceObject(link);  // the namespace keeps it
  return status;
}

NTSTATUS ObDeleteSymbolicLink(std::u16string_view linkName) {
  std::u16string name;
  if (!Canonical(linkName, &name)) return STATUS_OBJECT_NAME_INVALID;
  auto& ns = Ns();
  auto it = ns.names.find(Key(name));
  if (it == ns.names.end() || HeaderOf(it->second)->type != *ObSymbolicLinkObjectType)
    return STATUS_OBJECT_NAME_NOT_FOUND;
  ObRemoveName(it->second);
  return STATUS_SUCCESS;
}

bool ObSymbolicLinkTarget(std::u16string_view linkName, std::u16string* target) {
  std::u16string name;
  if (!Canonical(linkName, &name)) return false;
  auto& ns = Ns();
  auto it = ns.names.find(Key(name));
  if (it == ns.names.end() || HeaderOf(it->second)->type != *ObSymbolicLinkObjectType) return false;
  *target = HeaderOf(it->second)->linkTarget;
  return true;
}

size_t ObNamespaceSize() { return Ns().names.size(); }

}  // namespace plat

namespace {
OBJECT_TYPE gSymbolicLinkType{{"SymbolicLink", plat::PoolTag("Symb"), plat::DeleteSymbolicLinkBody, nullptr}};
OBJECT_TYPE gEventType{{"Event", plat::PoolTag("Even"), nullptr, nullptr}};
OBJECT_TYPE gMutantType{{"Mutant", plat::PoolTag("Muta"), nullptr, nullptr}};
POBJECT_TYPE gSymbolicLinkTypePointer = &gSymbolicLinkType;
POBJECT_TYPE gEventTypePointer = &gEventType;
const plat::HandleKind kObjectHandle{"Object", [](PVOID object) { ObDereferenceObject(object); }};
}  // namespace

POBJECT_TYPE plat::MutantObjectType() { return &gMutantType; }

POBJECT_TYPE* ObSymbolicLinkObjectType = &gSymbolicLinkTypePointer;
POBJECT_TYPE* ExEventObjectType = &gEventTypePointer;

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                   KPROCESSOR_MODE AccessMode, PVOID* Object, PVOID) {
  *Object = nullptr;
  PVOID object = nullptr;
  if (Handle == NtCurrentProcess() || Handle == NtCurrentThread()) {
    object = Handle == NtCurrentProcess() ? static_cast<PVOID>(plat::CurrentProcess())
                                          : static_cast<PVOID>(plat::CurrentThreadObject());
    if (object == nullptr) return STATUS_INVALID_HANDLE;
    if (ObjectType != nullptr && plat::ObTypeOf(object) != ObjectType) return STATUS_OBJECT_TYPE_MISMATCH;
    ObReferenceObject(object);
    *Object = object;
    return STATUS_SUCCESS;
  }
  if (plat::IsKernelHandle(Handle)) {
    // A program cannot pass a kernel handle.
    if (AccessMode == UserMode) return STATUS_INVALID_HANDLE;
    NTSTATUS status = plat::KernelHandles::Reference(Handle, &kObjectHandle, &object);
    if (!NT_SUCCESS(status)) return status;
    if (ObjectType != nullptr && plat::ObTypeOf(object) != ObjectType) return STATUS_OBJECT_TYPE_MISMATCH;
    ObReferenceObject(object);
    *Object = object;
    return STATUS_SUCCESS;
  }
  // Any other handle is one of the current process's: another process's handle means nothing here.
  return plat::CurrentProcess()->Handles().Reference(Handle, ObjectType, DesiredAccess, AccessMode == UserMode, Object);
}

NTSTATUS ObOpenObjectByPointer(PVOID Object, ULONG HandleAttributes, PVOID, ACCESS_MASK DesiredAccess,
                               POBJECT_TYPE ObjectType, KPROCESSOR_MODE, PHANDLE Handle) {
  if (ObjectType != nullptr && plat::ObTypeOf(Object) != ObjectType) return STATUS_OBJECT_TYPE_MISMATCH;
  ObReferenceObject(Object);
  plat::Process* process = plat::CurrentProcess();
  if ((HandleAttributes & OBJ_KERNEL_HANDLE) || process->IsSystem())
    *Handle = plat::KernelHandles::Insert(&kObjectHandle, Object);
  else
    *Handle = process->Handles().Insert(Object, DesiredAccess);
  return STATUS_SUCCESS;
}

NTSTATUS ZwCreateEvent(PHANDLE EventHandle, ACCESS_MASK, POBJECT_ATTRIBUTES ObjectAttributes, EVENT_TYPE EventType,
                       BOOLEAN InitialState) {
  PAGED_CODE();
  // Named events would leave the namespace with their last handle; nothing needs them.
  if (ObjectAttributes != nullptr && ObjectAttributes->ObjectName != nullptr) return STATUS_NOT_IMPLEMENTED;
  auto* event = static_cast<PKEVENT>(plat::ObCreateObject(*ExEventObjectType, sizeof(KEVENT)));
  if (event == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  KeInitializeEvent(event, EventType, InitialState);
  // The handle takes over the creation reference.
  *EventHandle = plat::KernelHandles::Insert(&kObjectHandle, event);
  return STATUS_SUCCESS;
}

LONG_PTR ObReferenceObject(PVOID Object) {
  auto* h = plat::HeaderOf(Object);
  if (h->refs <= 0) plat::Violation("ObReferenceObject of an object with no references left");
  return __atomic_add_fetch(&h->refs, 1, __ATOMIC_SEQ_CST);
}

LONG_PTR ObDereferenceObject(PVOID Object) {
  auto* h = plat::HeaderOf(Object);
  if (h->refs <= 0) plat::Violation("ObDereferenceObject of an object with no references left");
  LONG left = __atomic_sub_fetch(&h->refs, 1, __ATOMIC_SEQ_CST);
  if (left == 0) {
    if (h->permanent) plat::Violation("the last reference to a permanent object was dropped");
    if (h->temporary && !h->name.empty()) {
      plat::Ns().names.erase(plat::Key(h->name));
      h->name.clear();
    }
    if (h->type->info.deleteProcedure != nullptr) h->type->info.deleteProcedure(Object);
    h->magic = 0;
    ULONG tag = h->type->info.tag;
    h->~ObjectHeader();
    ExFreePoolWithTag(h, tag);
  }
  return left;
}

NTSTATUS ObQueryNameString(PVOID Object, POBJECT_NAME_INFORMATION ObjectNameInfo, ULONG Length,
                           PULONG ReturnLength) {
  PAGED_CODE();
  std::u16string name = plat::HeaderOf(Object)->name;
  size_t chars = name.size();
  ULONG needed = static_cast<ULONG>(sizeof(OBJECT_NAME_INFORMATION) + (chars + 1) * sizeof(WCHAR));
  if (ReturnLength != nullptr) *ReturnLength = needed;
  if (Length < needed) return STATUS_INFO_LENGTH_MISMATCH;
  auto* chars16 = reinterpret_cast<WCHAR*>(ObjectNameInfo + 1);
  std::memcpy(chars16, name.data(), chars * sizeof(WCHAR));
  chars16[chars] = 0;
  ObjectNameInfo->Name.Length = static_cast<USHORT>(chars * sizeof(WCHAR));
  ObjectNameInfo->Name.MaximumLength = static_cast<USHORT>((chars + 1) * sizeof(WCHAR));
  ObjectNameInfo->Name.Buffer = chars16;
  return STATUS_SUCCESS;
}
