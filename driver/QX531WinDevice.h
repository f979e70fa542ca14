// The unit engine on Windows: every bus- and system-facing operation of QX531Device carried out
// through the IEEE 1394 bus driver below the unit's function device, the registry and the device
// interfaces of the unit's child.
#pragma once

#include <wdm.h>
// after <wdm.h>, whose types it uses, as on Windows
#include <1394.h>

#include "driver/AsioClientState.h"
#include "driver/ClientPort.h"
#include "kframework/KernelUtil.h"
#include "unit/QX531Device.h"

struct AsioCreateBuffersRequest64;

class IsochStream;
class WdmClientState;
class LowerDeviceLink;
class PnpDeviceBase;
class ReceiveWindow;

class QX531WinDevice : public QX531Device, public ClientPort {
 public:
  // `lowerDevice` is the unit's device object on the bus; `pnpDevice` the function device whose
  // outstanding-request count the unit's asynchronous bus work holds.
  QX531WinDevice(PDEVICE_OBJECT lowerDevice, PnpDeviceBase* pnpDevice);
  ~QX531WinDevice() override;

  // Settings and port names (PASSIVE_LEVEL). The engine's attach, query, start and stop hooks keep
  // their empty defaults here.
  int32_t ReadPreferences(PreferencesBlock* block, uint32_t size) override;
  int32_t WritePreferences(const PreferencesBlock* block, uint32_t size) override;
  int32_t SetMidiPortName(const UnitNameRecord& record) override;

  // Node and generation ids (PASSIVE_LEVEL) and register access. Plain reads and writes wait
  // (PASSIVE_LEVEL); queued writes with a completion may be sent at DISPATCH_LEVEL.
  int32_t ExtractNodeAndGenerationIDs() override;
  int32_t GetRegisterBase() override;
  int32_t OpenAddressHandle(PlatformHandle* handle, uint32_t block, uint32_t queued, uint32_t size) override;
  int32_t CloseAddressHandle(PlatformHandle handle) override;
  uint32_t ReadQuadlet(PlatformHandle handle, uint32_t offset) override;
  int32_t WriteQuadlet(PlatformHandle handle, uint32_t offset, uint32_t value) override;
  int32_t WriteBlock(PlatformHandle handle, uint32_t offset, const void* data, uint32_t length) override;
  int32_t WriteQuadletAsync(PlatformHandle handle, uint32_t offset, const uint32_t* value,
                            WriteCompletion completion, void* context) override;
  int32_t WriteBlockAsync(PlatformHandle handle, uint32_t offset, const void* data, uint32_t length,
                          WriteCompletion completion, void* context) override;

  // Stream objects, stream buffers and host address windows (PASSIVE_LEVEL).
  int32_t AllocateIsochStreamObject(PlatformHandle* stream, uint32_t direction) override;
  int32_t FreeIsochStreamObject(PlatformHandle stream) override;
  int32_t AllocateFWMemorySpace(PlatformHandle* window, uint32_t flags, void* buffer, uint32_t size,
                                uint32_t* offsetHigh, uint32_t* offsetLow) override;
  int32_t FreeFWMemorySpace(PlatformHandle window) override;
  int32_t AllocateBuffer(StreamBuffer* buffer, uint32_t size, uint32_t kind) override;
  int32_t FreeBuffer(StreamBuffer* buffer) override;

  // Isochronous streams. Allocation, start, stop, the idle wait and freeing run at PASSIVE_LEVEL;
  // RequeueBuffers runs in the lists' completions at DISPATCH_LEVEL.
  int32_t AllocateIsochStream(PlatformHandle stream, uint32_t direction) override;
  int32_t StartIsochStreams() override;
  int32_t StopIsochStreams() override;
  int32_t FreeIsochStream(PlatformHandle stream, uint32_t direction) override;
  int32_t WaitIsochIdle() override;
  int32_t RequeueBuffers(uint32_t half, uint32_t recordPackets, uint32_t playbackPackets,
                         const uint32_t* lengths) override;

  // The engine's locks are spin locks: its writers and surface run at DISPATCH_LEVEL too.
  void AcquireEngineLock(EngineLock lock) override;
  void ReleaseEngineLock(EngineLock lock) override;

  // Operations this layer adds, in this order. The write notifications run at DISPATCH_LEVEL.
  virtual LowerDeviceLink* GetLowerDeviceLink() = 0;
  virtual void TraceLabelHex(const char* label, uint32_t value);
  virtual void TraceLabelDecimal(const char* label, int32_t value);
  virtual void OnMIDIReceiveWrite(PMDL mdl, ULONG offset, ULONG length, PADDRESS_FIFO fifo);
  virtual void OnAsyncReceiveWrite(PMDL mdl, ULONG offset, ULONG length, PADDRESS_FIFO fifo);
  // Up to DISPATCH_LEVEL: has RestartClients run at PASSIVE_LEVEL. Without a work queue of its
  // own the unit restarts at once when it is called at PASSIVE_LEVEL.
  virtual void QueueRestartClients();

  // The client face. QueueMidiOut and DeliverMidiWord are the function device's.
  void ApplyClientMode() override;
  void RestartClient() override;
  ULONG GetBufferFrames() override;
  ULONG GetInputChannelCount() override;
  ULONG GetOutputChannelCount() override;
  void ClientSetSampleRate(ULONG rate) override;
  void AttachClientPlaybackChannel(ULONG channel, BOOLEAN attach) override;
  void AttachClientRecordChannel(ULONG channel, BOOLEAN attach) override;
  ULONG ExchangeClientBuffers(ULONG half, ULONG64 copySet, ULONG64 mixSet) override;

  // Client channel buffers. Allocation and freeing run at PASSIVE_LEVEL; attaching up to
  // DISPATCH_LEVEL. A second allocation keeps the buffers, counts and session it finds.
  NTSTATUS AllocateChannelBuffers();
  void FreeChannelBuffers();
  void AttachRecordChannel(ULONG channel, BOOLEAN attach);
  void AttachPlaybackChannel(ULONG channel, BOOLEAN attach);

  // Client streaming. The per-buffer calls run at DISPATCH_LEVEL in the isochronous completion;
  // the mode and restart operations wait on the client mutex at PASSIVE_LEVEL; the settings
  // writer's hooks run at any IRQL up to DISPATCH_LEVEL and never wait.
  void ProcessIsocBuffer(uint32_t list, uint32_t recordStamp, uint32_t playbackStamp) override;
  void ConvertBufferPair(uint32_t list, BufferDescriptor* record, BufferDescriptor* playback) override;
  void StopClientStreams() override;
  void RefreshClientStreams() override;
  void SetClientMode();
  void RestartClients();
  void NotifyWdmClient(ULONG half);
  void NotifyAsioClient(BufferDescriptor* playback, ULONG half, ULONG firstWord);
  // Output ready from the ASIO host (PASSIVE_LEVEL): the held-back playback half is converted.
  void RunDeferredOutput();
  // Ends the host's session for the stream (up to DISPATCH_LEVEL): once it returns no completion
  // writes the index cell or sets the event, so both may be released.
  void EndAsioSignalling();
  // From the function device's start on, streams and MIDI run with or without a client.
  void SetDriverWantsStreaming();

  bool AsioActive() const { return mAsio.mActive != 0; }
  // The ASIO session, for the requests that run it.
  AsioClientState& AsioState() { return mAsio; }

  // The result of an ASIO request that only the session's owner may make while the session lasts,
  // made through another file object: the request fails with STATUS_DEVICE_BUSY.
  static constexpr int32_t kAsioSessionBusy = 100;
  // The ASIO host's requests 256-266 (PASSIVE_LEVEL, in the caller's thread); `caller` is the file
  // object the request came through.
  int32_t HandleAsioRequest(PFILE_OBJECT caller, uint32_t request, void* buffer, uint32_t inputLength,
                            uint32_t outputLength, uint32_t* bytesReturned);
  // CLEANUP of a file object: the session it owns ends as stop and dispose would end it
  // (PASSIVE_LEVEL, in the owner's process).
  void CloseAsioSession(PFILE_OBJECT file);
  // After each record half: the buffer-index cell, then the host's event (DISPATCH_LEVEL or below).
  void SignalAsioClient(ULONG half);

  bool IsReachable() const { return mReachable != 0; }
  // A unit that left the bus: register access stops until the ids are read again.
  void ClearReachable() { mReachable = 0; }

 protected:
  PDEVICE_OBJECT mLowerDevice;
  PnpDeviceBase* mPnpDevice;
  // Set by a successful reading of the ids, cleared by an access the bus driver refused because
  // the unit left the bus or the generation moved on.
  volatile UCHAR mReachable = 0;
  // Whether finished isochronous lists go back to the bus driver and on to the engine.
  volatile UCHAR mIsochRunning = 0;
  // The lists record A, record B, playback A, playback B: 1 from their attach until their
  // completion has run. Each attached list also holds a request of the function device.
  volatile UCHAR mListBusy[4] = {};
  // Cycle-time word at which the next playback list is to start.
  ULONG mSchedule = 0;
  // When each list last came back, in microseconds of the performance counter.
  LONGLONG mListDoneTime[4] = {};
  // Set when the streams were started after the cycle they were scheduled for.
  UCHAR mLateStart = 0;
  // The record and playback streams, once allocated.
  IsochStream* mIsochStreams[2] = {};
  // The host address windows the unit writes MIDI input and its status into.
  ReceiveWindow* mMidiWindow = nullptr;
  ReceiveWindow* mAsyncWindow = nullptr;
  // The unit's own engine locks (the unit table's is the driver's), and the IRQL each was taken at.
  static constexpr size_t kEngineLocks = 4;
  KSPIN_LOCK mEngineLocks[kEngineLocks] = {};
  KIRQL mEngineLockIrql[kEngineLocks] = {};

  // Each client channel holds two halves of this many bytes, 32-bit samples.
  static constexpr ULONG kChannelHalfBytes = 8192;
  // All 72 halves in one block of whole pages, so a mapping of a half shows only channel buffers.
  PUCHAR mChannelBlock = nullptr;
  PLONG mRecordChannelHalves[kClientChannels][2] = {};
  PLONG mPlaybackChannelHalves[kClientChannels][2] = {};
  LONG mRecordAttachCount[kClientChannels] = {};
  LONG mPlaybackAttachCount[kClientChannels] = {};
  // A channel's halves while some client has it attached, else null.
  PLONG mActiveRecordHalves[kClientChannels][2] = {};
  PLONG mActivePlaybackHalves[kClientChannels][2] = {};
  AsioClientState mAsio = {};
  // Orders the ASIO requests and CLEANUP among themselves.
  MutexHolder mAsioMutex{1};

  // The audio adapter's side, kept by the function device; null for a unit without one.
  WdmClientState* mWdm = nullptr;
  // Orders stream start and stop with plug-in and unplug, when the platform has such a mutex;
  // always taken inside the client mutex.
  PKMUTEX mStreamsMutex = nullptr;
  // Serialises the client mode, restarts and the buffer-size change.
  MutexHolder mClientMutex{1};
  // 1 while a restart is on its way; a second one meanwhile is dropped.
  volatile LONG mRestartBusy = 0;
  // Held while a completion signals the host, and by EndAsioSignalling.
  KSPIN_LOCK mAsioSignalLock = 0;
  // Held while a completion works on the buffer descriptors, and while the host's output-ready
  // request converts its deferred half into one, so the descriptor cannot be rebuilt under it.
  KSPIN_LOCK mDescriptorLock = 0;
  UCHAR mDriverWantsStreaming = 0;
  // Set by a change of the client mode; with the other changed flags it makes the next buffer
  // rebuild the channel tables.
  volatile UCHAR mClientChanged = 0;
  volatile UCHAR mChannelMapsDirty = 0;
  // The continuous record and playback channels last attached for the settings.
  ULONG mAppliedContinuousInputs = 0;
  ULONG mAppliedContinuousOutputs = 0;
  // What the converters read and write for each buffer half: the record table holds the status
  // index, the record channels and the status value; the playback table the playback channels.
  uint32_t* mRecordTable[2][kInputArrays] = {};
  const uint32_t* mPlaybackTable[2][kOutputArrays] = {};

  // DISPATCH_LEVEL, before each buffer: the tables follow the clients when any of them changed.
  void UpdateChannelMaps();

 private:
  struct QueuedWrite;
  // Queued writes that can be on the bus at once: each of the engine's five writers holds its next
  // write until the last one has completed, the stream restart likewise, and a start and a stop
  // switch the two streams with a write each.
  static constexpr ULONG kQueuedWrites = 10;
  // The records the queued writes travel in, each with its IRP and MDL: made at PASSIVE_LEVEL when
  // the unit's ids are read, released when the unit's last address handle closes at unplug, and
  // with the unit object. A record still on the bus then is freed by its completion.
  struct QueuedWrites {
    QueuedWrites() = default;
    QueuedWrites(const QueuedWrites&) = delete;
    QueuedWrites& operator=(const QueuedWrites&) = delete;
    ~QueuedWrites();
    void Release();
    static void FreeRecord(QueuedWrite* write);
    QueuedWrite* mRecords[kQueuedWrites] = {};
    // Address handles the engine holds open; each stands for the records.
    ULONG mOpenHandles = 0;
  };
  QueuedWrites mQueuedWrites;

  bool MakeQueuedWrites();
  QueuedWrite* TakeQueuedWrite();
  void BuildRegisterIrb(IRB* irb, ULONG function, uint32_t offset, ULONG length, PMDL mdl) const;
  NTSTATUS SendRegisterWrite(uint32_t offset, const void* data, ULONG length);
  int32_t QueueRegisterWrite(uint32_t offset, const void* data, ULONG length, const uint32_t* quadlet,
                             WriteCompletion completion, void* context);
  void NoteAccessStatus(NTSTATUS status);
  PKSPIN_LOCK SpinLockOf(EngineLock lock);
  static NTSTATUS QueuedWriteDone(PDEVICE_OBJECT device, PIRP irp, PVOID context);
  bool ReattachList(uint32_t which, uint32_t count, const uint32_t* lengths);
  void ListDone(uint32_t which, NTSTATUS status);
  ULONG QueryCycleTime();
  static void OnInputBufferADone(PVOID unit, NTSTATUS status, PISOCH_DESCRIPTOR list);
  static void OnInputBufferBDone(PVOID unit, NTSTATUS status, PISOCH_DESCRIPTOR list);
  static void OnOutputBufferADone(PVOID unit, NTSTATUS status, PISOCH_DESCRIPTOR list);
  static void OnOutputBufferBDone(PVOID unit, NTSTATUS status, PISOCH_DESCRIPTOR list);
  static bool WriteFits(PMDL mdl, ULONG offset, ULONG length, ULONG room);
  bool WdmActive() const;
  bool KernelClientActive() const { return mAudioRunning != 0; }
  ULONG64 WdmOutputSet() const;
  void ConvertPlayback(BufferDescriptor* playback, ULONG half);
  bool AsioOwnedByOther(PFILE_OBJECT caller) const;
  int32_t AsioGetCaps(PFILE_OBJECT caller, void* buffer, uint32_t outputLength, uint32_t* bytesReturned);
  int32_t AsioStart(PFILE_OBJECT caller, bool caller32, void* buffer, uint32_t inputLength, uint32_t outputLength,
                    uint32_t* bytesReturned);
  int32_t AsioStop(PFILE_OBJECT caller);
  void EndAsioStream();
  int32_t AsioCreateBuffers(PFILE_OBJECT caller, bool caller32, void* buffer, uint32_t inputLength,
                            uint32_t outputLength, uint32_t* bytesReturned);
  bool MapIntoCaller(PVOID address, ULONG bytes, AsioChannelMapping* mapping);
  void UnmapFromOwner(AsioChannelMapping* mapping);
  bool MapAsioBuffers(const AsioCreateBuffersRequest64& in, ULONG bytesPerSample);
  void WriteAsioAddresses(const AsioCreateBuffersRequest64& in, bool caller32, void* buffer) const;
  int32_t AsioDisposeBuffers(PFILE_OBJECT caller);
  void UnmapAsioBuffers();
  int32_t SetSessionWord(PFILE_OBJECT caller, const void* buffer, uint32_t inputLength, bool (*accepted)(uint32_t),
                         void (QX531WinDevice::*apply)(uint32_t));
  int32_t AsioSetClockSource(PFILE_OBJECT caller, const void* buffer, uint32_t inputLength);
  int32_t AsioGetClockState(PFILE_OBJECT caller, void* buffer, uint32_t outputLength, uint32_t* bytesReturned);
  int32_t AsioSetSampleRate(PFILE_OBJECT caller, const void* buffer, uint32_t inputLength);
  void StoreSampleRate(uint32_t rate);
  int32_t AsioOutputReady(PFILE_OBJECT caller);
  int32_t AsioGetInfo(PFILE_OBJECT caller, void* buffer, uint32_t outputLength, uint32_t* bytesReturned);
  static void TakeReceivedWrite(ReceiveWindow* window, PMDL mdl, ULONG offset, ULONG length, PADDRESS_FIFO fifo,
                                uint8_t* destination);
};
