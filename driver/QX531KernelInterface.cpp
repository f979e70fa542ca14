#include "driver/QX531KernelInterface.h"

#include <new>

#include "kframework/KernelUtil.h"

namespace {

constexpr char kImageName[] = "qx531.sys";
constexpr ULONG kInterfaceRecordVersion = 1;
constexpr ULONG kCommandSetVersion = 2;
constexpr ULONG kCommandInterfaceVersion = 0x00020001;
constexpr ULONG kDescriptionWord72 = 30;
constexpr ULONG kDescriptionWord76 = 1024;
constexpr ULONG kDescriptionWord80 = 1;
// Channel types of the description: analog, ADAT, S/PDIF, each with this bit.
constexpr ULONG kChannelTypeAnalog = 0;
constexpr ULONG kChannelTypeAdat = 2;
constexpr ULONG kChannelTypeSpdif = 4;
constexpr ULONG kChannelTypePresent = 0x10;
constexpr ULONG kMidiPorts = 4;

constexpr ULONG kPublishedPorts = 16;

// A published port and the calls of the client in it. Removal marks it detaching, so no new call
// enters, and waits until the calls in flight have left.
struct PublishedPort {
  ClientPort* mPort;
  QX531KernelInterface* mInterface;
  LONG mCalls;
  BOOLEAN mDetaching;
  KEVENT mIdle;
};

KSPIN_LOCK gPublishedLock = 0;
PublishedPort gPublished[kPublishedPorts] = {};
// Objects removal detached and some client still holds; under gPublishedLock.
QX531KernelInterface* gDetached = nullptr;

// Under gPublishedLock.
PublishedPort* FindPublished(const void* port) {
  if (port == nullptr) return nullptr;
  for (PublishedPort& entry : gPublished)
    if (entry.mPort == port) return &entry;
  return nullptr;
}

// DISPATCH_LEVEL or below. Admits one call on `port`; false when it is no published port or is
// going away. Only the address is compared: a stale one is never followed.
bool EnterPort(const void* port) {
  KIRQL irql;
  KeAcquireSpinLock(&gPublishedLock, &irql);
  PublishedPort* entry = FindPublished(port);
  const bool admitted = entry != nullptr && !entry->mDetaching;
  if (admitted) ++entry->mCalls;
  KeReleaseSpinLock(&gPublishedLock, irql);
  return admitted;
}

// DISPATCH_LEVEL or below. The port of a command object that is still attached, with the call
// admitted; null once removal has detached it.
ClientPort* EnterInterface(const QX531KernelInterface* object) {
  KIRQL irql;
  KeAcquireSpinLock(&gPublishedLock, &irql);
  ClientPort* port = object->mPort;
  PublishedPort* entry = FindPublished(port);
  if (entry == nullptr || entry->mDetaching)
    port = nullptr;
  else
    ++entry->mCalls;
  KeReleaseSpinLock(&gPublishedLock, irql);
  return port;
}

// DISPATCH_LEVEL or below. The end of a call EnterPort or EnterInterface admitted.
void LeavePort(const void* port) {
  KIRQL irql;
  KeAcquireSpinLock(&gPublishedLock, &irql);
  PublishedPort* entry = FindPublished(port);
  if (--entry->mCalls == 0 && entry->mDetaching) KeSetEvent(&entry->mIdle, IO_NO_INCREMENT, FALSE);
  KeReleaseSpinLock(&gPublishedLock, irql);
}

// Leaves the admitted call on every way out.
class PortCall {
 public:
  explicit PortCall(ClientPort* port) : mPort(port) {}
  ~PortCall() {
    if (mPort != nullptr) LeavePort(mPort);
  }
  PortCall(const PortCall&) = delete;
  PortCall& operator=(const PortCall&) = delete;

 private:
  ClientPort* mPort;
};

void CopyName(char* to, const char* from) {
  while ((*to++ = *from++) != 0) {
  }
}

// "<stem> <number>", the number 1-99.
void FormatChannelName(char* to, const char* stem, ULONG number) {
  while (*stem != 0) *to++ = *stem++;
  *to++ = ' ';
  if (number >= 10) *to++ = static_cast<char>('0' + number / 10);
  *to++ = static_cast<char>('0' + number % 10);
  *to = 0;
}

// Channels 0-7 are analog, 8-15 ADAT, the rest S/PDIF; names count from 1 within each kind.
ULONG ChannelType(ULONG channel) {
  if (channel < 8) return kChannelTypeAnalog;
  if (channel < 16) return kChannelTypeAdat;
  return kChannelTypeSpdif;
}

void NameChannel(char* to, ULONG channel) {
  if (channel < 8)
    FormatChannelName(to, "Analog", channel + 1);
  else if (channel < 16)
    FormatChannelName(to, "ADAT", channel - 7);
  else
    FormatChannelName(to, "SPDIF", channel - 15);
}

ULONG RateOfFlags(ULONG flags) {
  if (flags & kKernelRate44100) return 44100;
  if (flags & kKernelRate48000) return 48000;
  if (flags & kKernelRate88200) return 88200;
  if (flags & kKernelRate96000) return 96000;
  return 44100;
}

ULONG Channels(ULONG count) { return count < kClientChannels ? count : kClientChannels; }

bool NeedsRecord(ULONG code) {
  switch (code) {
    case kKernelCommandVersion:
    case kKernelCommandDescription:
    case kKernelCommandAllocateBuffers:
    case kKernelCommandBufferFrames:
    case kKernelCommandMidiPortNames:
    case kKernelCommandMidiSetup:
    case kKernelCommandChannelNames: return true;
    default: return false;
  }
}

// PASSIVE_LEVEL. The client's audio stops: the exchange no longer runs for it, and its channels
// leave the masks.
void StopClientAudio(ClientPort* port) {
  PAGED_CODE();
  KIRQL irql;
  KeAcquireSpinLock(&port->mKernelClientLock, &irql);
  port->mAudioRunning = 0;
  for (ULONG n = 0; n < kClientChannels; ++n) {
    if (port->mPlaybackBuffers[n] != nullptr) port->mPlaybackMask &= ~(1ull << n);
    if (port->mRecordBuffers[n] != nullptr) port->mRecordMask &= ~(1ull << n);
  }
  KeReleaseSpinLock(&port->mKernelClientLock, irql);
  port->RestartClient();
}

// PASSIVE_LEVEL. Takes the client's buffers out of the port, under the exchange's lock, into
// `playback` and `record`.
void TakeClientBuffers(ClientPort* port, PLONG (&playback)[kClientChannels], PLONG (&record)[kClientChannels]) {
  KIRQL irql;
  KeAcquireSpinLock(&port->mKernelClientLock, &irql);
  for (ULONG n = 0; n < kClientChannels; ++n) {
    playback[n] = port->mPlaybackBuffers[n];
    record[n] = port->mRecordBuffers[n];
    port->mPlaybackBuffers[n] = nullptr;
    port->mRecordBuffers[n] = nullptr;
  }
  port->mPlaybackMask = 0;
  port->mRecordMask = 0;
  KeReleaseSpinLock(&port->mKernelClientLock, irql);
}

// PASSIVE_LEVEL. Frees every buffer of the client and detaches its channels; audio that runs
// stops first, so the exchange never touches a freed buffer.
void FreeClientBuffers(ClientPort* port) {
  PAGED_CODE();
  if (port->mAudioRunning) StopClientAudio(port);
  PLONG playback[kClientChannels];
  PLONG record[kClientChannels];
  TakeClientBuffers(port, playback, record);
  for (ULONG n = 0; n < kClientChannels; ++n) {
    if (playback[n] == nullptr) continue;
    ExFreePoolWithTag(playback[n], kFrameworkPoolTag);
    port->AttachClientPlaybackChannel(n, FALSE);
  }
  for (ULONG n = 0; n < kClientChannels; ++n) {
    if (record[n] == nullptr) continue;
    ExFreePoolWithTag(record[n], kFrameworkPoolTag);
    port->AttachClientRecordChannel(n, FALSE);
  }
}

PLONG AllocateClientBuffer() {
  auto* buffer = static_cast<PLONG>(ExAllocatePoolWithTag(NonPagedPool, kKernelClientRingBytes, kFrameworkPoolTag));
  if (buffer != nullptr) RtlZeroMemory(buffer, kKernelClientRingBytes);
  return buffer;
}

// PASSIVE_LEVEL. A second allocation frees the first set before it allocates. A buffer that
// cannot be had leaves its channel without one (null in the record), unattached.
void AllocateBuffers(ClientPort* port, KernelBufferRecord* record) {
  PAGED_CODE();
  FreeClientBuffers(port);
  port->mBytesPerSample = (record->mFlags & kKernelBuffers16Bit) ? 2 : 4;
  port->ClientSetSampleRate(RateOfFlags(record->mFlags));
  port->mClientFrames = record->mFrames;
  PLONG playback[kClientChannels] = {};
  PLONG capture[kClientChannels] = {};
  const ULONG outputs = Channels(port->GetOutputChannelCount());
  for (ULONG n = 0; n < outputs; ++n) {
    if (record->mPlay[n] & 1) playback[n] = AllocateClientBuffer();
    record->mOutputBuffers[n] = playback[n];
  }
  const ULONG inputs = Channels(port->GetInputChannelCount());
  for (ULONG n = 0; n < inputs; ++n) {
    if (record->mRecord[n] & 1) capture[n] = AllocateClientBuffer();
    record->mInputBuffers[n] = capture[n];
  }
  KIRQL irql;
  KeAcquireSpinLock(&port->mKernelClientLock, &irql);
  for (ULONG n = 0; n < kClientChannels; ++n) {
    port->mPlaybackBuffers[n] = playback[n];
    port->mRecordBuffers[n] = capture[n];
  }
  KeReleaseSpinLock(&port->mKernelClientLock, irql);
  for (ULONG n = 0; n < kClientChannels; ++n) {
    if (playback[n] != nullptr) port->AttachClientPlaybackChannel(n, TRUE);
  }
  for (ULONG n = 0; n < kClientChannels; ++n) {
    if (capture[n] != nullptr) port->AttachClientRecordChannel(n, TRUE);
  }
}

void Start(ClientPort* port, ULONG flags) {
  PAGED_CODE();
  if (flags & kKernelStartAudio) {
    LARGE_INTEGER frequency;
    const LARGE_INTEGER now = KeQueryPerformanceCounter(&frequency);
    KIRQL irql;
    KeAcquireSpinLock(&port->mKernelClientLock, &irql);
    for (ULONG n = 0; n < kClientChannels; ++n) {
      if (port->mPlaybackBuffers[n] != nullptr) port->mPlaybackMask |= 1ull << n;
      if (port->mRecordBuffers[n] != nullptr) port->mRecordMask |= 1ull << n;
    }
    port->mFramesExchanged = 0;
    port->mRingPosition = 0;
    port->mStartMilliseconds = frequency.QuadPart != 0 ? now.QuadPart * 1000 / frequency.QuadPart : 0;
    port->mAudioRunning = 1;
    KeReleaseSpinLock(&port->mKernelClientLock, irql);
    port->ApplyClientMode();
  }
  if (flags & kKernelStartMidi) port->mMidiAttached = 1;
}

void Stop(ClientPort* port, ULONG flags) {
  PAGED_CODE();
  if (flags & kKernelStartAudio) StopClientAudio(port);
  if (flags & kKernelStartMidi) port->mMidiAttached = 0;
}

void Describe(ClientPort* port, ULONG argument, KernelDescriptionRecord* record) {
  RtlZeroMemory(record, sizeof *record);
  CopyName(record->mName, argument == 0 ? "QX-5310" : "QX-5310 [2]");
  const ULONG outputs = port->GetOutputChannelCount();
  const ULONG inputs = port->GetInputChannelCount();
  record->mOutputChannels = outputs;
  record->mInputChannels = inputs;
  record->mWord72 = kDescriptionWord72;
  record->mWord76 = kDescriptionWord76;
  record->mWord80 = kDescriptionWord80;
  for (ULONG n = 0; n < outputs && n < kKernelRecordSlots; ++n)
    record->mOutputTypes[n] = ChannelType(n) + kChannelTypePresent;
  for (ULONG n = 0; n < inputs && n < kKernelRecordSlots; ++n)
    record->mInputTypes[n] = ChannelType(n) + kChannelTypePresent;
}

// Under the lock that MIDI delivery takes: once this returns, the client's former MIDI input is
// no longer called.
void SetUpMidi(ClientPort* port, KernelMidiSetupRecord* record) {
  ULONG receive = 0;
  ULONG send = 0;
  for (ULONG n = 0; n < kMidiParserCables; ++n) {
    if (record->mReceive[n] & 1) receive |= 1u << n;
    if (record->mSend[n] & 1) send |= 1u << n;
  }
  record->mDeliver = DeliverMidiToClient;
  record->mDeliverArgument = port;
  KIRQL irql;
  KeAcquireSpinLock(&port->mKernelClientLock, &irql);
  port->mMidiInMask = receive;
  port->mMidiOutMask = send;
  port->mClientMidiInContext = record->mMidiInContext;
  port->mClientMidiIn = record->mMidiIn;
  KeReleaseSpinLock(&port->mKernelClientLock, irql);
}

void NameChannels(ClientPort* port, KernelChannelNamesRecord* record) {
  const ULONG inputs = port->GetInputChannelCount();
  for (ULONG n = 0; n < inputs && n < kKernelRecordSlots; ++n) NameChannel(record->mInputNames[n], n);
  const ULONG outputs = Channels(port->GetOutputChannelCount());
  for (ULONG n = 0; n < outputs; ++n) NameChannel(record->mOutputNames[n], n);
}

// PASSIVE_LEVEL.
void RunCommand(ClientPort* port, ULONG code, ULONG argument, PVOID record) {
  PAGED_CODE();
  switch (code) {
    case kKernelCommandVersion: {
      auto* version = static_cast<KernelVersionRecord*>(record);
      version->mVersion = kCommandSetVersion;
      version->mRevision = 0;
      version->mInterfaceVersion = kCommandInterfaceVersion;
      break;
    }
    case kKernelCommandDescription: Describe(port, argument, static_cast<KernelDescriptionRecord*>(record)); break;
    case kKernelCommandAllocateBuffers: AllocateBuffers(port, static_cast<KernelBufferRecord*>(record)); break;
    case kKernelCommandFreeBuffers: FreeClientBuffers(port); break;
    case kKernelCommandStart:
      Start(port, record != nullptr ? *static_cast<const ULONG*>(record) : kKernelStartAudio);
      break;
    case kKernelCommandStop: Stop(port, record != nullptr ? *static_cast<const ULONG*>(record) : kKernelStartAudio); break;
    case kKernelCommandBufferFrames:
      static_cast<KernelBufferFramesRecord*>(record)->mFrames = port->GetBufferFrames();
      break;
    case kKernelCommandMidiPortNames: {
      auto* names = static_cast<KernelMidiPortNamesRecord*>(record);
      RtlZeroMemory(names, sizeof *names);
      names->mInputPorts = kMidiPorts;
      names->mOutputPorts = kMidiPorts;
      CopyName(names->mInputName, "QX-5310 In");
      CopyName(names->mOutputName, "QX-5310 Out");
      break;
    }
    case kKernelCommandMidiSetup: SetUpMidi(port, static_cast<KernelMidiSetupRecord*>(record)); break;
    case kKernelCommandChannelNames: NameChannels(port, static_cast<KernelChannelNamesRecord*>(record)); break;
    default: break;  // 0x1006 and every code the unit does not serve
  }
}

}  // namespace

QX531KernelInterface::QX531KernelInterface(ClientPort* port) : mOuter(this), mPort(port) {}

QX531KernelInterface* QX531KernelInterface::Create(ClientPort* port) {
  PAGED_CODE();
  void* memory = ExAllocatePoolWithTag(NonPagedPool, sizeof(QX531KernelInterface), kFrameworkPoolTag);
  if (memory == nullptr) return nullptr;
  auto* object = new (memory) QX531KernelInterface(port);
  object->NonDelegatingAddRef();
  return object;
}

void QX531KernelInterface::operator delete(void* memory) { ExFreePoolWithTag(memory, kFrameworkPoolTag); }

HRESULT STDMETHODCALLTYPE QX531KernelInterface::QueryInterface(REFIID iid, void** object) {
  return mOuter->NonDelegatingQueryInterface(iid, object);
}
ULONG STDMETHODCALLTYPE QX531KernelInterface::AddRef() { return mOuter->NonDelegatingAddRef(); }
ULONG STDMETHODCALLTYPE QX531KernelInterface::Release() { return mOuter->NonDelegatingRelease(); }

HRESULT QX531KernelInterface::NonDelegatingQueryInterface(REFIID iid, void** object) {
  if (object == nullptr) return STATUS_INVALID_PARAMETER;
  if (!IsEqualGUID(iid, IID_IUnknown) && !IsEqualGUID(iid, IID_IQX531KernelCommands)) {
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
  }
  *object = static_cast<IQX531KernelCommands*>(this);
  AddRef();
  return STATUS_SUCCESS;
}

uint32_t QX531KernelInterface::NonDelegatingAddRef() { return static_cast<uint32_t>(InterlockedIncrement(&mReferences)); }

uint32_t QX531KernelInterface::NonDelegatingRelease() {
  const LONG left = InterlockedDecrement(&mReferences);
  if (left == 0) {
    KIRQL irql;
    KeAcquireSpinLock(&gPublishedLock, &irql);
    for (QX531KernelInterface** link = &gDetached; *link != nullptr; link = &(*link)->mNextDetached) {
      if (*link != this) continue;
      *link = mNextDetached;
      break;
    }
    KeReleaseSpinLock(&gPublishedLock, irql);
    delete this;
  }
  return static_cast<uint32_t>(left);
}

NTSTATUS QX531KernelInterface::ExecuteCommand(ULONG code, ULONG argument, PVOID record) {
  PAGED_CODE();
  if (record == nullptr && NeedsRecord(code)) return STATUS_INVALID_PARAMETER;
  ClientPort* port = EnterInterface(this);
  if (port == nullptr) return STATUS_NO_SUCH_DEVICE;
  PortCall call(port);
  RunCommand(port, code, argument, record);
  return STATUS_SUCCESS;
}

NTSTATUS QX531KernelInterface::SetClientCallbacks(PQX531_CLIENT_CALLBACK callback, PVOID context, PVOID third) {
  PAGED_CODE();
  ClientPort* port = EnterInterface(this);
  if (port == nullptr) return STATUS_NO_SUCH_DEVICE;
  PortCall call(port);
  KIRQL irql;
  KeAcquireSpinLock(&port->mKernelClientLock, &irql);
  port->mClientContext = context;
  port->mClientThird = third;
  port->mClientCallback = callback;
  KeReleaseSpinLock(&port->mKernelClientLock, irql);
  return STATUS_SUCCESS;
}

namespace {

// PASSIVE_LEVEL. The four address words into the interface's key.
void WriteAddresses(PUNICODE_STRING link, ULONG64 entry, ULONG64 port) {
  PAGED_CODE();
  HANDLE key = nullptr;
  if (!NT_SUCCESS(IoOpenDeviceInterfaceRegistryKey(link, KEY_ALL_ACCESS, &key))) return;
  const struct {
    PCWSTR name;
    ULONG value;
  } values[] = {
      {kKernelEntryValue, static_cast<ULONG>(entry)},
      {kKernelEntryHighValue, static_cast<ULONG>(entry >> 32)},
      {kKernelPortValue, static_cast<ULONG>(port)},
      {kKernelPortHighValue, static_cast<ULONG>(port >> 32)},
  };
  for (const auto& v : values) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, v.name);
    ULONG value = v.value;
    ZwSetValueKey(key, &name, 0, REG_DWORD, &value, sizeof value);
  }
  ZwClose(key);
}

void ZeroLowAddresses(PUNICODE_STRING link) {
  PAGED_CODE();
  HANDLE key = nullptr;
  if (!NT_SUCCESS(IoOpenDeviceInterfaceRegistryKey(link, KEY_ALL_ACCESS, &key))) return;
  for (PCWSTR valueName : {kKernelEntryValue, kKernelPortValue}) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, valueName);
    ULONG zero = 0;
    ZwSetValueKey(key, &name, 0, REG_DWORD, &zero, sizeof zero);
  }
  ZwClose(key);
}

// PASSIVE_LEVEL. A place in the published table for `port`, with its command object.
bool ClaimPublished(ClientPort* port, QX531KernelInterface* object) {
  PAGED_CODE();
  KIRQL irql;
  KeAcquireSpinLock(&gPublishedLock, &irql);
  PublishedPort* slot = nullptr;
  for (PublishedPort& entry : gPublished) {
    if (entry.mPort != nullptr) continue;
    slot = &entry;
    break;
  }
  if (slot != nullptr) {
    slot->mPort = port;
    slot->mInterface = object;
    slot->mCalls = 0;
    slot->mDetaching = FALSE;
    KeInitializeEvent(&slot->mIdle, NotificationEvent, FALSE);
  }
  KeReleaseSpinLock(&gPublishedLock, irql);
  return slot != nullptr;
}

}  // namespace

NTSTATUS PublishKernelInterface(PDEVICE_OBJECT physicalDevice, ClientPort* port) {
  PAGED_CODE();
  if (port->mKernelInterface != nullptr) return STATUS_SUCCESS;
  QX531KernelInterface* object = QX531KernelInterface::Create(port);
  if (object == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  port->mKernelInterface = object;
  if (!ClaimPublished(port, object)) {
    port->mKernelInterface = nullptr;
    object->Release();
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  // The object exists before the interface shows: a client that is told of its arrival calls in at once.
  NTSTATUS status = IoRegisterDeviceInterface(physicalDevice, &GUID_QX531_KERNEL_INTERFACE, nullptr,
                                              &port->mKernelInterfaceLink);
  if (!NT_SUCCESS(status)) return status;
  WriteAddresses(&port->mKernelInterfaceLink, reinterpret_cast<ULONG64>(&GetInterfaceCallback),
                 reinterpret_cast<ULONG64>(port));
  return IoSetDeviceInterfaceState(&port->mKernelInterfaceLink, TRUE);
}

void UnpublishKernelInterface(ClientPort* port) {
  PAGED_CODE();
  if (port->mKernelInterfaceLink.Buffer == nullptr) return;
  IoSetDeviceInterfaceState(&port->mKernelInterfaceLink, FALSE);
  ZeroLowAddresses(&port->mKernelInterfaceLink);
}

void NotifyKernelClientOfRemoval(ClientPort* port) {
  PAGED_CODE();
  KIRQL irql;
  KeAcquireSpinLock(&port->mKernelClientLock, &irql);
  const PQX531_CLIENT_CALLBACK callback = port->mClientCallback;
  const PVOID context = port->mClientContext;
  port->mClientCallback = nullptr;
  KeReleaseSpinLock(&port->mKernelClientLock, irql);
  if (callback == nullptr) return;
  KernelClientNotice notice = {0, 8};
  callback(kKernelClientNotice, 0, &notice, context);
}

void DetachKernelInterface(ClientPort* port) {
  PAGED_CODE();
  KIRQL irql;
  KeAcquireSpinLock(&gPublishedLock, &irql);
  PublishedPort* entry = FindPublished(port);
  bool busy = false;
  if (entry != nullptr) {
    entry->mDetaching = TRUE;
    busy = entry->mCalls != 0;
  }
  KeReleaseSpinLock(&gPublishedLock, irql);
  if (entry == nullptr) return;
  if (busy) KeWaitForSingleObject(&entry->mIdle, Executive, KernelMode, FALSE, nullptr);

  KeAcquireSpinLock(&gPublishedLock, &irql);
  QX531KernelInterface* object = entry->mInterface;
  object->mPort = nullptr;
  *entry = PublishedPort{};
  KeReleaseSpinLock(&gPublishedLock, irql);

  // The streams are down: what the client left allocated goes without touching the unit.
  PLONG playback[kClientChannels];
  PLONG record[kClientChannels];
  TakeClientBuffers(port, playback, record);
  for (ULONG n = 0; n < kClientChannels; ++n) {
    if (playback[n] != nullptr) ExFreePoolWithTag(playback[n], kFrameworkPoolTag);
    if (record[n] != nullptr) ExFreePoolWithTag(record[n], kFrameworkPoolTag);
  }
  KeAcquireSpinLock(&port->mKernelClientLock, &irql);
  port->mAudioRunning = 0;
  port->mMidiAttached = 0;
  port->mClientCallback = nullptr;
  port->mClientMidiIn = nullptr;
  port->mKernelInterface = nullptr;
  KeReleaseSpinLock(&port->mKernelClientLock, irql);
  if (port->mKernelInterfaceLink.Buffer != nullptr) RtlFreeUnicodeString(&port->mKernelInterfaceLink);
  // Kept on the detached list until its last release, or until unload when a client never makes it.
  KeAcquireSpinLock(&gPublishedLock, &irql);
  object->mNextDetached = gDetached;
  gDetached = object;
  KeReleaseSpinLock(&gPublishedLock, irql);
  object->Release();
}

void FreeDetachedKernelInterfaces() {
  PAGED_CODE();
  KIRQL irql;
  KeAcquireSpinLock(&gPublishedLock, &irql);
  QX531KernelInterface* object = gDetached;
  gDetached = nullptr;
  KeReleaseSpinLock(&gPublishedLock, irql);
  while (object != nullptr) {
    QX531KernelInterface* next = object->mNextDetached;
    delete static_cast<INonDelegatingKernelUnknown*>(object);
    object = next;
  }
}

NTSTATUS GetInterfaceCallback(PVOID record, PVOID port) {
  if (record == nullptr) return STATUS_INVALID_PARAMETER;
  if (!EnterPort(port)) return STATUS_NO_SUCH_DEVICE;
  auto* clientPort = static_cast<ClientPort*>(port);
  PortCall call(clientPort);
  auto* out = static_cast<KernelInterfaceRecord*>(record);
  CopyName(out->mName, kImageName);
  QX531KernelInterface* object = clientPort->mKernelInterface;
  object->AddRef();
  out->mInterface = object;
  out->mVersion = kInterfaceRecordVersion;
  return STATUS_SUCCESS;
}

BOOLEAN KernelMidiEventToPacket(const KernelMidiEvent& event, ULONG cable, UCHAR* inSysEx, ULONG* packet) {
  const UCHAR b1 = event.mBytes[0];
  const UCHAR b2 = event.mBytes[1];
  const UCHAR b3 = event.mBytes[2];
  constexpr UCHAR kEnd = 0xF7;
  UCHAR codeIndex;
  if (*inSysEx) {
    if (b1 == kEnd)
      codeIndex = kCinSingleByte;
    else if (b2 == kEnd)
      codeIndex = kCinSysExEndsTwo;
    else if (b3 == kEnd)
      codeIndex = kCinSysExEndsThree;
    else
      codeIndex = kCinSysExContinues;
    *inSysEx = codeIndex == kCinSysExContinues;
  } else if (b1 >= 0x80 && b1 <= 0xEF) {
    codeIndex = static_cast<UCHAR>(b1 >> 4);
  } else {
    switch (b1) {
      case 0xF0:
        if (b2 == kEnd)
          codeIndex = kCinSysExEndsTwo;
        else if (b3 == kEnd)
          codeIndex = kCinSysExEndsThree;
        else
          codeIndex = kCinSysExContinues;
        *inSysEx = codeIndex == kCinSysExContinues;
        break;
      case 0xF1:
      case 0xF3: codeIndex = kCinTwoByteCommon; break;
      case 0xF2: codeIndex = kCinThreeByteCommon; break;
      case 0xF6:
      case 0xF8:
      case 0xF9:
      case 0xFA:
      case 0xFB:
      case 0xFC:
      case 0xFD:
      case 0xFE:
      case 0xFF: codeIndex = kCinSingleByte; break;
      default: return FALSE;  // a data byte, 0xF4, 0xF5 or a stray 0xF7
    }
  }
  *packet = ((cable << 4 | codeIndex) << 24) | static_cast<ULONG>(b1) << 16 | static_cast<ULONG>(b2) << 8 | b3;
  return TRUE;
}

ULONG DeliverMidiToClient(ULONG count, const KernelMidiEvent* events, PVOID port) {
  if (events == nullptr || !EnterPort(port)) return 0;
  auto* clientPort = static_cast<ClientPort*>(port);
  PortCall call(clientPort);
  ULONG consumed = 0;
  for (; consumed < count; ++consumed) {
    const KernelMidiEvent& event = events[consumed];
    const ULONG cable = event.mCableKind >> 4;
    const ULONG kind = event.mCableKind & 0xF;
    if (cable >= kMidiParserCables || !(clientPort->mMidiOutMask & (1u << cable)) || kind > 1) continue;
    // The SysEx state moves on only with a packet the unit took, so an event sent again is read alike.
    UCHAR inSysEx = clientPort->mSysExOut[cable];
    ULONG packet;
    if (!KernelMidiEventToPacket(event, cable, &inSysEx, &packet)) continue;
    if (!clientPort->QueueMidiOut(packet)) break;
    clientPort->mSysExOut[cable] = inSysEx;
  }
  return consumed;
}

VOID KernelClientMidiSink(PVOID port, ULONG cable, const KernelMidiEvent* event) {
  auto* clientPort = static_cast<ClientPort*>(port);
  if (!clientPort->mMidiAttached || cable >= kMidiParserCables) return;
  KIRQL irql;
  KeAcquireSpinLock(&clientPort->mKernelClientLock, &irql);
  const PQX531_CLIENT_MIDI_IN midiIn = clientPort->mClientMidiIn;
  if (midiIn != nullptr && (clientPort->mMidiInMask & (1u << cable)))
    midiIn(kKernelClientMidiIn, event, clientPort->mClientMidiInContext);
  KeReleaseSpinLock(&clientPort->mKernelClientLock, irql);
}
