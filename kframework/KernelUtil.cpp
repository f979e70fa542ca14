#include "kframework/KernelUtil.h"

#include <ntifs.h>

#include <cstdint>
#include <cstring>

#include "kframework/PnpDeviceBase.h"

ULONG DerivedPoolTag = kLoadPoolTag;

PVOID KernelAlloc(SIZE_T size) {
  if (size == 0) return nullptr;
  return ExAllocatePoolWithTag(NonPagedPool, size, kFrameworkPoolTag);
}

void KernelFree(PVOID p) {
  if (p != nullptr) ExFreePoolWithTag(p, kFrameworkPoolTag);
}

PVOID KernelNewMemory(SIZE_T size, POOL_TYPE poolType) {
  if (size == 0) return nullptr;
  PVOID p = ExAllocatePoolWithTag(poolType, size, kFrameworkPoolTag);
  if (p != nullptr) std::memset(p, 0, size);
  return p;
}

void KernelFreeMemory(PVOID p) { KernelFree(p); }

// Lists

namespace {
ListLink* LinkOf(const ListHead* head, PVOID member) {
  return reinterpret_cast<ListLink*>(static_cast<char*>(member) + head->offset);
}
PVOID MemberOf(const ListHead* head, ListLink* link) {
  return reinterpret_cast<char*>(link) - head->offset;
}
}  // namespace

void ListInit(ListHead* head, SIZE_T linkOffset) {
  head->link.next = head->link.prev = &head->link;
  head->offset = linkOffset;
}

PVOID ListFirst(const ListHead* head) {
  return head->link.next == &head->link ? nullptr : MemberOf(head, head->link.next);
}

PVOID ListNext(const ListHead* head, PVOID member) {
  if (member == nullptr) return ListFirst(head);
  ListLink* next = LinkOf(head, member)->next;
  return next == &head->link ? nullptr : MemberOf(head, next);
}

void ListAppend(ListHead* head, PVOID member) {
  ListLink* link = LinkOf(head, member);
  link->next = &head->link;
  link->prev = head->link.prev;
  head->link.prev->next = link;
  head->link.prev = link;
}

void ListRemove(ListHead* head, PVOID member) {
  ListLink* link = LinkOf(head, member);
  link->prev->next = link->next;
  link->next->prev = link->prev;
}

bool ListIsEmpty(const ListHead* head) { return head->link.next == &head->link; }

PVOID ListPopFirst(ListHead* head) {
  PVOID first = ListFirst(head);
  if (first != nullptr) ListRemove(head, first);
  return first;
}

// Counted strings

void ClearCountedString(CountedString* s) {
  if (s->mOwnsBuffer && s->Buffer != nullptr) ExFreePoolWithTag(s->Buffer, kFrameworkPoolTag);
  s->Length = s->MaximumLength = 0;
  s->Buffer = nullptr;
  s->mOwnsBuffer = FALSE;
}

ULONG WideLength(PCWSTR s) {
  ULONG n = 0;
  while (s[n] != 0) ++n;
  return n;
}

ULONG WideByteLength(PCWSTR s) { return WideLength(s) * sizeof(WCHAR); }

namespace {
// A terminated pool copy of `chars` characters; empty when it does not fit 16 bits or no pool.
CountedString PoolString(const WCHAR* chars, ULONG count, ULONG roomChars, POOL_TYPE poolType) {
  CountedString s{};
  ULONG bytes = (roomChars + 1) * sizeof(WCHAR);
  if (bytes > 0xFFFE) return s;
  auto* buffer = static_cast<PWCHAR>(ExAllocatePoolWithTag(poolType, bytes, kFrameworkPoolTag));
  if (buffer == nullptr) return s;
  if (count != 0) std::memcpy(buffer, chars, count * sizeof(WCHAR));
  buffer[count] = 0;
  s.Buffer = buffer;
  s.Length = static_cast<USHORT>(count * sizeof(WCHAR));
  s.MaximumLength = static_cast<USHORT>(bytes);
  s.mOwnsBuffer = TRUE;
  return s;
}
}  // namespace

CountedString ObjectName(PVOID object) {
  PAGED_CODE();
  ULONG needed = 0;
  ObQueryNameString(object, nullptr, 0, &needed);
  auto* info = static_cast<POBJECT_NAME_INFORMATION>(ExAllocatePoolWithTag(PagedPool, needed, kFrameworkPoolTag));
  if (info == nullptr) return CountedString{};
  CountedString name{};
  if (NT_SUCCESS(ObQueryNameString(object, info, needed, &needed)) && info->Name.Length != 0) {
    ULONG chars = info->Name.Length / sizeof(WCHAR);
    ULONG start = chars;
    while (start > 0 && info->Name.Buffer[start - 1] != L'\\') --start;
    name = PoolString(info->Name.Buffer + start, chars - start, chars - start, PagedPool);
  }
  ExFreePoolWithTag(info, kFrameworkPoolTag);
  return name;
}

CountedString AnsiToCountedString(PCSTR ansi, POOL_TYPE poolType) {
  PAGED_CODE();
  ANSI_STRING source;
  RtlInitAnsiString(&source, ansi);
  CountedString s = PoolString(nullptr, 0, source.Length, poolType);
  if (s.Buffer == nullptr) return s;
  if (!NT_SUCCESS(RtlAnsiStringToUnicodeString(&s, &source, FALSE))) ClearCountedString(&s);
  return s;
}

NTSTATUS CopyWideToCountedString(CountedString* dst, PCWSTR s) {
  ULONG bytes = WideByteLength(s);
  if (bytes > dst->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
  std::memcpy(dst->Buffer, s, bytes);
  dst->Length = static_cast<USHORT>(bytes);
  return STATUS_SUCCESS;
}

NTSTATUS CopyCountedString(const UNICODE_STRING* src, PWCHAR buffer, ULONG bufferBytes) {
  // The terminator needs room of its own.
  if (static_cast<ULONG>(src->Length) + sizeof(WCHAR) > bufferBytes) return STATUS_BUFFER_TOO_SMALL;
  std::memcpy(buffer, src->Buffer, src->Length);
  buffer[src->Length / sizeof(WCHAR)] = 0;
  return STATUS_SUCCESS;
}

bool CountedStringEquals(const UNICODE_STRING* a, const UNICODE_STRING* b) {
  return RtlEqualUnicodeString(a, b, FALSE) != FALSE;
}

NTSTATUS ResizeCountedString(CountedString* s, ULONG extraChars, POOL_TYPE poolType) {
  ULONG size = (static_cast<ULONG>(s->MaximumLength) + 2 * extraChars) & ~1u;
  // A size that does not fit the 16-bit length fails rather than wrapping to a small buffer.
  if (size == 0 || size > 0xFFFE) return STATUS_INSUFFICIENT_RESOURCES;
  auto* buffer = static_cast<PWCHAR>(ExAllocatePoolWithTag(poolType, size, kFrameworkPoolTag));
  if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  USHORT keep = s->Length <= size ? s->Length : 0;
  if (keep != 0) std::memcpy(buffer, s->Buffer, keep);
  if (s->mOwnsBuffer && s->Buffer != nullptr) ExFreePoolWithTag(s->Buffer, kFrameworkPoolTag);
  s->Buffer = buffer;
  s->Length = keep;
  s->MaximumLength = static_cast<USHORT>(size);
  s->mOwnsBuffer = TRUE;
  return STATUS_SUCCESS;
}

NTSTATUS ConcatIntoCountedString(CountedString* dst, PCWSTR prefix, PCWSTR suffix, POOL_TYPE poolType) {
  ULONG a = WideLength(prefix), b = WideLength(suffix);
  ULONG needed = (a + b + 1) * sizeof(WCHAR);
  if (needed > 0xFFFE) return STATUS_INSUFFICIENT_RESOURCES;
  if (needed > dst->MaximumLength) {
    NTSTATUS status = ResizeCountedString(dst, (needed - dst->MaximumLength + 1) / sizeof(WCHAR), poolType);
    if (!NT_SUCCESS(status)) return status;
  }
  std::memcpy(dst->Buffer, prefix, a * sizeof(WCHAR));
  std::memcpy(dst->Buffer + a, suffix, b * sizeof(WCHAR));
  dst->Buffer[a + b] = 0;
  dst->Length = static_cast<USHORT>((a + b) * sizeof(WCHAR));
  return STATUS_SUCCESS;
}

bool GuidEquals(const GUID& a, const GUID& b) {
  uint64_t x[2], y[2];
  std::memcpy(x, &a, 16);
  std::memcpy(y, &b, 16);
  return x[0] == y[0] && x[1] == y[1];
}

// Numbered names

NumberedName MakeNumberedName(PCWSTR stem, ULONG number, ULONG radix) {
  PAGED_CODE();
  NumberedName name{};
  name.mNumber = number;
  name.mRadix = radix;
  if (radix != 10 && radix != 16) return name;
  ULONG stemBytes = WideByteLength(stem) & ~1u;
  // Room for the ten digits of any 32-bit number and a terminator.
  constexpr USHORT kDigitRoom = 11 * sizeof(WCHAR);
  if (stemBytes + kDigitRoom > 0xFFFE) return name;
  auto* buffer = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, stemBytes + kDigitRoom, kFrameworkPoolTag));
  if (buffer == nullptr) return name;
  std::memcpy(buffer, stem, stemBytes);
  UNICODE_STRING digits{0, kDigitRoom, buffer + stemBytes / sizeof(WCHAR)};
  if (!NT_SUCCESS(RtlIntegerToUnicodeString(number, radix, &digits))) {
    ExFreePoolWithTag(buffer, kFrameworkPoolTag);
    return name;
  }
  name.Buffer = buffer;
  name.Length = static_cast<USHORT>(stemBytes + digits.Length);
  name.MaximumLength = static_cast<USHORT>(name.Length + sizeof(WCHAR));
  name.mOwnsBuffer = TRUE;
  name.mStemLength = static_cast<USHORT>(stemBytes);
  return name;
}

void FreeNumberedName(NumberedName* name) { ClearCountedString(name); }

// Holders

EventHolder::EventHolder(EVENT_TYPE type, BOOLEAN signalled)
    : mSource(kHolderEmbedded), mObject(&mEvent), mReferenced(FALSE), mEvent{} {
  KeInitializeEvent(&mEvent, type, signalled);
}

void EventHolder::Release() {
  if (mSource == kHolderPool && mObject != &mEvent) KernelFree(mObject);
  else if (mReferenced) ObDereferenceObject(mObject);
  mSource = kHolderEmbedded;
  mReferenced = FALSE;
  mObject = &mEvent;
}

void EventHolder::ReinitEvent(EVENT_TYPE type, BOOLEAN signalled) {
  Release();
  KeInitializeEvent(&mEvent, type, signalled);
}

NTSTATUS EventHolder::AdoptHandle(HANDLE handle) {
  PVOID object = nullptr;
  NTSTATUS status = ObReferenceObjectByHandle(handle, 0, *ExEventObjectType, KernelMode, &object, nullptr);
  if (!NT_SUCCESS(status)) return status;
  Release();
  mSource = reinterpret_cast<ULONG_PTR>(handle);
  mObject = static_cast<PKEVENT>(object);
  mReferenced = TRUE;
  return STATUS_SUCCESS;
}

HandleReference::HandleReference(HANDLE handle, ACCESS_MASK access) : mHandle(handle) {
  mReferenced = NT_SUCCESS(ObReferenceObjectByHandle(handle, access, nullptr, KernelMode, &mObject, nullptr));
}

HandleReference::~HandleReference() {
  if (mReferenced) ObDereferenceObject(mObject);
}

CloseHandleHolder::CloseHandleHolder(HANDLE handle, BOOLEAN owns) : mHandle(handle), mOwns(owns) {
  mReferenced = NT_SUCCESS(ObReferenceObjectByHandle(handle, 0, nullptr, KernelMode, &mObject, nullptr));
}

void CloseHandleHolder::Close() {
  if (mReferenced) ObDereferenceObject(mObject);
  if (mOwns && mHandle != nullptr) ZwClose(mHandle);
  mHandle = nullptr;
  mObject = nullptr;
  mReferenced = FALSE;
  mOwns = FALSE;
}

MutexHolder::MutexHolder(ULONG level) : mSource(kHolderEmbedded), mObject(&mMutex), mReferenced(FALSE), mMutex{} {
  KeInitializeMutex(&mMutex, level);
}

void MutexHolder::Release() {
  if (mSource == kHolderPool && mObject != &mMutex) KernelFree(mObject);
  else if (mReferenced) ObDereferenceObject(mObject);
  mSource = kHolderEmbedded;
  mReferenced = FALSE;
  mObject = &mMutex;
}

// Device-queue cancellation

void CancelFileIrps(PKDEVICE_QUEUE deviceQueue, PnpDeviceBase* device, PFILE_OBJECT fileObject) {
  KIRQL queueIrql;
  KeAcquireSpinLock(&deviceQueue->Lock, &queueIrql);
  PLIST_ENTRY p = deviceQueue->DeviceListHead.Flink;
  while (p != &deviceQueue->DeviceListHead) {
    PIRP irp = CONTAINING_RECORD(p, IRP, Tail.Overlay.DeviceQueueEntry.DeviceListEntry);
    if (fileObject != nullptr && IoGetCurrentIrpStackLocation(irp)->FileObject != fileObject) {
      p = p->Flink;
      continue;
    }
    KeReleaseSpinLock(&deviceQueue->Lock, queueIrql);
    if (KeRemoveEntryDeviceQueue(deviceQueue, &irp->Tail.Overlay.DeviceQueueEntry)) {
      KIRQL cancelIrql;
      IoAcquireCancelSpinLock(&cancelIrql);
      IoSetCancelRoutine(irp, nullptr);
      IoReleaseCancelSpinLock(cancelIrql);
      irp->IoStatus.Information = 0;
      device->DecrementRequestCount();
      irp->IoStatus.Status = STATUS_CANCELLED;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
    KeAcquireSpinLock(&deviceQueue->Lock, &queueIrql);
    p = deviceQueue->DeviceListHead.Flink;
  }
  KeReleaseSpinLock(&deviceQueue->Lock, queueIrql);
}
