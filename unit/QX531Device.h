#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "unit/BufferDescriptor.h"
#include "unit/ChannelRows.h"
#include "unit/DebugLog.h"
#include "unit/EngineSpinLock.h"
#include "unit/LcdTextBlock.h"
#include "unit/PreferencesBlock.h"
#include "unit/QueuedWriter.h"
#include "unit/SampleConverters.h"
#include "unit/SharedStateBlock.h"
#include "unit/StatusWords.h"
#include "unit/SurfaceEmulator.h"
#include "unit/UnitNameRecord.h"
#include "unit/WriteStatus.h"

// Runs when a queued write has been carried out or has failed; status is the bus status
// (unit/WriteStatus.h).
using WriteCompletion = int32_t (*)(void* context, uint32_t status);

// What the queued writers carry, for the counts of what they dropped.
enum class WriterItems : uint32_t { Lamps, FaderTargets, MidiOutEvents, Settings, NotifyAddresses, StreamWrites };
inline constexpr uint32_t kWriterItemKinds = 6;
// Logged with the status when the unit answers a queued write with an error.
inline constexpr const char* kErrorResponseLabel = "QX5310DeviceWriteDone error response            ";

// One stream buffer and the platform's mapping of it.
struct StreamBuffer {
  uint8_t* mBuffer;
  void* mMapping;
};

// Locks that the platform provides to the engine.
enum class EngineLock : uint32_t {
  UnitTable,    // the unit table, the LCD stamp and the operations that walk the table; process-wide
  MidiOutRing,  // producers of one unit's MIDI-out ring
  DebugLog,     // one unit's debug log
  Surface,      // one unit's surface emulator: cable-4 MIDI, surface dispatch and re-initialisation
};

// One unit on the bus, main unit or expansion unit. The engine never touches the bus or the system
// itself: every bus- or system-facing step is a platform operation that the platform overrides;
// here they do nothing and return 0.
class QX531Device {
 public:
  static constexpr uint32_t kKindMain = 1;
  static constexpr uint32_t kKindExpansion = 2;
  static constexpr uint32_t kNoUnitNumber = 32;
  static constexpr uint32_t kStreamBuffers = 70;
  static constexpr uint32_t kStreamBufferBytes = 16384;
  static constexpr uint32_t kPacketsPerList = 412;
  static constexpr uint32_t kRecordSlotPitch = 1220;
  static constexpr uint32_t kPlaybackSlotPitch = 1088;
  static constexpr uint32_t kMidiReceiveBytes = 4096;
  static constexpr uint32_t kAsyncReceiveBytes = 256;
  static constexpr uint32_t kMidiOutRingBytes = 4096;
  static constexpr uint32_t kMidiOutBlockBytes = 64;
  static constexpr uint32_t kLampGroups = 8;
  static constexpr uint32_t kLastLampId = 114;
  static constexpr uint32_t kLastFader = 8;
  static constexpr uint32_t kDriverRegisterVersion = 0x14;
  static constexpr uint32_t kStreamMaskAudio = 0x1D;
  static constexpr uint32_t kStreamMaskMidi = 0x02;

  QX531Device();
  QX531Device(const QX531Device&) = delete;
  QX531Device& operator=(const QX531Device&) = delete;

  // Unit object, plug-in, start and stop.
  virtual ~QX531Device();
  virtual int32_t HandlePlugIn();
  virtual int32_t HandleUnPlug();
  virtual int32_t StartAudioStreams();
  virtual int32_t StopAudioStreams();
  virtual int32_t StartMidi();
  virtual int32_t StopMidi();
  virtual int32_t HandleBusReset();
  virtual void ProgramNotifyAddresses();
  virtual void WriteNotifyAddresses();
  virtual int32_t HandleControlRequest(uint32_t request, void* buffer, uint32_t inputLength,
                                       uint32_t outputLength, uint32_t* bytesReturned);

  // Stream engine.
  virtual void HandleInputBufferACallback();
  virtual void HandleInputBufferBCallback();
  virtual void HandleOutputBufferACallback();
  virtual void HandleOutputBufferBCallback();
  virtual void SignalForIsocReinitialize();
  virtual void OnBufferSequenceError() {}
  virtual void BumpChangeCount();
  virtual void InitEmptyOutputPackets(uint8_t* const* slots, uint32_t count, uint32_t* lengths);
  virtual void ConvertBufferPair(uint32_t list, BufferDescriptor* record, BufferDescriptor* playback);
  virtual void HandleStatusWords(uint32_t blocks);
  virtual void DispatchSurfaceState();
  virtual void ProcessIsocBuffer(uint32_t list, uint32_t recordStamp, uint32_t playbackStamp);
  // Hands both lists of that letter (0 A, 1 B) back to the bus with these packet counts.
  virtual int32_t RequeueBuffers(uint32_t, uint32_t, uint32_t, const uint32_t*) { return 0; }
  virtual void ComputeBufferGeometry();
  virtual void ResetStreamState();
  virtual void InitBufferDescriptor(BufferDescriptor* descriptor, uint32_t mask, uint32_t count);
  virtual void SetBufferFrames(uint32_t frames);
  virtual void SetSampleRate(uint32_t sampleRate);
  virtual void SetClockSource(uint32_t clockSource);
  virtual void SetInputChannelMask(uint32_t mask);
  virtual void SetOutputChannelMask(uint32_t mask);
  // A write of that many bytes into the MIDI receive window or the async status window.
  virtual void HandleMIDIReceive(uint32_t count);
  virtual void HandleAsyncReceive(uint32_t length);
  virtual void SetRecordIsochChannel(uint32_t channel, uint32_t speed);
  virtual void SetPlaybackIsochChannel(uint32_t channel, uint32_t speed);
  virtual int32_t EnableRecordStream(WriteCompletion completion, void* context);
  virtual int32_t DisableRecordStream(WriteCompletion completion, void* context);
  virtual int32_t EnablePlaybackStream(WriteCompletion completion, void* context);
  virtual int32_t DisablePlaybackStream(WriteCompletion completion, void* context);

  // Queued register writers.
  virtual void SetLamp(uint32_t lampId, uint32_t state);
  virtual void ForceLamp(uint32_t lampId, uint32_t state);
  virtual void KickLampWriter();
  virtual void WriteNextLamp();
  virtual void SetFaderMotor(uint32_t fader, uint32_t position);
  virtual void KickFaderWriter();
  virtual void WriteNextFader();
  virtual void SendMIDIOut(uint32_t event);
  virtual void KickMIDIOutWriter();
  virtual void WriteNextMIDIOut();
  virtual void SetPreference(uint32_t parameterId, uint32_t value);
  virtual void KickSettingsWriter();
  virtual void WriteSettingsToUnit();
  virtual void StopClientStreams() {}
  virtual void RefreshClientStreams() {}

  // Debug log.
  virtual void LogString(const char* text);
  virtual void LogHex(uint32_t value);
  virtual void LogLabelHex(const char* label, uint32_t value);
  virtual void LogDecimal(int32_t value);
  virtual void LogLabelDecimal(const char* label, int32_t value);

  // Platform operations.
  virtual int32_t ReadPreferences(PreferencesBlock*, uint32_t) { return 0; }
  virtual int32_t WritePreferences(const PreferencesBlock*, uint32_t) { return 0; }
  virtual int32_t PlatformAttach() { return 0; }
  virtual int32_t PlatformDetach() { return 0; }
  virtual int32_t PlatformQueryBus() { return 0; }
  virtual int32_t ExtractNodeAndGenerationIDs() { return 0; }
  virtual int32_t GetRegisterBase() { return 0; }
  virtual int32_t PlatformStartAudio() { return 0; }
  virtual int32_t PlatformStopAudio() { return 0; }
  virtual int32_t OpenAddressHandle(PlatformHandle*, uint32_t, uint32_t, uint32_t) { return 0; }
  virtual int32_t CloseAddressHandle(PlatformHandle) { return 0; }
  virtual int32_t AllocateIsochStreamObject(PlatformHandle*, uint32_t) { return 0; }
  virtual int32_t FreeIsochStreamObject(PlatformHandle) { return 0; }
  virtual int32_t AllocateFWMemorySpace(PlatformHandle*, uint32_t, void*, uint32_t, uint32_t*, uint32_t*) {
    return 0;
  }
  virtual int32_t FreeFWMemorySpace(PlatformHandle) { return 0; }
  virtual int32_t AllocateBuffer(StreamBuffer*, uint32_t, uint32_t) { return 0; }
  virtual int32_t FreeBuffer(StreamBuffer*) { return 0; }
  virtual int32_t AllocateIsochStream(PlatformHandle, uint32_t) { return 0; }
  virtual int32_t StartIsochStreams() { return 0; }
  virtual int32_t StopIsochStreams() { return 0; }
  virtual int32_t FreeIsochStream(PlatformHandle, uint32_t) { return 0; }
  virtual int32_t WaitIsochIdle() { return 0; }
  virtual int32_t DeliverMIDIInEvent(uint32_t) { return 0; }
  virtual int32_t OnPanelRequest() { return 0; }
  virtual uint32_t ReadQuadlet(PlatformHandle, uint32_t) { return 0; }
  virtual int32_t WriteQuadlet(PlatformHandle, uint32_t, uint32_t) { return 0; }
  // A block longer than one bus write goes in pieces of the largest payload of the speed; nonzero
  // when such a block could not be carried whole. A failed block that fits one write is not
  // reported, as the quadlet writes report none.
  virtual int32_t WriteBlock(PlatformHandle, uint32_t, const void*, uint32_t) { return 0; }
  virtual int32_t WriteQuadletAsync(PlatformHandle, uint32_t, const uint32_t*, WriteCompletion, void*) {
    return 0;
  }
  virtual int32_t WriteBlockAsync(PlatformHandle, uint32_t, const void*, uint32_t, WriteCompletion, void*) {
    return 0;
  }

  // Unit table, active unit and display publication.
  virtual void PublishLcdBlock(const LcdTextBlock* block);
  virtual void SendSurfaceMIDIEvent(uint8_t status, uint8_t data1, uint8_t data2);
  virtual void HandleModeCommand(uint32_t command, uint32_t value);
  virtual void MakeActiveUnit();
  virtual QX531Device* GetActiveUnit();
  virtual int32_t SetMidiPortName(const UnitNameRecord&) { return 0; }

  // The platform's locks; these defaults serve a process without one.
  virtual void AcquireEngineLock(EngineLock lock);
  virtual void ReleaseEngineLock(EngineLock lock);

  uint32_t UnitKind() const { return mUnitKind; }
  uint32_t SampleRate() const { return mSampleRate; }
  uint32_t UnitNumber() const { return mUnitNumber; }
  uint32_t Serial() const { return mSerial; }
  bool IsPluggedIn() const { return mPluggedIn != 0; }
  bool IsStreaming() const { return mStreaming != 0; }
  bool IsMidiRunning() const { return mMidiRunning != 0; }
  bool HasAudio() const { return mHasAudio != 0; }
  uint32_t ChangeCount() const { return mChangeCount.load(); }
  uint32_t UnitListCount() const { return mUnitListCount.load(); }
  uint32_t MidiOutDropped() const { return mMidiOutDropped.load(); }
  // True when the MIDI-out ring has no room for one more event.
  bool MidiOutRingFull();
  // Items a writer gave up: answered with an error by the unit, or still queued when it left.
  uint32_t DroppedItems(WriterItems items) const { return mDroppedItems[static_cast<uint32_t>(items)].load(); }
  const PreferencesBlock& CurrentPreferences() const { return mPreferences; }
  const PreferencesBlock& RequestedPreferences() const { return mRequested; }
  const PreferencesBlock& LastWrittenPreferences() const { return mLastWritten; }
  const SharedStateBlock& SharedState() const { return mSharedState; }
  const SurfaceEmulator& Surface() const { return mSurface; }
  SurfaceEmulator& Surface() { return mSurface; }

  // The Windows layer's notice that a MIDI-out block is about to be sent.
  void ArmMIDIOutDoneNotice(void (*routine)(void*), void* context);

  // Builds one MIDIEventPacket into result (0 for no event).
  void ConstructMIDIEvent(uint32_t cable, uint8_t byte1, uint8_t byte2, uint8_t byte3, uint32_t* result);

  // The converters installed for the current channel masks.
  void UnpackInputChannels(const BufferDescriptor& buffer, uint32_t* const* arrays) const {
    mUnpackInput(buffer, arrays);
  }
  void PackOutputChannels(const BufferDescriptor& buffer, const uint32_t* const* arrays) const {
    mPackOutput(buffer, arrays);
  }
  // Whether a descriptor holds exactly one buffer for the current frames, mask and channel count.
  bool RecordBufferMatches(const BufferDescriptor& buffer) const;
  bool PlaybackBufferMatches(const BufferDescriptor& buffer) const;
  // Frames per buffer half as clients see them: what the stream runs at the current rate.
  uint32_t BufferFrames() const;
  uint32_t MeasuredRate() const { return mMeasuredRate; }
  uint32_t LockState() const { return mLockState; }
  bool IsStreamValid() const { return mStreamInvalid == 0; }
  uint32_t PacketsPerBuffer() const { return mPacketsPerBuffer; }
  uint32_t DbcErrors() const { return mDbcErrors; }
  uint32_t DbsErrors() const { return mDbsErrors; }
  const StatusWords& Status() const { return mStatusWords; }

 protected:
  // Platform state the platform's operations fill in.
  uint32_t mGenerationNumber = 0;
  uint32_t mlocalNodeNum = 0;
  uint32_t mNodeNum = 0;
  uint32_t mRegBaseAddress = 0;
  uint32_t mMIDIReceiveHi = 0;
  uint32_t mMIDIReceiveLo = 0;
  uint32_t mAsyncReceiveHi = 0;
  uint32_t mAsyncReceiveLo = 0;

  // Stream parameters and the stream state the stream engine works on.
  uint32_t mBufferFrames = 0;
  uint32_t mSampleRate = 0;
  uint32_t mClockSource = 0;
  uint32_t mInputMask = 0;
  uint32_t mOutputMask = 0;
  uint32_t mInputChannels = 0;
  uint32_t mOutputChannels = 0;
  uint32_t mRateWord = 0;
  uint32_t mPacketParam = 0;
  uint32_t mMeasuredRate = 0;
  uint32_t mPacketsPerBuffer = 0;
  uint32_t mRecordPacketsA = 0;
  uint32_t mRecordPacketsB = 0;
  uint32_t mPlaybackPacketsA = 0;
  uint32_t mPlaybackPacketsB = 0;
  uint32_t mAccumulatedFrames = 0;
  uint32_t mExpectedDbc = 0;
  uint32_t mPlaybackDbc = 0;
  uint32_t mStreamInvalid = 0;
  uint32_t mLockState = 0;
  uint32_t mDbcErrors = 0;
  uint32_t mDbsErrors = 0;
  uint32_t mRateMeasurePackets = 0;
  uint32_t mRateMeasureFrames = 0;
  uint32_t mRateMeasureDone = 0;
  uint32_t mRunState = 0;
  uint32_t mRestartState = 0;
  uint32_t mProgrammedInputMask = 0;
  uint32_t mProgrammedOutputMask = 0;
  uint32_t mProgrammedRateWord = 0;
  uint32_t mProgrammedPacketParam = 0;
  uint32_t mRecordChannel = 0;
  uint32_t mRecordSpeed = 0;
  uint32_t mPlaybackChannel = 0;
  uint32_t mPlaybackSpeed = 0;
  uint32_t mCompletionCounts[4] = {};
  uint32_t mConverterDelay = 0;
  uint32_t mRequestedFrames = 0;
  uint32_t mReprogramAsked = 0;
  uint32_t mRestartPasses = 0;
  uint32_t mSequenceLogged = 0;
  uint32_t mCompletionStamps[4] = {};
  // Cycle-time word at which the platform scheduled playback list A and B; it sets them whenever
  // it attaches a playback list.
  uint32_t mPlaybackSchedule[2] = {};

  // Buffer descriptors (record A, record B, playback A, playback B) and the ones being filled.
  BufferDescriptor mDescriptors[4] = {};
  BufferDescriptor* mCurrentRecord = &mDescriptors[0];
  BufferDescriptor* mCurrentPlayback = &mDescriptors[2];
  // Block counts of the record packets, which the playback packets replay.
  static constexpr uint32_t kBlockRingEntries = 1000;
  uint32_t mBlockRing[kBlockRingEntries] = {};
  uint32_t mRingWrite = 0;
  uint32_t mRingRead = 0;
  InputConverter mUnpackInput = SelectInputConverter(0);
  OutputConverter mPackOutput = SelectOutputConverter(0);
  // First and last quadlet of every record block of the buffer being converted. The record
  // converter writes both every frame, so they follow the layout rule of channel rows: a pitch of
  // an odd number of cache lines, not 8 KiB.
  uint32_t mStatusIndex[kChannelArrayEntries] = {};
  uint8_t mStatusStagger[ChannelRowPitch(sizeof mStatusIndex) - sizeof mStatusIndex] = {};
  uint32_t mStatusValue[kChannelArrayEntries] = {};

  StatusWords mStatusWords;
  uint32_t mLastRateClockWord = 0;
  uint32_t mLastSyncWord = 0;
  uint32_t mLastProgrammingWord = 0;
  uint32_t mLastRateClockCode = 0;
  uint32_t mFramesSinceDispatch = 0;
  uint32_t mTotalFrames = 0;

  // Packet slots inside the stream buffers, and the lengths of the playback packets.
  uint8_t* mRecordSlotsA[kPacketsPerList] = {};
  uint8_t* mRecordSlotsB[kPacketsPerList] = {};
  uint8_t* mPlaybackSlotsA[kPacketsPerList] = {};
  uint8_t* mPlaybackSlotsB[kPacketsPerList] = {};
  uint32_t mPlaybackLengthsA[kPacketsPerList] = {};
  uint32_t mPlaybackLengthsB[kPacketsPerList] = {};

  uint8_t mMIDIReceiveBuffer[kMidiReceiveBytes] = {};
  uint8_t mAsyncReceiveBuffer[kAsyncReceiveBytes] = {};

 private:
  enum class WriterStep { Issued, Refused, Idle };
  // How one writer sends, gives an item up and drops its queue.
  struct WriterOps {
    void (QX531Device::*run)();
    // Sends the next item; a refused write leaves its item due.
    WriterStep (QX531Device::*issue)();
    // The outstanding write failed: its item is due again (true) or dropped; gives the items it carried.
    uint32_t (QX531Device::*failed)(bool sendAgain);
    // The unit left: discards what is queued and gives how many items that was.
    uint32_t (QX531Device::*drop)();
    WriterItems items;
  };
  static const WriterOps kLampOps;
  static const WriterOps kFaderOps;
  static const WriterOps kMidiOutOps;
  static const WriterOps kSettingsOps;
  static const WriterOps kNotifyOps;

  void Kick(QueuedWriter& writer, void (QX531Device::*runWriter)());
  // A kick that counts as work, so that a writer going idle after a failed write looks again.
  void Nudge(QueuedWriter& writer, const WriterOps& ops);
  void RunWriter(QueuedWriter& writer, const WriterOps& ops);
  void CompleteWrite(QueuedWriter& writer, uint32_t status, const WriterOps& ops);
  void CountDropped(WriterItems items, uint32_t count);
  void LogLabelledLine(const char* label, const char* value);
  static int32_t WriteDoneLamp(void* context, uint32_t status);
  static int32_t WriteDoneFader(void* context, uint32_t status);
  static int32_t WriteDoneMIDIOut(void* context, uint32_t status);
  static int32_t WriteDoneSettings(void* context, uint32_t status);
  static int32_t WriteDoneNotify(void* context, uint32_t status);
  WriterStep IssueNextLamp();
  WriterStep IssueNextFader();
  WriterStep IssueNextMIDIOut();
  WriterStep IssueNextSetting();
  WriterStep IssueNextNotifyAddress();
  uint32_t LampWriteFailed(bool sendAgain);
  uint32_t FaderWriteFailed(bool sendAgain);
  uint32_t MIDIOutWriteFailed(bool sendAgain);
  uint32_t SettingsWriteFailed(bool sendAgain);
  uint32_t NotifyWriteFailed(bool sendAgain);
  uint32_t DropQueuedLamps();
  uint32_t DropQueuedFaders();
  uint32_t DropQueuedMIDIOut();
  uint32_t DropQueuedSettings();
  uint32_t DropQueuedNotifyAddresses();
  // One group of watched settings; true when it issued a write.
  bool IssueSettingStep(uint32_t step);
  bool IssueSettingsWrite(uint32_t step, uint32_t offset, uint32_t value);
  bool IssueWatchedWrite(uint32_t step, uint32_t id, uint32_t offset, uint32_t value);
  // Whether a settings step owes the unit its register write whatever the copies say.
  bool SettingOwed(uint32_t step) const { return (mSettingsOwed >> step & 1) != 0; }

  int32_t OpenPlugInHandles();
  int32_t AllocateStreamBuffers();
  void LayOutPacketSlots(StreamBuffer* buffers, uint32_t pitch, uint8_t** slotsA, uint8_t** slotsB);
  void TakeSettingsFromUnit();
  void ProgramStreamRegisters();
  void FillSharedStateAtPlugIn();
  void EnterUnitTable();
  void PublishUnitName();
  void FreePlugInResources();
  void BroadcastPreferencesLocked();
  void MakeActiveUnitLocked();
  QX531Device* GetActiveUnitLocked();
  // The stream switches: record on and off, playback on and off.
  enum StreamSwitchKind : uint32_t { kRecordOn, kRecordOff, kPlaybackOn, kPlaybackOff, kStreamSwitches };
  int32_t QueueStreamSwitch(uint32_t kind, WriteCompletion completion, void* context);
  static int32_t StreamSwitchDone(void* context, uint32_t status);
  void SendDueStreamSwitches();

  void CompleteList(uint32_t which);
  void TakeRecordList(uint32_t list);
  void CountStreamError(uint32_t& counter);
  void TakeRateMeasurement(uint32_t packets, uint32_t blocks);
  void RunListA(uint32_t recordStamp, uint32_t playbackStamp);
  void RunListB();
  void RestartListA();
  void RestartListB();
  void RequeueEmpty(uint32_t list, uint32_t recordPackets, uint32_t playbackPackets);
  void BuildPlaybackPackets(uint32_t list, uint32_t count);
  void PreloadPlaybackA(uint32_t listBPackets);
  void StepStreamProgramming();
  bool QueueStreamRestartWrite(uint32_t offset, uint32_t value, uint32_t previous = 0);
  static int32_t RestartWriteDone(void* context, uint32_t status);
  void UndoLostRestartWrite();
  uint32_t ExtraPackets() const;
  uint32_t PacketsForRate(uint32_t rate) const;
  uint32_t LockedPacketCount(uint32_t otherRecordPackets) const;
  uint32_t FrameLimit() const;
  void RestartDescriptors();
  void TakeRateAndClock(uint32_t word);
  void TakeSyncWord(uint32_t word);
  void RunSurfaceTests();

  int32_t RequestSetStreamMask(const void* buffer, uint32_t inputLength);
  int32_t RequestSetPreference(const void* buffer, uint32_t inputLength);
  int32_t RequestSetUnitRecord(const void* buffer, uint32_t inputLength);
  int32_t RequestSwapUnitRecords(const void* buffer, uint32_t inputLength);
  int32_t RequestSetUnitLamp(const void* buffer, uint32_t inputLength);
  void FinishUnitRecordChange();
  static uint32_t InputMonitorWord(uint32_t channel, uint32_t on, uint32_t gain, uint32_t pan);

  // Unit identity and state.
  uint32_t mUnitKind = 0;
  uint32_t mUnitNumber = kNoUnitNumber;
  std::atomic<uint32_t> mChangeCount{1};
  std::atomic<uint32_t> mUnitListCount{0};
  PreferencesBlock mPreferences;
  PreferencesBlock mRequested;
  PreferencesBlock mLastWritten;
  SharedStateBlock mSharedState{};
  uint32_t mRegisterVersion = 0;
  uint32_t mFpgaVersion = 0;
  uint32_t mArmVersion = 0;
  uint32_t mHardwareVersion = 0;
  uint32_t mSerial = 0;
  uint8_t mHasAudio = 0;
  uint8_t mHasMidi = 0;
  uint8_t mHasAsyncWindow = 0;
  uint32_t mPluggedIn = 0;
  uint32_t mIsochResourcesAllocated = 0;
  uint32_t mStreaming = 0;
  std::atomic<uint32_t> mMidiRunning{0};
  uint32_t mStreamMask = 0;
  uint32_t mPanelAttached = 0;
  uint32_t mPlatformAttached = 0;
  uint32_t mPlatformAudioStarted = 0;

  // Register-access handles, stream objects and host address ranges, opaque to the engine.
  PlatformHandle mSyncHandle = nullptr;
  PlatformHandle mRequestsHandle = nullptr;
  QueuedWriter mRecordEnable;
  QueuedWriter mRecordDisable;
  QueuedWriter mPlaybackEnable;
  QueuedWriter mPlaybackDisable;
  QueuedWriter mStreamRestart;
  // The last switch of each kind as issued: the write's own completion and context, and the
  // direction's switch count then. A switch that did not reach the unit is due again at the next
  // bus reset's handling unless a later switch of its direction was issued meanwhile.
  struct StreamSwitchIssue {
    QX531Device* mUnit;
    uint32_t mKind;
    uint32_t mSerial;
    WriteCompletion mCompletion;
    void* mContext;
  };
  StreamSwitchIssue mSwitchIssued[kStreamSwitches] = {};
  std::atomic<uint32_t> mSwitchSerial[2] = {};
  std::atomic<StreamSwitchIssue*> mSwitchDue[2] = {};
  // The stream-restart write in flight: register, value and the last-programmed copy it replaced,
  // and the count of stream programmings when it went out. One that did not reach the unit is
  // undone at the next pass, so that the pass sends it again, unless the streams were programmed
  // whole since.
  struct RestartWriteIssue {
    uint32_t mOffset;
    uint32_t mValue;
    uint32_t mPrevious;
    uint32_t mProgrammings;
  };
  RestartWriteIssue mRestartIssued = {};
  std::atomic<uint32_t> mRestartLost{0};
  std::atomic<uint32_t> mStreamProgrammings{0};
  QueuedWriter mLampWriter;
  QueuedWriter mFaderWriter;
  QueuedWriter mMidiOutWriter;
  QueuedWriter mSettingsWriter;
  QueuedWriter mNotifyWriter;
  PlatformHandle mRecordStream = nullptr;
  PlatformHandle mPlaybackStream = nullptr;
  PlatformHandle mMidiReceiveRange = nullptr;
  PlatformHandle mAsyncReceiveRange = nullptr;

  StreamBuffer mRecordBuffers[kStreamBuffers] = {};
  StreamBuffer mPlaybackBuffers[kStreamBuffers] = {};

  // Items given up by each writer.
  std::atomic<uint32_t> mDroppedItems[kWriterItemKinds] = {};

  // Lamp cache: desired and last-sent state per lamp id, a dirty flag per group of 16. A lamp
  // whose write failed is owed: it goes again whatever the last-sent state says. The owed flags
  // and the lamp in flight belong to whoever holds the writer's busy word.
  std::atomic<uint8_t> mLampDesired[SurfaceEmulator::kLampIds] = {};
  std::atomic<uint8_t> mLampSent[SurfaceEmulator::kLampIds] = {};
  std::atomic<uint8_t> mLampDirty[kLampGroups] = {};
  uint8_t mLampOwed[SurfaceEmulator::kLampIds] = {};
  uint32_t mLampInFlight = 0;

  // Fader cache.
  std::atomic<uint32_t> mFaderTarget[SurfaceEmulator::kFaders] = {};
  uint32_t mFaderSent[SurfaceEmulator::kFaders] = {};
  std::atomic<uint8_t> mFaderPending[SurfaceEmulator::kFaders] = {};
  uint32_t mFaderInFlight = 0;

  // Settings steps whose register write failed, one bit per step, and the step in flight.
  uint32_t mSettingsOwed = 0;
  uint32_t mSettingInFlight = 0;

  // MIDI-out ring. Producers own the write index under the ring lock and publish the end; the
  // writer owns the read index; the bytes from mMidiOutKept on are still needed by the bus: the
  // block in flight starts there, and goes again from there when its write fails.
  uint8_t mMidiOutRing[kMidiOutRingBytes] = {};
  uint32_t mMidiOutWrite = 0;
  std::atomic<uint32_t> mMidiOutEnd{0};
  uint32_t mMidiOutRead = 0;
  std::atomic<uint32_t> mMidiOutKept{0};
  std::atomic<uint32_t> mMidiOutDropped{0};
  uint32_t mMidiOutInFlight = 0;  // bytes of the block in flight
  std::atomic<uint32_t> mMidiOutNoticeArmed{0};
  void (*mMidiOutNoticeRoutine)(void*) = nullptr;
  void* mMidiOutNoticeContext = nullptr;

  // Pending notification-address registers, in the order the writer sends them.
  static constexpr uint32_t kNotifyRegisters = 6;
  std::atomic<uint8_t> mNotifyPending[kNotifyRegisters] = {};
  uint32_t mNotifyInFlight = 0;
  bool mNotifyInFlightStopZero = false;
  // Set while the notify writer has an enable on its way (from before it checks that MIDI runs
  // until the write completes), and the enable registers that a stop must then zero again after
  // it, one bit per register (bit = its index in the writer's order).
  std::atomic<uint8_t> mNotifyEnableOut{0};
  static constexpr uint8_t kMidiEnableOwed = 1u << 2;
  static constexpr uint8_t kAsyncEnableOwed = 1u << 5;
  std::atomic<uint8_t> mNotifyStopOwed{0};

  // Display publication and the debug log.
  std::atomic<const LcdTextBlock*> mPublishedLcd{nullptr};
  std::atomic<uint32_t> mLcdUpdateCount{0};
  DebugLog mLog;

  SurfaceEmulator mSurface;

  EngineSpinLock mDefaultRingLock;
  EngineSpinLock mDefaultLogLock;
  EngineSpinLock mDefaultSurfaceLock;
};

// Holds one of the platform's engine locks for a scope.
class EngineLockGuard {
 public:
  EngineLockGuard(QX531Device& unit, EngineLock lock) : mUnit(unit), mLock(lock) { mUnit.AcquireEngineLock(mLock); }
  ~EngineLockGuard() { mUnit.ReleaseEngineLock(mLock); }
  EngineLockGuard(const EngineLockGuard&) = delete;
  EngineLockGuard& operator=(const EngineLockGuard&) = delete;

 private:
  QX531Device& mUnit;
  EngineLock mLock;
};
