// The kernel client image. It knows the unit's driver only as its published interface describes
// it: the interface class, the key's values, the record offsets and the command table.
#include <cstring>

#include "platform/kclient/KernelClient.h"

namespace {

constexpr ULONG kTag = plat::PoolTag("KCli");

const GUID kInterfaceClass = {0x1A1DD540, 0x0BD5, 0x11D5, {0x9A, 0x47, 0x00, 0xE0, 0x29, 0x09, 0x5C, 0x67}};

constexpr ULONG kExchange = 0;
constexpr ULONG kNotice = 0x2005;
constexpr ULONG kMidiIn = 1;
constexpr ULONG kCommandAllocate = 0x1002;
constexpr ULONG kCommandFree = 0x1003;
constexpr ULONG kCommandStart = 0x1004;
constexpr ULONG kCommandStop = 0x1005;
constexpr ULONG kStartAudio = 0x1;
constexpr ULONG kStartMidi = 0x2;
constexpr ULONG kCommandBufferFrames = 0x100A;
constexpr ULONG kCommandMidiSetup = 0x1014;
constexpr ULONG kChannels = 18;
constexpr ULONG kRingSamples = kclient::kRingBytes / sizeof(LONG);
constexpr ULONG kMidiInCapacity = 4096;

using Callback = ULONG (*)(ULONG code, ULONG value, PVOID argument, PVOID context);
using MidiInCallback = void (*)(ULONG code, const kclient::MidiEvent* event, PVOID context);
using DeliverMidi = ULONG (*)(ULONG count, const kclient::MidiEvent* events, PVOID port);
using Entry = NTSTATUS (*)(PVOID record, PVOID port);

// The command object as a C client sees it: its first word points at the table of its five
// operations, each taking the object first.
struct Commands;
struct CommandTable {
  NTSTATUS (*QueryInterface)(Commands* self, const GUID& iid, void** object);
  ULONG (*AddRef)(Commands* self);
  ULONG (*Release)(Commands* self);
  NTSTATUS (*ExecuteCommand)(Commands* self, ULONG code, ULONG argument, PVOID record);
  NTSTATUS (*SetClientCallbacks)(Commands* self, Callback callback, PVOID context, PVOID third);
};
struct Commands {
  const CommandTable* table;
};

NTSTATUS Execute(Commands* commands, ULONG code, ULONG argument, PVOID record) {
  return commands->table->ExecuteCommand(commands, code, argument, record);
}

#pragma pack(push, 4)
struct EntryRecord {
  char name[64];
  Commands* commands;
  ULONG version;
};
#pragma pack(pop)
static_assert(sizeof(EntryRecord) == 76);

// Offsets in the records the client reads and writes.
constexpr ULONG kOutputBuffersAt = 256;
constexpr ULONG kInputBuffersAt = 1024;
constexpr ULONG kBufferRecordBytes = 1544;
constexpr ULONG kFramesAt = 4;
constexpr ULONG kMidiInAt = 64;
constexpr ULONG kMidiInContextAt = 72;
constexpr ULONG kDeliverAt = 80;
constexpr ULONG kDeliverArgumentAt = 88;
constexpr ULONG kMidiSetupBytes = 96;

struct Client {
  PDEVICE_OBJECT control;
  PVOID notification;
  KSPIN_LOCK lock;
  Commands* commands;
  kclient::State state;
  // From the buffer allocation and the MIDI set-up.
  PLONG playback[kChannels];
  PLONG record[kChannels];
  DeliverMidi deliver;
  PVOID deliverArgument;
  ULONG nextPosition;
  kclient::MidiEvent midiIn[kMidiInCapacity];
  ULONG midiInCount;
};

Client* gClient = nullptr;

template <class T>
T At(const UCHAR* record, ULONG offset) {
  T value;
  std::memcpy(&value, record + offset, sizeof value);
  return value;
}

template <class T>
void Put(UCHAR* record, ULONG offset, T value) {
  std::memcpy(record + offset, &value, sizeof value);
}

// DISPATCH_LEVEL. One half: every recorded channel that is also played goes back out as it came.
ULONG Exchange(Client* client, ULONG position) {
  KIRQL irql;
  KeAcquireSpinLock(&client->lock, &irql);
  kclient::State& state = client->state;
  if (state.exchanges != 0 && position != client->nextPosition) ++state.positionSlips;
  ++state.exchanges;
  state.lastPosition = position;
  const ULONG frames = state.framesPerHalf;
  const ULONG first = position / sizeof(LONG);
  for (ULONG c = 0; c < kChannels; ++c) {
    if (client->record[c] == nullptr || client->playback[c] == nullptr) continue;
    for (ULONG i = 0; i < frames; ++i) {
      const ULONG at = (first + i) & (kRingSamples - 1);
      client->playback[c][at] = client->record[c][at];
    }
  }
  client->nextPosition = (position + frames * sizeof(LONG)) & (kclient::kRingBytes - 1);
  const ULONG next = client->nextPosition;
  KeReleaseSpinLock(&client->lock, irql);
  return next;
}

ULONG ClientCallback(ULONG code, ULONG value, PVOID argument, PVOID context);

void ClientMidiIn(ULONG code, const kclient::MidiEvent* event, PVOID context) {
  auto* client = static_cast<Client*>(context);
  KIRQL irql;
  KeAcquireSpinLock(&client->lock, &irql);
  if (code != kMidiIn || event == nullptr)
    ++client->state.otherCalls;
  else if (client->midiInCount == kMidiInCapacity)
    ++client->state.midiInDropped;
  else {
    client->midiIn[client->midiInCount++] = *event;
    ++client->state.midiInEvents;
  }
  KeReleaseSpinLock(&client->lock, irql);
}

bool ReadDword(HANDLE key, PCWSTR valueName, ULONG* value) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, valueName);
  UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)];
  ULONG length = 0;
  if (!NT_SUCCESS(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof buffer, &length)))
    return false;
  const auto* info = reinterpret_cast<const KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
  if (info->Type != REG_DWORD || info->DataLength != sizeof(ULONG)) return false;
  std::memcpy(value, info->Data, sizeof(ULONG));
  return true;
}

// PASSIVE_LEVEL. The two addresses from the interface's key, the entry called with the port.
void Bind(Client* client, PUNICODE_STRING link) {
  if (client->commands != nullptr) return;
  HANDLE key = nullptr;
  NTSTATUS status = IoOpenDeviceInterfaceRegistryKey(link, KEY_READ, &key);
  ULONG entryLow = 0, entryHigh = 0, portLow = 0, portHigh = 0;
  if (NT_SUCCESS(status)) {
    const bool read = ReadDword(key, L"GetInterfaceCallback", &entryLow) &&
                      ReadDword(key, L"GetInterfaceCallback64", &entryHigh) &&
                      ReadDword(key, L"DeviceExtension", &portLow) && ReadDword(key, L"DeviceExtension64", &portHigh);
    ZwClose(key);
    if (!read || entryLow == 0 || portLow == 0) status = STATUS_OBJECT_NAME_NOT_FOUND;
  }
  if (!NT_SUCCESS(status)) {
    client->state.bindStatus = status;
    return;
  }
  const auto entry = reinterpret_cast<Entry>(static_cast<ULONG_PTR>(ULONG64{entryHigh} << 32 | entryLow));
  const auto port = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(ULONG64{portHigh} << 32 | portLow));
  EntryRecord record{};
  status = entry(&record, port);
  client->state.bindStatus = status;
  if (!NT_SUCCESS(status) || record.commands == nullptr) return;
  client->commands = record.commands;
  std::memcpy(client->state.name, record.name, sizeof client->state.name);
  client->state.name[sizeof client->state.name - 1] = 0;
  client->state.version = record.version;
  client->state.bound = 1;
  client->commands->table->SetClientCallbacks(client->commands, ClientCallback, client, nullptr);
}

void ForgetBuffers(Client* client) {
  KIRQL irql;
  KeAcquireSpinLock(&client->lock, &irql);
  for (ULONG c = 0; c < kChannels; ++c) client->playback[c] = client->record[c] = nullptr;
  KeReleaseSpinLock(&client->lock, irql);
}

// Drops the object and everything the unit gave; the unit's driver may go once the last
// reference has.
void Forget(Client* client) {
  Commands* commands = client->commands;
  client->commands = nullptr;
  client->state.bound = 0;
  client->deliver = nullptr;
  client->deliverArgument = nullptr;
  ForgetBuffers(client);
  commands->table->Release(commands);
}

// PASSIVE_LEVEL. A client that goes leaves nothing of itself with the unit: audio and MIDI stop,
// its buffers go and no callback of its image stays registered.
void Unbind(Client* client) {
  if (client->commands == nullptr) return;
  Commands* commands = client->commands;
  ULONG both = kStartAudio | kStartMidi;
  Execute(commands, kCommandStop, 0, &both);
  Execute(commands, kCommandFree, 0, nullptr);
  UCHAR midi[kMidiSetupBytes] = {};
  Execute(commands, kCommandMidiSetup, 0, midi);
  commands->table->SetClientCallbacks(commands, nullptr, nullptr, nullptr);
  Forget(client);
}

// The unit going away is told once, at PASSIVE_LEVEL: the client lets go of it at once, without
// a command, since the unit is already down.
ULONG ClientCallback(ULONG code, ULONG value, PVOID argument, PVOID context) {
  auto* client = static_cast<Client*>(context);
  if (code == kExchange) return Exchange(client, value);
  const auto* words = static_cast<const ULONG*>(argument);
  const bool removal = code == kNotice && words != nullptr && words[0] == 0 && words[1] == 8;
  KIRQL irql;
  KeAcquireSpinLock(&client->lock, &irql);
  if (removal)
    ++client->state.removalNotices;
  else if (code == kNotice && words != nullptr && words[0] == 0 && words[1] == 0)
    ++client->state.restartNotices;
  else
    ++client->state.otherCalls;
  KeReleaseSpinLock(&client->lock, irql);
  if (removal && client->commands != nullptr) Forget(client);
  return 0;
}

void BindFirst(Client* client) {
  PWSTR list = nullptr;
  if (!NT_SUCCESS(IoGetDeviceInterfaces(&kInterfaceClass, nullptr, 0, &list))) return;
  if (*list != 0) {
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, list);
    Bind(client, &link);
  }
  ExFreePool(list);
}

NTSTATUS InterfaceChange(PVOID notification, PVOID context) {
  auto* client = static_cast<Client*>(context);
  auto* change = static_cast<DEVICE_INTERFACE_CHANGE_NOTIFICATION*>(notification);
  if (IsEqualGUID(change->Event, GUID_DEVICE_INTERFACE_ARRIVAL)) {
    ++client->state.interfaceArrivals;
    Bind(client, change->SymbolicLinkName);
  } else if (IsEqualGUID(change->Event, GUID_DEVICE_INTERFACE_REMOVAL)) {
    ++client->state.interfaceRemovals;
  }
  return STATUS_SUCCESS;
}

// PASSIVE_LEVEL. Runs one command for the asker, with what the client keeps of it.
NTSTATUS RunCommand(Client* client, const kclient::CommandRequest& request, UCHAR* record, NTSTATUS* result) {
  if (client->commands == nullptr) return STATUS_INVALID_DEVICE_STATE;
  const ULONG bytes = request.recordBytes;
  if (request.code == kCommandMidiSetup && bytes >= kMidiSetupBytes) {
    Put(record, kMidiInAt, &ClientMidiIn);
    Put<PVOID>(record, kMidiInContextAt, client);
  }
  if (request.code == kCommandStart) {
    // Frames per half, for the loop in the exchange.
    UCHAR frames[8] = {};
    if (NT_SUCCESS(Execute(client->commands, kCommandBufferFrames, 0, frames)))
      client->state.framesPerHalf = At<ULONG>(frames, kFramesAt);
    client->nextPosition = 0;
  }
  *result = Execute(client->commands, request.code, request.argument, request.nullRecord ? nullptr : record);
  if (!NT_SUCCESS(*result)) return STATUS_SUCCESS;
  if (request.code == kCommandMidiSetup && bytes >= kMidiSetupBytes) {
    client->deliver = At<DeliverMidi>(record, kDeliverAt);
    client->deliverArgument = At<PVOID>(record, kDeliverArgumentAt);
  } else if (request.code == kCommandAllocate && bytes >= kBufferRecordBytes) {
    KIRQL irql;
    KeAcquireSpinLock(&client->lock, &irql);
    for (ULONG c = 0; c < kChannels; ++c) {
      client->playback[c] = At<PLONG>(record, kOutputBuffersAt + 8 * c);
      client->record[c] = At<PLONG>(record, kInputBuffersAt + 8 * c);
    }
    KeReleaseSpinLock(&client->lock, irql);
  } else if (request.code == kCommandFree) {
    ForgetBuffers(client);
  }
  return STATUS_SUCCESS;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = NT_SUCCESS(status) ? information : 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS DeviceControl(PDEVICE_OBJECT, PIRP irp) {
  Client* client = gClient;
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  const ULONG in = sp->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG out = sp->Parameters.DeviceIoControl.OutputBufferLength;
  auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
  switch (sp->Parameters.DeviceIoControl.IoControlCode) {
    case kclient::kIoctlState: {
      if (out < sizeof(kclient::State)) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
      KIRQL irql;
      KeAcquireSpinLock(&client->lock, &irql);
      std::memcpy(buffer, &client->state, sizeof client->state);
      KeReleaseSpinLock(&client->lock, irql);
      return Complete(irp, STATUS_SUCCESS, sizeof(kclient::State));
    }
    case kclient::kIoctlCommand: {
      kclient::CommandRequest request;
      if (in < sizeof request) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
      std::memcpy(&request, buffer, sizeof request);
      const ULONG bytes = request.recordBytes;
      if (in - sizeof request < bytes || out < sizeof(kclient::CommandReply) + bytes)
        return Complete(irp, STATUS_INVALID_PARAMETER, 0);
      auto* record = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, bytes + 1, kTag));
      if (record == nullptr) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
      std::memcpy(record, buffer + sizeof request, bytes);
      kclient::CommandReply reply{};
      const NTSTATUS status = RunCommand(client, request, record, &reply.status);
      std::memcpy(buffer, &reply, sizeof reply);
      std::memcpy(buffer + sizeof reply, record, bytes);
      ExFreePoolWithTag(record, kTag);
      return Complete(irp, status, sizeof reply + bytes);
    }
    case kclient::kIoctlSendMidi: {
      if (client->deliver == nullptr) return Complete(irp, STATUS_INVALID_DEVICE_STATE, 0);
      if (out < sizeof(ULONG) || in % sizeof(kclient::MidiEvent) != 0) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
      const ULONG count = in / sizeof(kclient::MidiEvent);
      auto* events = static_cast<kclient::MidiEvent*>(ExAllocatePoolWithTag(NonPagedPool, in + 1, kTag));
      if (events == nullptr) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
      std::memcpy(events, buffer, in);
      const ULONG consumed = client->deliver(count, events, client->deliverArgument);
      ExFreePoolWithTag(events, kTag);
      std::memcpy(buffer, &consumed, sizeof consumed);
      return Complete(irp, STATUS_SUCCESS, sizeof consumed);
    }
    case kclient::kIoctlTakeMidiIn: {
      KIRQL irql;
      KeAcquireSpinLock(&client->lock, &irql);
      ULONG n = out / sizeof(kclient::MidiEvent);
      if (n > client->midiInCount) n = client->midiInCount;
      std::memcpy(buffer, client->midiIn, n * sizeof(kclient::MidiEvent));
      std::memmove(client->midiIn, client->midiIn + n, (client->midiInCount - n) * sizeof(kclient::MidiEvent));
      client->midiInCount -= n;
      KeReleaseSpinLock(&client->lock, irql);
      return Complete(irp, STATUS_SUCCESS, n * sizeof(kclient::MidiEvent));
    }
    case kclient::kIoctlReadRing: {
      kclient::RingRequest request;
      if (in < sizeof request || out < kclient::kRingBytes) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
      std::memcpy(&request, buffer, sizeof request);
      if (request.channel >= kChannels) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
      KIRQL irql;
      KeAcquireSpinLock(&client->lock, &irql);
      const PLONG ring = request.direction == kclient::kRingRecord ? client->record[request.channel]
                                                                    : client->playback[request.channel];
      if (ring != nullptr) std::memcpy(buffer, ring, kclient::kRingBytes);
      KeReleaseSpinLock(&client->lock, irql);
      if (ring == nullptr) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
      return Complete(irp, STATUS_SUCCESS, kclient::kRingBytes);
    }
    case kclient::kIoctlUnbind: Unbind(client); return Complete(irp, STATUS_SUCCESS, 0);
    case kclient::kIoctlBind: BindFirst(client); return Complete(irp, STATUS_SUCCESS, 0);
    default: return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

NTSTATUS CreateClose(PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS, 0); }

void Unload(PDRIVER_OBJECT) {
  Client* client = gClient;
  if (client->notification != nullptr) IoUnregisterPlugPlayNotification(client->notification);
  Unbind(client);
  IoDeleteDevice(client->control);
  gClient = nullptr;
}

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, kclient::kDevice);
  PDEVICE_OBJECT control = nullptr;
  NTSTATUS status = IoCreateDevice(DriverObject, sizeof(Client), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &control);
  if (!NT_SUCCESS(status)) return status;
  auto* client = static_cast<Client*>(control->DeviceExtension);
  std::memset(static_cast<void*>(client), 0, sizeof *client);
  client->control = control;
  KeInitializeSpinLock(&client->lock);
  gClient = client;
  DriverObject->MajorFunction[IRP_MJ_CREATE] = CreateClose;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = CreateClose;
  DriverObject->MajorFunction[IRP_MJ_CLEANUP] = CreateClose;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DeviceControl;
  DriverObject->DriverUnload = Unload;
  control->Flags &= ~DO_DEVICE_INITIALIZING;
  GUID interfaceClass = kInterfaceClass;
  status = IoRegisterPlugPlayNotification(EventCategoryDeviceInterfaceChange,
                                          PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES, &interfaceClass,
                                          DriverObject, InterfaceChange, client, &client->notification);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(control);
    gClient = nullptr;
  }
  return status;
}
