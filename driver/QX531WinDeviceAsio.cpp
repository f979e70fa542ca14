// The ASIO host's requests 256-266: capabilities, the session's buffers mapped into the host's
// process, start with the host's event, stop, clock and rate, output ready. The session belongs to
// the file object that created its buffers; CLEANUP of that file object ends it.
#include <ntifs.h>

#include <cstring>

#include "driver/AsioRequests.h"
#include "driver/QX531WinDevice.h"
#include "kframework/KernelDriverBase.h"
#include "kframework/RegistryKey.h"

namespace {

constexpr WCHAR kParametersKey[] = L"Parameters";
constexpr WCHAR kSampleRateValue[] = L"SampleRate";

constexpr uint32_t kSampleRates[] = {44100, 48000, 88200, 96000};

bool IsSampleRate(uint32_t rate) {
  for (uint32_t known : kSampleRates)
    if (rate == known) return true;
  return false;
}

// A 32-bit process's handles widen by sign, as the system widens them.
HANDLE HandleOf32(uint32_t value) { return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(static_cast<LONG>(value))); }

uint64_t AddressWord(PVOID address) { return reinterpret_cast<ULONG_PTR>(address); }

}  // namespace

// PASSIVE_LEVEL, in the caller's thread: the mappings go into the calling process.
int32_t QX531WinDevice::HandleAsioRequest(PFILE_OBJECT caller, uint32_t request, void* buffer, uint32_t inputLength,
                                          uint32_t outputLength, uint32_t* bytesReturned) {
  PAGED_CODE();
  *bytesReturned = 0;
  const bool caller32 = (request & kQX531Caller32Bit) != 0;
  switch (request & ~kQX531Caller32Bit) {
    case 256:
      return AsioGetCaps(caller, buffer, outputLength, bytesReturned);
    case 257:
      return AsioStart(caller, caller32, buffer, inputLength, outputLength, bytesReturned);
    case 258:
      return AsioStop(caller);
    case 259:
      return AsioCreateBuffers(caller, caller32, buffer, inputLength, outputLength, bytesReturned);
    case 260:
      return AsioDisposeBuffers(caller);
    case 261:
      return kQX531Success;
    case 262:
      return AsioSetClockSource(caller, buffer, inputLength);
    case 263:
      return AsioGetClockState(caller, buffer, outputLength, bytesReturned);
    case 264:
      return AsioSetSampleRate(caller, buffer, inputLength);
    case 265:
      return AsioOutputReady(caller);
    case 266:
      return AsioGetInfo(caller, buffer, outputLength, bytesReturned);
    default:
      return kQX531Failure;
  }
}

// PASSIVE_LEVEL, at CLEANUP of a file object, in the process that closed its last handle, which
// need not be the one that opened it. A host that ends without stopping (a crash included) leaves
// nothing for the stream to write to or wait for.
void QX531WinDevice::CloseAsioSession(PFILE_OBJECT file) {
  PAGED_CODE();
  if (file == nullptr) return;
  KeWaitForSingleObject(mAsioMutex.Get(), Executive, KernelMode, FALSE, nullptr);
  if (mAsio.mOwner == file) {
    if (mAsio.mActive) EndAsioStream();
    UnmapAsioBuffers();
  }
  KeReleaseMutex(mAsioMutex.Get(), FALSE);
}

// DISPATCH_LEVEL or below, after each record half. Under the lock that stop takes, so that once
// stop has returned the event is never set again and the cell may go.
void QX531WinDevice::SignalAsioClient(ULONG half) {
  KIRQL irql;
  KeAcquireSpinLock(&mAsioSignalLock, &irql);
  if (mAsio.mActive && mAsio.mEvent != nullptr && mAsio.mIndexCell != nullptr) {
    *mAsio.mIndexCell = half != 0 ? 1 : 0;
    KeSetEvent(mAsio.mEvent, IO_NO_INCREMENT, FALSE);
  }
  KeReleaseSpinLock(&mAsioSignalLock, irql);
}

// A session exists while its buffers are mapped; only its owner may change it.
bool QX531WinDevice::AsioOwnedByOther(PFILE_OBJECT caller) const {
  return mAsio.mOwner != nullptr && mAsio.mOwner != caller;
}

// Every host that creates the driver asks for the capabilities; only the session's own host
// starts its output over with them.
int32_t QX531WinDevice::AsioGetCaps(PFILE_OBJECT caller, void* buffer, uint32_t outputLength,
                                    uint32_t* bytesReturned) {
  PAGED_CODE();
  if (outputLength < sizeof(AsioCapsReply)) return kQX531Failure;
  const AsioCapsReply reply = {kAsioCapsMagic, BufferFrames(), kAsioChannels, kAsioChannels, kAsioSampleBits};
  std::memcpy(buffer, &reply, sizeof reply);
  KeWaitForSingleObject(mAsioMutex.Get(), Executive, KernelMode, FALSE, nullptr);
  if (!AsioOwnedByOther(caller)) mAsio.mFirstBuffer = 1;
  KeReleaseMutex(mAsioMutex.Get(), FALSE);
  *bytesReturned = sizeof reply;
  return kQX531Success;
}

int32_t QX531WinDevice::AsioStart(PFILE_OBJECT caller, bool caller32, void* buffer, uint32_t inputLength,
                                  uint32_t outputLength, uint32_t* bytesReturned) {
  PAGED_CODE();
  const uint32_t handleBytes = caller32 ? sizeof(AsioStartRequest32) : sizeof(AsioStartRequest64);
  const uint32_t replyBytes = caller32 ? sizeof(AsioStartReply32) : sizeof(AsioStartReply64);
  if (inputLength < handleBytes || outputLength < replyBytes) return kQX531Failure;
  HANDLE handle;
  if (caller32) {
    AsioStartRequest32 in;
    std::memcpy(&in, buffer, sizeof in);
    handle = HandleOf32(in.mEvent);
  } else {
    AsioStartRequest64 in;
    std::memcpy(&in, buffer, sizeof in);
    handle = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(in.mEvent));
  }

  KeWaitForSingleObject(mAsioMutex.Get(), Executive, KernelMode, FALSE, nullptr);
  int32_t result = kQX531Failure;
  PVOID event = nullptr;
  if (mAsio.mOwner == caller && mAsio.mIndexCell != nullptr &&
      NT_SUCCESS(ObReferenceObjectByHandle(handle, EVENT_MODIFY_STATE, *ExEventObjectType, UserMode, &event, nullptr))) {
    KIRQL irql;
    KeAcquireSpinLock(&mAsioSignalLock, &irql);
    PKEVENT previous = mAsio.mEvent;
    mAsio.mEvent = static_cast<PKEVENT>(event);
    mAsio.mActive = 1;
    mAsio.mMapsChanged = 1;
    KeReleaseSpinLock(&mAsioSignalLock, irql);
    if (previous != nullptr) ObDereferenceObject(previous);
    if (caller32) {
      const AsioStartReply32 reply = {static_cast<uint32_t>(AddressWord(mAsio.mIndexUserAddress))};
      std::memcpy(buffer, &reply, sizeof reply);
    } else {
      const AsioStartReply64 reply = {AddressWord(mAsio.mIndexUserAddress)};
      std::memcpy(buffer, &reply, sizeof reply);
    }
    *bytesReturned = replyBytes;
    result = kQX531Success;
    // The streams run for the host even where nothing else has switched them on.
    SetClientMode();
  }
  KeReleaseMutex(mAsioMutex.Get(), FALSE);
  return result;
}

int32_t QX531WinDevice::AsioStop(PFILE_OBJECT caller) {
  PAGED_CODE();
  KeWaitForSingleObject(mAsioMutex.Get(), Executive, KernelMode, FALSE, nullptr);
  const bool refused = AsioOwnedByOther(caller);
  if (!refused) EndAsioStream();
  KeReleaseMutex(mAsioMutex.Get(), FALSE);
  return refused ? kQX531Failure : kQX531Success;
}

// Under the ASIO mutex. The host's stop: no more signals, the event let go, and the streams
// restarted when a buffer-size change waited for this stop.
void QX531WinDevice::EndAsioStream() {
  PAGED_CODE();
  KIRQL irql;
  KeAcquireSpinLock(&mAsioSignalLock, &irql);
  mAsio.mActive = 0;
  mAsio.mMapsChanged = 1;
  PKEVENT event = mAsio.mEvent;
  mAsio.mEvent = nullptr;
  KeReleaseSpinLock(&mAsioSignalLock, irql);
  if (event != nullptr) ObDereferenceObject(event);
  if (mAsio.mRestartPending) {
    mAsio.mRestartPending = 0;
    RestartClients();
  } else {
    SetClientMode();
  }
}

int32_t QX531WinDevice::AsioCreateBuffers(PFILE_OBJECT caller, bool caller32, void* buffer, uint32_t inputLength,
                                          uint32_t outputLength, uint32_t* bytesReturned) {
  PAGED_CODE();
  // The reply goes into the same buffer: the request is read whole first.
  AsioCreateBuffersRequest64 in{};
  if (caller32) {
    AsioCreateBuffersRequest32 narrow;
    if (inputLength < sizeof narrow || outputLength < sizeof(AsioCreateBuffersReply32)) return kQX531Failure;
    std::memcpy(&narrow, buffer, sizeof narrow);
    in.mSampleBits = narrow.mSampleBits;
    in.mFrames = narrow.mFrames;
    in.mPlaybackCount = narrow.mPlaybackCount;
    in.mRecordCount = narrow.mRecordCount;
    std::memcpy(in.mPlaybackChannels, narrow.mPlaybackChannels, sizeof in.mPlaybackChannels);
    std::memcpy(in.mRecordChannels, narrow.mRecordChannels, sizeof in.mRecordChannels);
  } else {
    if (inputLength < sizeof in || outputLength < sizeof(AsioCreateBuffersReply64)) return kQX531Failure;
    std::memcpy(&in, buffer, sizeof in);
  }
  const ULONG bytesPerSample = in.mSampleBits == 16 ? 2 : 4;
  if (in.mFrames == 0 || in.mFrames > kAsioHalfBytes / bytesPerSample) return kQX531Failure;
  if (in.mPlaybackCount > kClientChannels || in.mRecordCount > kClientChannels) return kQX531Failure;
  for (ULONG k = 0; k < in.mPlaybackCount; ++k)
    if (in.mPlaybackChannels[k] >= kClientChannels) return kQX531Failure;
  for (ULONG k = 0; k < in.mRecordCount; ++k)
    if (in.mRecordChannels[k] >= kClientChannels) return kQX531Failure;

  KeWaitForSingleObject(mAsioMutex.Get(), Executive, KernelMode, FALSE, nullptr);
  int32_t result = kQX531Failure;
  if (!AsioOwnedByOther(caller) && mChannelBlock != nullptr) {
    // Buffers made again replace the ones before, as a dispose first would.
    if (mAsio.mActive) EndAsioStream();
    UnmapAsioBuffers();
    mAsio.mOwner = caller;
    // Kept until the mappings are undone, which may be from another process.
    mAsio.mOwnerProcess = PsGetCurrentProcess();
    ObReferenceObject(mAsio.mOwnerProcess);
    if (MapAsioBuffers(in, bytesPerSample)) {
      WriteAsioAddresses(in, caller32, buffer);
      *bytesReturned = caller32 ? sizeof(AsioCreateBuffersReply32) : sizeof(AsioCreateBuffersReply64);
      result = kQX531Success;
    } else {
      UnmapAsioBuffers();
    }
  }
  KeReleaseMutex(mAsioMutex.Get(), FALSE);
  return result;
}

// Under the ASIO mutex, in the owner's process. Maps `bytes` of the pages at `address` into the
// current process; false with nothing kept when any step fails.
bool QX531WinDevice::MapIntoCaller(PVOID address, ULONG bytes, AsioChannelMapping* mapping) {
  PAGED_CODE();
  PMDL mdl = IoAllocateMdl(address, bytes, FALSE, FALSE, nullptr);
  if (mdl == nullptr) return false;
  MmBuildMdlForNonPagedPool(mdl);
  PVOID user = MmMapLockedPagesSpecifyCache(mdl, UserMode, MmCached, nullptr, FALSE, NormalPagePriority);
  if (user == nullptr) {
    IoFreeMdl(mdl);
    return false;
  }
  mapping->mMdl = mdl;
  mapping->mUserAddress = user;
  return true;
}

// Under the ASIO mutex, in (or attached to) the owner's process.
void QX531WinDevice::UnmapFromOwner(AsioChannelMapping* mapping) {
  PAGED_CODE();
  if (mapping->mMdl == nullptr) return;
  MmUnmapLockedPages(mapping->mUserAddress, mapping->mMdl);
  IoFreeMdl(mapping->mMdl);
  mapping->mMdl = nullptr;
  mapping->mUserAddress = nullptr;
}

// Under the ASIO mutex. The index cell has a page of its own; each half maps only the bytes the
// host asked for, inside the half.
bool QX531WinDevice::MapAsioBuffers(const AsioCreateBuffersRequest64& in, ULONG bytesPerSample) {
  PAGED_CODE();
  mAsio.mBytesPerSample = bytesPerSample;
  mAsio.mIndexCell = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, PAGE_SIZE, kFrameworkPoolTag));
  if (mAsio.mIndexCell == nullptr) return false;
  std::memset(mAsio.mIndexCell, 0, PAGE_SIZE);
  AsioChannelMapping cell{};
  if (!MapIntoCaller(mAsio.mIndexCell, 1, &cell)) return false;
  mAsio.mIndexMdl = cell.mMdl;
  mAsio.mIndexUserAddress = cell.mUserAddress;

  const ULONG bytes = in.mFrames * bytesPerSample;
  mAsio.mOutputMask = 0;
  for (ULONG k = 0; k < in.mPlaybackCount; ++k) {
    const ULONG channel = in.mPlaybackChannels[k];
    mAsio.mOutputMask |= 1ull << channel;
    mAsio.mPlaybackList[k] = channel;
    AttachPlaybackChannel(channel, TRUE);
    mAsio.mPlaybackAttached[k] = 1;
    for (ULONG h = 0; h < 2; ++h)
      if (!MapIntoCaller(mPlaybackChannelHalves[channel][h], bytes, &mAsio.mPlaybackMappings[k][h])) return false;
  }
  for (ULONG k = 0; k < in.mRecordCount; ++k) {
    const ULONG channel = in.mRecordChannels[k];
    mAsio.mRecordList[k] = channel;
    AttachRecordChannel(channel, TRUE);
    mAsio.mRecordAttached[k] = 1;
    for (ULONG h = 0; h < 2; ++h)
      if (!MapIntoCaller(mRecordChannelHalves[channel][h], bytes, &mAsio.mRecordMappings[k][h])) return false;
  }
  mAsio.mMapsChanged = 1;
  return true;
}

void QX531WinDevice::WriteAsioAddresses(const AsioCreateBuffersRequest64& in, bool caller32, void* buffer) const {
  PAGED_CODE();
  if (caller32) {
    AsioCreateBuffersReply32 reply{};
    for (ULONG k = 0; k < in.mRecordCount; ++k)
      for (ULONG h = 0; h < 2; ++h)
        reply.mRecord[k][h] = static_cast<uint32_t>(AddressWord(mAsio.mRecordMappings[k][h].mUserAddress));
    for (ULONG k = 0; k < in.mPlaybackCount; ++k)
      for (ULONG h = 0; h < 2; ++h)
        reply.mPlayback[k][h] = static_cast<uint32_t>(AddressWord(mAsio.mPlaybackMappings[k][h].mUserAddress));
    std::memcpy(buffer, &reply, sizeof reply);
  } else {
    AsioCreateBuffersReply64 reply{};
    for (ULONG k = 0; k < in.mRecordCount; ++k)
      for (ULONG h = 0; h < 2; ++h) reply.mRecord[k][h] = AddressWord(mAsio.mRecordMappings[k][h].mUserAddress);
    for (ULONG k = 0; k < in.mPlaybackCount; ++k)
      for (ULONG h = 0; h < 2; ++h) reply.mPlayback[k][h] = AddressWord(mAsio.mPlaybackMappings[k][h].mUserAddress);
    std::memcpy(buffer, &reply, sizeof reply);
  }
}

int32_t QX531WinDevice::AsioDisposeBuffers(PFILE_OBJECT caller) {
  PAGED_CODE();
  KeWaitForSingleObject(mAsioMutex.Get(), Executive, KernelMode, FALSE, nullptr);
  const bool refused = AsioOwnedByOther(caller);
  if (!refused) {
    if (mAsio.mActive) EndAsioStream();
    UnmapAsioBuffers();
  }
  KeReleaseMutex(mAsioMutex.Get(), FALSE);
  return refused ? kQX531Failure : kQX531Success;
}

// Under the ASIO mutex, with the session stopped. Each slot undoes what it took, so a creation
// that failed half-way is undone the same way. The mappings are undone in the owner's process: a
// handle duplicated into or inherited by another process may bring the last request or CLEANUP
// from there.
void QX531WinDevice::UnmapAsioBuffers() {
  PAGED_CODE();
  const PEPROCESS owner = mAsio.mOwnerProcess;
  const bool attach = owner != nullptr && owner != PsGetCurrentProcess();
  KAPC_STATE attached;
  if (attach) KeStackAttachProcess(reinterpret_cast<PKPROCESS>(owner), &attached);
  mAsio.mOutputMask = 0;
  if (mAsio.mIndexMdl != nullptr) {
    AsioChannelMapping cell{mAsio.mIndexMdl, mAsio.mIndexUserAddress};
    UnmapFromOwner(&cell);
    mAsio.mIndexMdl = nullptr;
    mAsio.mIndexUserAddress = nullptr;
  }
  if (mAsio.mIndexCell != nullptr) {
    KIRQL irql;
    KeAcquireSpinLock(&mAsioSignalLock, &irql);
    PUCHAR cell = mAsio.mIndexCell;
    mAsio.mIndexCell = nullptr;
    KeReleaseSpinLock(&mAsioSignalLock, irql);
    ExFreePoolWithTag(cell, kFrameworkPoolTag);
  }
  bool detached = false;
  for (ULONG k = 0; k < kClientChannels; ++k) {
    if (mAsio.mRecordAttached[k]) {
      AttachRecordChannel(mAsio.mRecordList[k], FALSE);
      mAsio.mRecordAttached[k] = 0;
      detached = true;
    }
    if (mAsio.mPlaybackAttached[k]) {
      AttachPlaybackChannel(mAsio.mPlaybackList[k], FALSE);
      mAsio.mPlaybackAttached[k] = 0;
      detached = true;
    }
    for (ULONG h = 0; h < 2; ++h) {
      UnmapFromOwner(&mAsio.mRecordMappings[k][h]);
      UnmapFromOwner(&mAsio.mPlaybackMappings[k][h]);
    }
  }
  if (attach) KeUnstackDetachProcess(&attached);
  if (detached) mAsio.mMapsChanged = 1;
  mAsio.mOwner = nullptr;
  mAsio.mOwnerProcess = nullptr;
  if (owner != nullptr) ObDereferenceObject(owner);
}

// The clock and the rate belong to the session while it lasts: another file object may not change
// them under it. A request without its word changes nothing and succeeds.
int32_t QX531WinDevice::SetSessionWord(PFILE_OBJECT caller, const void* buffer, uint32_t inputLength,
                                       bool (*accepted)(uint32_t), void (QX531WinDevice::*apply)(uint32_t)) {
  PAGED_CODE();
  KeWaitForSingleObject(mAsioMutex.Get(), Executive, KernelMode, FALSE, nullptr);
  int32_t result = kQX531Success;
  if (AsioOwnedByOther(caller)) {
    result = kAsioSessionBusy;
  } else if (inputLength == sizeof(uint32_t)) {
    uint32_t word;
    std::memcpy(&word, buffer, sizeof word);
    if (accepted(word))
      (this->*apply)(word);
    else
      result = kQX531Failure;
  }
  KeReleaseMutex(mAsioMutex.Get(), FALSE);
  return result;
}

int32_t QX531WinDevice::AsioSetClockSource(PFILE_OBJECT caller, const void* buffer, uint32_t inputLength) {
  PAGED_CODE();
  return SetSessionWord(
      caller, buffer, inputLength,
      [](uint32_t source) { return source >= kAsioClockInternal && source <= kAsioClockLast; },
      &QX531WinDevice::SetClockSource);
}

// The reset request is the session's: told to, and taken back by, its owner (or any caller while
// there is no session) only. It is set at DISPATCH_LEVEL on another processor meanwhile, so it is
// read and cleared in one exchange.
int32_t QX531WinDevice::AsioGetClockState(PFILE_OBJECT caller, void* buffer, uint32_t outputLength,
                                          uint32_t* bytesReturned) {
  PAGED_CODE();
  if (outputLength < sizeof(AsioClockStateReply)) return kQX531Failure;
  KeWaitForSingleObject(mAsioMutex.Get(), Executive, KernelMode, FALSE, nullptr);
  const bool owner = !AsioOwnedByOther(caller);
  const LONG reset = owner ? InterlockedExchange(&mAsio.mResetRequest, 0) : 0;
  KeReleaseMutex(mAsioMutex.Get(), FALSE);
  const AsioClockStateReply reply = {mClockSource, mSampleRate, static_cast<uint32_t>(reset)};
  std::memcpy(buffer, &reply, sizeof reply);
  *bytesReturned = sizeof reply;
  return kQX531Success;
}

int32_t QX531WinDevice::AsioSetSampleRate(PFILE_OBJECT caller, const void* buffer, uint32_t inputLength) {
  PAGED_CODE();
  return SetSessionWord(caller, buffer, inputLength, IsSampleRate, &QX531WinDevice::StoreSampleRate);
}

// The rate is kept for the next start of the driver as well.
void QX531WinDevice::StoreSampleRate(uint32_t rate) {
  PAGED_CODE();
  SetSampleRate(rate);
  PCWSTR service = DriverInstance != nullptr ? DriverInstance->mRegistryPath.Buffer : nullptr;
  RegistryKey key(service, kParametersKey, KEY_READ | KEY_SET_VALUE, OBJ_CASE_INSENSITIVE, TRUE, 0);
  if (NT_SUCCESS(key.mStatus)) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, kSampleRateValue);
    ULONG value = rate;
    ZwSetValueKey(key.mHandle, &name, 0, REG_DWORD, &value, sizeof value);
  }
}

int32_t QX531WinDevice::AsioOutputReady(PFILE_OBJECT caller) {
  PAGED_CODE();
  KeWaitForSingleObject(mAsioMutex.Get(), Executive, KernelMode, FALSE, nullptr);
  const bool refused = AsioOwnedByOther(caller);
  if (!refused) {
    if (mAsio.mFirstBuffer)
      mAsio.mFirstBuffer = 0;
    else if (mAsio.mActive)
      RunDeferredOutput();
  }
  KeReleaseMutex(mAsioMutex.Get(), FALSE);
  return refused ? kQX531Failure : kQX531Success;
}

int32_t QX531WinDevice::AsioGetInfo(PFILE_OBJECT caller, void* buffer, uint32_t outputLength,
                                    uint32_t* bytesReturned) {
  PAGED_CODE();
  if (outputLength < sizeof(AsioInfoReply)) return kQX531Failure;
  std::memcpy(buffer, &kAsioInfo, sizeof kAsioInfo);
  KeWaitForSingleObject(mAsioMutex.Get(), Executive, KernelMode, FALSE, nullptr);
  if (!AsioOwnedByOther(caller)) InterlockedExchange(&mAsio.mResetRequest, 0);
  KeReleaseMutex(mAsioMutex.Get(), FALSE);
  *bytesReturned = sizeof kAsioInfo;
  return kQX531Success;
}
