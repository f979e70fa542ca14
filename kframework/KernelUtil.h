// Small services of the kernel driver framework: pool with the framework's tags and stamps,
// intrusive lists, counted wide strings, numbered names, event and mutex holders, and the
// cancellation of device-queue IRPs by file object.
#pragma once

#include <wdm.h>

#include <new>
#include <utility>

// A pool tag from its four characters as the kernel shows them: "Wdm " is the bytes W, d, m, space.
constexpr ULONG PoolTag(const char (&s)[5]) {
  return static_cast<ULONG>(static_cast<unsigned char>(s[0])) |
         static_cast<ULONG>(static_cast<unsigned char>(s[1])) << 8 |
         static_cast<ULONG>(static_cast<unsigned char>(s[2])) << 16 |
         static_cast<ULONG>(static_cast<unsigned char>(s[3])) << 24;
}

// Pool tags and the stamps the framework writes into the objects it places.
constexpr ULONG kFrameworkPoolTag = PoolTag("Wdm ");
constexpr ULONG kLoadPoolTag = PoolTag("new ");
constexpr ULONG kEntryPoolTag = PoolTag("New ");
constexpr ULONG kPoolObjectStamp = 0x7E4B4458;       // allocated by KernelNew
constexpr ULONG kExtensionObjectStamp = 0x204B4458;  // placed in a device extension

// The tag of the derived classes' allocations: "new " at load; a driver's entry may change it.
extern ULONG DerivedPoolTag;

PVOID KernelAlloc(SIZE_T size);  // non-paged, "Wdm "; null for 0
void KernelFree(PVOID p);
// Zeroed pool of `poolType` with tag "Wdm ", or null for size 0 or no pool.
PVOID KernelNewMemory(SIZE_T size, POOL_TYPE poolType);
void KernelFreeMemory(PVOID p);

// Constructs T in fresh zeroed pool; T's constructor takes the pool stamp as its first argument.
template <class T, class... Args>
T* KernelNew(POOL_TYPE poolType, Args&&... args) {
  void* memory = KernelNewMemory(sizeof(T), poolType);
  if (memory == nullptr) return nullptr;
  return new (memory) T(kPoolObjectStamp, std::forward<Args>(args)...);
}

// Lists: a head whose own link is the sentinel, and the offset of the link inside a member.
struct ListLink {
  ListLink* next;
  ListLink* prev;
};

struct ListHead {
  ListLink link;
  SIZE_T offset;
};

void ListInit(ListHead* head, SIZE_T linkOffset);
PVOID ListFirst(const ListHead* head);
PVOID ListNext(const ListHead* head, PVOID member);
void ListAppend(ListHead* head, PVOID member);
void ListRemove(ListHead* head, PVOID member);
bool ListIsEmpty(const ListHead* head);
PVOID ListPopFirst(ListHead* head);

// A counted wide string that knows whether its buffer came from pool.
struct CountedString : UNICODE_STRING {
  BOOLEAN mOwnsBuffer;
};
static_assert(sizeof(CountedString) == 24);

void ClearCountedString(CountedString* s);
ULONG WideLength(PCWSTR s);
ULONG WideByteLength(PCWSTR s);
// The object manager's name of a named object without its directory, in paged pool (the caller
// clears it); empty for an unnamed object.
CountedString ObjectName(PVOID object);
CountedString AnsiToCountedString(PCSTR ansi, POOL_TYPE poolType);
NTSTATUS CopyWideToCountedString(CountedString* dst, PCWSTR s);
NTSTATUS CopyCountedString(const UNICODE_STRING* src, PWCHAR buffer, ULONG bufferBytes);
bool CountedStringEquals(const UNICODE_STRING* a, const UNICODE_STRING* b);
NTSTATUS ResizeCountedString(CountedString* s, ULONG extraChars, POOL_TYPE poolType);
NTSTATUS ConcatIntoCountedString(CountedString* dst, PCWSTR prefix, PCWSTR suffix, POOL_TYPE poolType);
bool GuidEquals(const GUID& a, const GUID& b);

// A stem followed by the digits of a number, radix 10 or 16; any other radix leaves it empty.
struct NumberedName : CountedString {
  ULONG mNumber;
  ULONG mRadix;
  USHORT mStemLength;  // bytes
};
NumberedName MakeNumberedName(PCWSTR stem, ULONG number, ULONG radix);
void FreeNumberedName(NumberedName* name);

// Holders of a kernel event or mutex: the embedded object unless another was adopted.
constexpr ULONG_PTR kHolderEmbedded = 0;
constexpr ULONG_PTR kHolderPool = ~static_cast<ULONG_PTR>(0);

class EventHolder {
 public:
  EventHolder(EVENT_TYPE type, BOOLEAN signalled);
  void ReinitEvent(EVENT_TYPE type, BOOLEAN signalled);
  // Uses the event a handle names instead of the embedded one.
  NTSTATUS AdoptHandle(HANDLE handle);
  void Release();
  PKEVENT Get() const { return mObject; }

 private:
  ULONG_PTR mSource;
  PKEVENT mObject;
  BOOLEAN mReferenced;
  KEVENT mEvent;
};

class MutexHolder {
 public:
  explicit MutexHolder(ULONG level);
  void Release();
  PKMUTEX Get() const { return mObject; }

 private:
  ULONG_PTR mSource;
  PKMUTEX mObject;
  BOOLEAN mReferenced;
  KMUTEX mMutex;
};

// A reference to the object a handle names (any type), taken in kernel mode.
class HandleReference {
 public:
  HandleReference(HANDLE handle, ACCESS_MASK access);
  ~HandleReference();
  HandleReference(const HandleReference&) = delete;
  HandleReference& operator=(const HandleReference&) = delete;

  HANDLE mHandle;
  PVOID mObject = nullptr;
  BOOLEAN mReferenced = FALSE;
};

// A handle that may be the holder's to close, with the object referenced from it.
class CloseHandleHolder {
 public:
  CloseHandleHolder(HANDLE handle, BOOLEAN owns);
  ~CloseHandleHolder() { Close(); }
  CloseHandleHolder(const CloseHandleHolder&) = delete;
  CloseHandleHolder& operator=(const CloseHandleHolder&) = delete;
  void Close();

  HANDLE mHandle;
  BOOLEAN mOwns;
  PVOID mObject = nullptr;
  BOOLEAN mReferenced = FALSE;
};

class PnpDeviceBase;
// Completes with STATUS_CANCELLED every IRP of the device queue that names `fileObject` (every
// IRP when it is null), releasing one request count of `device` for each.
void CancelFileIrps(PKDEVICE_QUEUE deviceQueue, PnpDeviceBase* device, PFILE_OBJECT fileObject);
