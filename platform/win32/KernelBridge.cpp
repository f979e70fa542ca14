#include "platform/win32/KernelBridge.h"

#include <cstring>
#include <new>
#include <vector>

#include "platform/kernel/IoManager.h"
#include "platform/kernel/PnpManager.h"
#include "platform/kernel/Process.h"
#include "platform/kernel/Registry.h"
#include "platform/kernel/Rtl.h"
#include "platform/kernel/Scheduler.h"
#include "platform/kernel/Verifier.h"
#include "platform/kernel/WideText.h"

struct OBJECT_TYPE {
  plat::ObjectTypeInfo info;
};

namespace plat::win32 {
namespace {

constexpr ACCESS_MASK kSynchronize = 0x00100000;
constexpr ACCESS_MASK kFileReadData = 0x0001;
constexpr ACCESS_MASK kFileWriteData = 0x0002;
constexpr ACCESS_MASK kGenericRead = 0x80000000;
constexpr ACCESS_MASK kGenericWrite = 0x40000000;
constexpr ACCESS_MASK kEventModifyState = 0x0002;
constexpr ACCESS_MASK kEventAllAccess = 0x001F0003;
constexpr ACCESS_MASK kMutantAllAccess = 0x001F0001;
constexpr ACCESS_MASK kThreadAllAccess = 0x001FFFFF;
constexpr ACCESS_MASK kThreadSetInformation = 0x0020;
constexpr ACCESS_MASK kThreadQueryInformation = 0x0040;

// The length of a system service: inside it the thread is in the kernel, and stops (when its
// process ends) only in a wait made in user mode.
class Service {
 public:
  Service() { Scheduler::Current().EnterDriver(); }
  ~Service() { Scheduler::Current().LeaveDriver(); }
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;
};

// A registry key as a process holds it: the kernel's handle and the key's full name.
struct KeyBody {
  HANDLE kernel;
  std::u16string path;
};

void DeleteKeyBody(PVOID body) {
  auto* key = static_cast<KeyBody*>(body);
  ZwClose(key->kernel);
  key->~KeyBody();
}

OBJECT_TYPE gKeyType{{"Key", plat::PoolTag("Key "), DeleteKeyBody, nullptr}};

std::u16string NamedObject(std::u16string_view name) { return u"\\BaseNamedObjects\\" + std::u16string(name); }

UNICODE_STRING View(WideString& s) {
  auto bytes = static_cast<USHORT>(s.size() * sizeof(WCHAR));
  return UNICODE_STRING{bytes, bytes, s.data()};
}

// A named object: the existing one of that name (opened again, `existed`), or a new one made by
// `make` and named.
Status CreateNamed(POBJECT_TYPE type, size_t size, std::u16string_view name, ACCESS_MASK access,
                   const std::function<void(PVOID)>& make, void** handle, bool* existed) {
  *existed = false;
  Process* process = CurrentProcess();
  if (!name.empty()) {
    if (PVOID found = ObLookupName(NamedObject(name))) {
      if (ObTypeOf(found) != type) return STATUS_OBJECT_TYPE_MISMATCH;
      ObReferenceObject(found);
      *existed = true;
      *handle = process->Handles().Insert(found, access);
      return STATUS_SUCCESS;
    }
  }
  PVOID object = ObCreateObject(type, size);
  if (object == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  make(object);
  if (!name.empty()) {
    NTSTATUS status = ObInsertTemporaryName(object, NamedObject(name));
    if (!NT_SUCCESS(status)) {
      ObDereferenceObject(object);
      return status;
    }
  }
  *handle = process->Handles().Insert(object, access);
  return STATUS_SUCCESS;
}

bool Waitable(PVOID object) {
  POBJECT_TYPE type = ObTypeOf(object);
  return type == *ExEventObjectType || type == MutantObjectType() || type == *PsProcessType || type == *PsThreadType;
}

Status ReferenceKey(void* key, ACCESS_MASK access, KeyBody** body) {
  PVOID object = nullptr;
  NTSTATUS status = ObReferenceObjectByHandle(key, access, &gKeyType, UserMode, &object, nullptr);
  *body = static_cast<KeyBody*>(object);
  return status;
}

}  // namespace

Status OpenFile(std::u16string_view path, uint32_t access, void** handle) {
  Service service;
  PFILE_OBJECT file = nullptr;
  NTSTATUS status = IoOpenFile(path, &file, UserMode);
  if (!NT_SUCCESS(status)) return status;
  ACCESS_MASK granted = kSynchronize;
  if (access & kGenericRead) granted |= kFileReadData;
  if (access & kGenericWrite) granted |= kFileWriteData;
  *handle = CurrentProcess()->Handles().Insert(file, granted);
  return STATUS_SUCCESS;
}

Status CloseHandle(void* handle) {
  Service service;
  return CurrentProcess()->Handles().Close(handle);
}

Status DeviceControl(void* handle, uint32_t code, const void* input, uint32_t inputLength, void* output,
                     uint32_t outputLength, uint64_t* returned) {
  Service service;
  *returned = 0;
  // The access bits of the code are what the handle must have been opened for.
  ACCESS_MASK needed = ((code >> 14) & FILE_READ_ACCESS ? kFileReadData : 0) |
                       ((code >> 14) & FILE_WRITE_ACCESS ? kFileWriteData : 0);
  PVOID file = nullptr;
  NTSTATUS status = ObReferenceObjectByHandle(handle, needed, *IoFileObjectType, UserMode, &file, nullptr);
  if (!NT_SUCCESS(status)) return status;
  ULONG_PTR information = 0;
  status = IoDeviceControlReferenced(static_cast<PFILE_OBJECT>(file), code, input, inputLength, output, outputLength,
                                     &information);
  *returned = information;
  return status;
}

Status NewEvent(bool manualReset, bool initialState, std::u16string_view name, void** handle, bool* existed) {
  Service service;
  return CreateNamed(*ExEventObjectType, sizeof(KEVENT), name, kEventAllAccess, [&](PVOID object) {
    KeInitializeEvent(static_cast<PKEVENT>(object), manualReset ? NotificationEvent : SynchronizationEvent,
                      initialState ? TRUE : FALSE);
  }, handle, existed);
}

Status SetEvent(void* handle, bool signalled) {
  Service service;
  PVOID object = nullptr;
  NTSTATUS status = ObReferenceObjectByHandle(handle, kEventModifyState, *ExEventObjectType, UserMode, &object, nullptr);
  if (!NT_SUCCESS(status)) return status;
  if (signalled)
    KeSetEvent(static_cast<PKEVENT>(object), IO_NO_INCREMENT, FALSE);
  else
    KeResetEvent(static_cast<PKEVENT>(object));
  ObDereferenceObject(object);
  return STATUS_SUCCESS;
}

Status NewMutex(bool owned, std::u16string_view name, void** handle, bool* existed) {
  Service service;
  return CreateNamed(MutantObjectType(), sizeof(KMUTEX), name, kMutantAllAccess, [&](PVOID object) {
    auto* m = static_cast<PKMUTEX>(object);
    KeInitializeMutex(m, 0);
    if (owned) {
      m->Header.SignalState = 0;
      m->OwnerThread = KeGetCurrentThread();
    }
  }, handle, existed);
}

Status ReleaseMutex(void* handle) {
  Service service;
  PVOID object = nullptr;
  NTSTATUS status = ObReferenceObjectByHandle(handle, 0, MutantObjectType(), UserMode, &object, nullptr);
  if (!NT_SUCCESS(status)) return status;
  auto* m = static_cast<PKMUTEX>(object);
  status = m->OwnerThread == KeGetCurrentThread() ? STATUS_SUCCESS : STATUS_MUTANT_NOT_OWNED;
  if (NT_SUCCESS(status)) KeReleaseMutex(m, FALSE);
  ObDereferenceObject(object);
  return status;
}

Status Wait(void* const* handles, uint32_t count, bool all, int64_t timeoutMs) {
  Service service;
  std::vector<PVOID> objects;
  NTSTATUS status = STATUS_SUCCESS;
  for (uint32_t i = 0; i < count && NT_SUCCESS(status); ++i) {
    PVOID object = nullptr;
    status = ObReferenceObjectByHandle(handles[i], kSynchronize, nullptr, UserMode, &object, nullptr);
    if (!NT_SUCCESS(status)) break;
    objects.push_back(object);
    if (!Waitable(object)) status = STATUS_OBJECT_TYPE_MISMATCH;
  }
  ThreadObject* self = CurrentThreadObject();
  if (NT_SUCCESS(status)) {
    if (self != nullptr) self->held.insert(self->held.end(), objects.begin(), objects.end());
    LARGE_INTEGER timeout;
    timeout.QuadPart = -timeoutMs * 10000;
    status = KeWaitForMultipleObjects(count, objects.data(), all ? WaitAll : WaitAny, UserRequest, UserMode, FALSE,
                                      timeoutMs < 0 ? nullptr : &timeout, nullptr);
    if (self != nullptr) self->held.resize(self->held.size() - objects.size());
    // A mutex whose owner ended without releasing it is handed on once as abandoned.
    auto index = static_cast<uint32_t>(status - STATUS_WAIT_0);
    if (index < count && ObTypeOf(objects[index]) == MutantObjectType() && static_cast<PKMUTEX>(objects[index])->Abandoned) {
      static_cast<PKMUTEX>(objects[index])->Abandoned = FALSE;
      status = STATUS_ABANDONED_WAIT_0 + static_cast<NTSTATUS>(index);
    }
  }
  for (PVOID object : objects) ObDereferenceObject(object);
  return status;
}

void Sleep(uint32_t ms) {
  Service service;
  LARGE_INTEGER interval;
  interval.QuadPart = -static_cast<LONGLONG>(ms) * 10000;
  KeDelayExecutionThread(UserMode, FALSE, &interval);
}

Status CreateThread(std::function<uint32_t()> body, void** handle, uint32_t* id) {
  Service service;
  Process* process = CurrentProcess();
  if (process->IsSystem()) Violation("CreateThread outside a process");
  ThreadObject* t = StartThread(process, process->ImageName() + " thread", std::move(body));
  if (t == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  *id = t->id;
  *handle = process->Handles().Insert(t, kThreadAllAccess);
  return STATUS_SUCCESS;
}

Status SetThreadPriority(void* handle, int priority) {
  Service service;
  bool valid = (priority >= -2 && priority <= 2) || priority == -15 || priority == 15;
  if (!valid) return STATUS_INVALID_PARAMETER;
  PVOID object = nullptr;
  NTSTATUS status = ObReferenceObjectByHandle(handle, kThreadSetInformation, *PsThreadType, UserMode, &object, nullptr);
  if (!NT_SUCCESS(status)) return status;
  static_cast<ThreadObject*>(object)->priority = priority;
  ObDereferenceObject(object);
  return STATUS_SUCCESS;
}

Status GetThreadPriority(void* handle, int* priority) {
  Service service;
  PVOID object = nullptr;
  NTSTATUS status = ObReferenceObjectByHandle(handle, kThreadQueryInformation, *PsThreadType, UserMode, &object, nullptr);
  if (!NT_SUCCESS(status)) return status;
  *priority = static_cast<ThreadObject*>(object)->priority;
  ObDereferenceObject(object);
  return STATUS_SUCCESS;
}

uint32_t CurrentProcessId() { return CurrentProcess()->Id(); }

void* LoadImage(std::u16string_view name, uint32_t* error) {
  ULONG e = 0;
  void* module = LdrLoadImage(KeyOf(CurrentProcess()), name, &e);
  *error = e;
  return module;
}

bool FreeImage(void* module, uint32_t* error) {
  ULONG e = 0;
  bool freed = LdrFreeImage(KeyOf(CurrentProcess()), module, &e);
  *error = e;
  return freed;
}

void* ImageExport(void* module, const char* name, uint32_t* error) {
  ULONG e = 0;
  void* routine = LdrGetProcAddress(KeyOf(CurrentProcess()), module, name, &e);
  *error = e;
  return routine;
}

void* FindImage(std::u16string_view name) { return LdrFindImage(KeyOf(CurrentProcess()), name); }

void* ProgramImage() { return LdrProgramImage(KeyOf(CurrentProcess())); }

std::u16string ImageFileName(void* module) { return LdrImageName(KeyOf(CurrentProcess()), module); }

uint64_t ImageLoadId(void* module) { return LdrImageLoadId(KeyOf(CurrentProcess()), module); }

const char* CommandLine() { return CurrentProcess()->CommandLine().c_str(); }

uint32_t CurrentThreadId() { return static_cast<uint32_t>(reinterpret_cast<ULONG_PTR>(PsGetCurrentThreadId())); }

void ExitProcess(uint32_t code) { ExitCurrentProcess(code); }

void DebugOutput(std::string_view text) { CurrentProcess()->DebugOutput().append(text); }

uint64_t MachineSerial() {
  Scheduler* s = Scheduler::TryCurrent();
  return s != nullptr ? s->Serial() : 0;
}

uint64_t NowMs() { return static_cast<uint64_t>(Scheduler::Current().Now() / kNsPerMs); }

void* NewSignal() {
  auto* event = new KEVENT;
  KeInitializeEvent(event, SynchronizationEvent, FALSE);
  return event;
}

void RaiseSignal(void* signal) { KeSetEvent(static_cast<PKEVENT>(signal), IO_NO_INCREMENT, FALSE); }

Status WaitSignal(void* signal, int64_t timeoutMs) {
  Service service;
  LARGE_INTEGER timeout;
  timeout.QuadPart = -timeoutMs * 10000;
  return KeWaitForSingleObject(signal, UserRequest, UserMode, FALSE, timeoutMs < 0 ? nullptr : &timeout);
}

void FreeSignal(void* signal) { delete static_cast<PKEVENT>(signal); }

bool OnHost() { return Scheduler::Current().CurrentThreadId() == 0; }

bool RunHostUntil(const std::function<bool()>& done, uint64_t limitMs) {
  Scheduler& s = Scheduler::Current();
  return s.RunUntil(done, s.Now() + static_cast<VTime>(limitMs) * kNsPerMs);
}

void StartSystemThread(std::string name, std::function<void()> body) {
  Scheduler::Current().Spawn(std::move(name), std::move(body), true);
}

void WatchInterfaces(std::function<void(const void* classGuid, std::u16string path, bool arrived)> tap) {
  PnpSetUserInterfaceTap([tap = std::move(tap)](const GUID& guid, const std::u16string& link, bool arrived) {
    // The kernel's "\??\" is user mode's "\\?\".
    tap(&guid, u"\\\\?\\" + link.substr(4), arrived);
  });
}

void OnUserEnd(std::function<void(uint32_t processId, uint32_t threadId)> hook) {
  SetUserEndHook([hook = std::move(hook)](ULONG processId, ULONG threadId) { hook(processId, threadId); });
}

Status OpenKey(void* root, std::u16string_view path, uint32_t access, bool create, void** key, bool* created) {
  Service service;
  std::u16string full = u"\\Registry\\Machine";
  if (root != nullptr) {
    KeyBody* parent = nullptr;
    NTSTATUS status = ReferenceKey(root, 0, &parent);
    if (!NT_SUCCESS(status)) return status;
    full = parent->path;
    ObDereferenceObject(parent);
  }
  HANDLE kernel = nullptr;
  ULONG disposition = REG_OPENED_EXISTING_KEY;
  // Creating makes every missing key on the way, as the Win32 call does (the kernel's makes one).
  std::u16string rest(path);
  do {
    size_t cut = create ? rest.find(u'\\') : std::u16string::npos;
    std::u16string part = rest.substr(0, cut);
    rest = cut == std::u16string::npos ? std::u16string() : rest.substr(cut + 1);
    if (!part.empty()) full += u"\\" + part;
    WideString wide(full);
    UNICODE_STRING name = View(wide);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    if (kernel != nullptr) ZwClose(kernel);
    kernel = nullptr;
    NTSTATUS status = create ? ZwCreateKey(&kernel, access, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, &disposition)
                             : ZwOpenKey(&kernel, access, &attributes);
    if (!NT_SUCCESS(status)) return status;
  } while (!rest.empty());
  auto* body = static_cast<KeyBody*>(ObCreateObject(&gKeyType, sizeof(KeyBody)));
  if (body == nullptr) {
    ZwClose(kernel);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  new (body) KeyBody{kernel, full};
  if (created != nullptr) *created = disposition == REG_CREATED_NEW_KEY;
  *key = CurrentProcess()->Handles().Insert(body, access);
  return STATUS_SUCCESS;
}

Status QueryValue(void* key, std::u16string_view name, uint32_t* type, std::string* data) {
  Service service;
  KeyBody* body = nullptr;
  NTSTATUS status = ReferenceKey(key, KEY_QUERY_VALUE, &body);
  if (!NT_SUCCESS(status)) return status;
  WideString valueName(name);
  UNICODE_STRING uname = View(valueName);
  ULONG needed = 0;
  std::vector<unsigned char> buffer(sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 64);
  status = ZwQueryValueKey(body->kernel, &uname, KeyValuePartialInformation, buffer.data(),
                           static_cast<ULONG>(buffer.size()), &needed);
  if (status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL) {
    buffer.resize(needed);
    status = ZwQueryValueKey(body->kernel, &uname, KeyValuePartialInformation, buffer.data(),
                             static_cast<ULONG>(buffer.size()), &needed);
  }
  if (NT_SUCCESS(status)) {
    auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer.data());
    *type = info->Type;
    data->assign(reinterpret_cast<const char*>(info->Data), info->DataLength);
  }
  ObDereferenceObject(body);
  return status;
}

Status SetValue(void* key, std::u16string_view name, uint32_t type, const void* data, uint32_t size) {
  Service service;
  KeyBody* body = nullptr;
  NTSTATUS status = ReferenceKey(key, KEY_SET_VALUE, &body);
  if (!NT_SUCCESS(status)) return status;
  WideString valueName(name);
  UNICODE_STRING uname = View(valueName);
  status = ZwSetValueKey(body->kernel, &uname, 0, type, const_cast<void*>(data), size);
  ObDereferenceObject(body);
  return status;
}

Status EnumerateKey(void* key, uint32_t index, std::u16string* name) {
  Service service;
  KeyBody* body = nullptr;
  NTSTATUS status = ReferenceKey(key, KEY_ENUMERATE_SUB_KEYS, &body);
  if (!NT_SUCCESS(status)) return status;
  std::vector<unsigned char> buffer(sizeof(KEY_BASIC_INFORMATION) + 512 * sizeof(WCHAR));
  ULONG needed = 0;
  status = ZwEnumerateKey(body->kernel, index, KeyBasicInformation, buffer.data(), static_cast<ULONG>(buffer.size()),
                          &needed);
  if (NT_SUCCESS(status)) {
    auto* info = reinterpret_cast<PKEY_BASIC_INFORMATION>(buffer.data());
    *name = plat::U16(info->Name, info->NameLength / sizeof(WCHAR));
  }
  ObDereferenceObject(body);
  return status;
}

std::vector<std::u16string> DeviceInterfaces(const void* classGuid, bool presentOnly) {
  Service service;
  GUID guid;
  std::memcpy(&guid, classGuid, sizeof guid);
  PWSTR list = nullptr;
  std::vector<std::u16string> out;
  if (!NT_SUCCESS(IoGetDeviceInterfaces(&guid, nullptr, presentOnly ? 0 : DEVICE_INTERFACE_INCLUDE_NONACTIVE, &list)))
    return out;
  // The kernel's "\??\" is user mode's "\\?\".
  for (PWSTR p = list; *p != 0; p += plat::WideLength(p) + 1) {
    std::u16string link = plat::U16(p);
    out.push_back(u"\\\\?\\" + link.substr(4));
  }
  ExFreePool(list);
  return out;
}

uint32_t ErrorOf(Status status) {
  struct Pair {
    NTSTATUS status;
    uint32_t error;
  };
  static constexpr Pair kTable[] = {
      {STATUS_SUCCESS, 0},
      {STATUS_INVALID_DEVICE_REQUEST, 1},
      {STATUS_OBJECT_NAME_NOT_FOUND, 2},
      {STATUS_NO_SUCH_DEVICE, 2},
      {STATUS_OBJECT_PATH_NOT_FOUND, 3},
      {STATUS_ACCESS_DENIED, 5},
      {STATUS_INVALID_HANDLE, 6},
      {STATUS_OBJECT_TYPE_MISMATCH, 6},
      {STATUS_NO_MEMORY, 8},
      {STATUS_UNSUCCESSFUL, 31},
      {STATUS_NOT_SUPPORTED, 50},
      {STATUS_INVALID_PARAMETER, 87},
      {STATUS_OBJECT_NAME_INVALID, 123},
      {STATUS_BUFFER_TOO_SMALL, 122},
      {STATUS_OBJECT_NAME_COLLISION, 183},
      {STATUS_BUFFER_OVERFLOW, 234},
      {STATUS_NO_MORE_ENTRIES, 259},
      {STATUS_MUTANT_NOT_OWNED, 288},
      {STATUS_DELETE_PENDING, 303},
      {STATUS_CANCELLED, 995},
      {STATUS_ACCESS_VIOLATION, 998},
      {STATUS_DEVICE_NOT_READY, 21},
      {STATUS_DEVICE_DOES_NOT_EXIST, 433},
      {STATUS_DEVICE_REMOVED, 1617},
      {STATUS_INSUFFICIENT_RESOURCES, 1450},
      {STATUS_NOT_FOUND, 1168},
      {STATUS_DEVICE_BUSY, 170},
  };
  for (const Pair& p : kTable)
    if (p.status == status) return p.error;
  return 317;  // no text for the code, as the system says of a status it has no error for
}

}  // namespace plat::win32
