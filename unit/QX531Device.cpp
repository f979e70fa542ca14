#include "unit/QX531Device.h"

#include <cstring>
#include <utility>

#include "unit/ControlRequests.h"
#include "unit/OvrTable.h"
#include "unit/RegisterMap.h"
#include "unit/UnitTable.h"

namespace {

std::atomic<uint32_t> gUnitNumbersInUse{0};
std::atomic<uint8_t> gConstructedUnits{0};
EngineSpinLock gDefaultUnitTableLock;

uint32_t TakeUnitNumber() {
  uint32_t inUse = gUnitNumbersInUse.load();
  for (;;) {
    if (inUse == UINT32_MAX) return QX531Device::kNoUnitNumber;
    uint32_t number = 0;
    while (inUse & (1u << number)) ++number;
    if (gUnitNumbersInUse.compare_exchange_weak(inUse, inUse | (1u << number))) return number;
  }
}

const SurfaceCallbacks kSurfaceCallbacks = {
    [](void* owner, const LcdTextBlock* block) { static_cast<QX531Device*>(owner)->PublishLcdBlock(block); },
    [](void* owner, uint8_t status, uint8_t data1, uint8_t data2) {
      static_cast<QX531Device*>(owner)->SendSurfaceMIDIEvent(status, data1, data2);
    },
    [](void* owner, uint32_t lampId, uint32_t state) { static_cast<QX531Device*>(owner)->SetLamp(lampId, state); },
    [](void* owner, uint32_t fader, uint32_t position) {
      static_cast<QX531Device*>(owner)->SetFaderMotor(fader, position);
    },
    [](void* owner, uint32_t command, uint32_t value) {
      static_cast<QX531Device*>(owner)->HandleModeCommand(command, value);
    },
    [](void* owner, const char* text) { static_cast<QX531Device*>(owner)->LogString(text); },
    [](void* owner, uint32_t value) { static_cast<QX531Device*>(owner)->LogHex(value); },
};

// Words the settings writer compares; everything else of the last-written copy is never looked at.
constexpr uint32_t kWatchedIds[] = {
    PreferencesBlock::kParamClockSource,      PreferencesBlock::kParamSampleRate,
    PreferencesBlock::kParamMonitorMode,      PreferencesBlock::kParamBufferSizeIndex,
    PreferencesBlock::kParamOption6,          PreferencesBlock::kParamOption7,
    PreferencesBlock::kParamMasterFader,      PreferencesBlock::kParamOvrThreshold,
    PreferencesBlock::kParamOpticalOutSource, PreferencesBlock::kParamCoaxOutSource,
    PreferencesBlock::kParamSpdifInSource,    PreferencesBlock::kParamControlProtocol,
    PreferencesBlock::kParamOption16,         PreferencesBlock::kParamContinuousInputs,
    PreferencesBlock::kParamContinuousOutputs, PreferencesBlock::kParamConverterDelay,
};

}  // namespace

QX531Device::QX531Device()
    : mUnitNumber(TakeUnitNumber()),
      mPreferences(PreferencesBlock::Defaults()),
      mRequested(mPreferences),
      mLastWritten(mPreferences) {
  gConstructedUnits.fetch_add(1);
  mSharedState.mMagic = PreferencesBlock::kMagic;
  mSharedState.mVersion = PreferencesBlock::kVersion;
  mSharedState.mSampleRate = 44100;
  mSharedState.mClockSource = 1;
  mSharedState.mReserved32 = SharedStateBlock::kReservedConstant;
  mSharedState.mAlive = 1;

  SetBufferFrames(2048);
  SetSampleRate(44100);
  SetClockSource(1);
  SetInputChannelMask(0);
  SetOutputChannelMask(0);
  mRunState = UINT32_MAX;
  mProgrammedInputMask = UINT32_MAX;
  mProgrammedOutputMask = UINT32_MAX;
  mProgrammedRateWord = UINT32_MAX;
  mProgrammedPacketParam = UINT32_MAX;
  mRestartState = UINT32_MAX;
  ResetStreamState();

  mSurface.InitSurfaceEngine(kSurfaceLayout1);
}

QX531Device::~QX531Device() {
  if (mUnitNumber < kNoUnitNumber) gUnitNumbersInUse.fetch_and(~(1u << mUnitNumber));
  mSharedState.mUnitCount = static_cast<uint8_t>(gConstructedUnits.fetch_sub(1) - 1);
  mSharedState.mAlive = 0;
}

void QX531Device::AcquireEngineLock(EngineLock lock) {
  switch (lock) {
    case EngineLock::UnitTable: gDefaultUnitTableLock.Lock(); break;
    case EngineLock::MidiOutRing: mDefaultRingLock.Lock(); break;
    case EngineLock::DebugLog: mDefaultLogLock.Lock(); break;
    case EngineLock::Surface: mDefaultSurfaceLock.Lock(); break;
  }
}

void QX531Device::ReleaseEngineLock(EngineLock lock) {
  switch (lock) {
    case EngineLock::UnitTable: gDefaultUnitTableLock.Unlock(); break;
    case EngineLock::MidiOutRing: mDefaultRingLock.Unlock(); break;
    case EngineLock::DebugLog: mDefaultLogLock.Unlock(); break;
    case EngineLock::Surface: mDefaultSurfaceLock.Unlock(); break;
  }
}

int32_t QX531Device::HandlePlugIn() {
  LogString("QX5310DeviceHandlePlugIn\n");
  if (mPluggedIn) return kQX531Failure;

  bool copied = false;
  {
    EngineLockGuard guard(*this, EngineLock::UnitTable);
    const UnitTable& table = UnitTable::Shared();
    for (uint32_t i = 0; i < UnitTable::kSlots && !copied; ++i) {
      const QX531Device* other = table.At(i);
      if (other == nullptr || other == this) continue;
      mPreferences = other->mPreferences;
      copied = true;
    }
  }
  if (!copied && ReadPreferences(&mPreferences, 0) != 0) mPreferences = PreferencesBlock::Defaults();
  if (!mPreferences.HasCurrentLayout()) mPreferences = PreferencesBlock::Defaults();
  mPreferences.DefaultInvalidSettings();
  mRequested = mPreferences;

  SetBufferFrames(kBufferFrames[mPreferences.mBufferSizeIndex]);
  SetSampleRate(mPreferences.mSampleRate);
  SetClockSource(mPreferences.mClockSource);
  mLastWritten = mRequested;
  for (uint32_t id : kWatchedIds) mLastWritten.SetWord(id, 0);
  mLastWritten.mOvrThreshold = 25;

  int32_t result = PlatformAttach();
  if (result == 0) {
    mPlatformAttached = 1;
    result = PlatformQueryBus();
  }
  if (result == 0) result = ExtractNodeAndGenerationIDs();
  if (result == 0) result = GetRegisterBase();
  if (result == 0) result = OpenAddressHandle(&mSyncHandle, 0, 0, 8);

  uint32_t guidMsb = 0;
  uint32_t guidLsb = 0;
  if (result == 0) {
    ReadQuadlet(mSyncHandle, QX5310_REGISTER_VERSION);
    mRegisterVersion = ReadQuadlet(mSyncHandle, QX5310_REGISTER_VERSION);
    mFpgaVersion = ReadQuadlet(mSyncHandle, QX5310_FPGA_VERSION);
    mArmVersion = ReadQuadlet(mSyncHandle, QX5310_ARM_VERSION);
    mHardwareVersion = ReadQuadlet(mSyncHandle, QX5310_HARDWARE_VERSION);
    guidMsb = ReadQuadlet(mSyncHandle, QX5310_GUID_MSB);
    guidLsb = ReadQuadlet(mSyncHandle, QX5310_GUID_LSB);
    const bool expansion = (mRegisterVersion >> 16) == 1;
    mUnitKind = expansion ? kKindExpansion : kKindMain;
    mHasAudio = expansion ? 0 : 1;
    mHasMidi = 1;
    mHasAsyncWindow = expansion ? 1 : 0;
    mSerial = expansion ? (guidLsb != 0 ? guidLsb : 1) : 0;
    if (mSerial != 0) {
      EngineLockGuard guard(*this, EngineLock::UnitTable);
      while (UnitTable::Shared().FindUnitBySerial(mSerial) != nullptr) {
        if (++mSerial == 0) mSerial = 1;
      }
    }

    LogLabelHex("   Driver Register Version ", kDriverRegisterVersion);
    LogLabelHex("   QX5310_REGISTER_VERSION ", mRegisterVersion);
    LogLabelHex("   QX5310_FPGA_VERSION     ", mFpgaVersion);
    LogLabelHex("   QX5310_ARM_VERSION      ", mArmVersion);
    LogLabelHex("   QX5310_HARDWARE_VERSION ", mHardwareVersion);
    LogLabelHex("   QX5310_HARDWARE_SERIAL  ", mSerial);
    LogLabelHex("   QX5310_GUID_MSB         ", guidMsb);
    LogLabelHex("   QX5310_GUID_LSB         ", guidLsb);

    result = OpenPlugInHandles();
  }

  if (mHasAudio) {
    const int32_t allocation = AllocateStreamBuffers();
    if (result == 0) result = allocation;
  }

  if (result == 0 && mHasMidi) {
    result = AllocateFWMemorySpace(&mMidiReceiveRange, 0, mMIDIReceiveBuffer, kMidiReceiveBytes, &mMIDIReceiveHi,
                                   &mMIDIReceiveLo);
  }
  if (result == 0 && mHasAsyncWindow) {
    result = AllocateFWMemorySpace(&mAsyncReceiveRange, 0, mAsyncReceiveBuffer, kAsyncReceiveBytes,
                                   &mAsyncReceiveHi, &mAsyncReceiveLo);
  }

  if (result == 0) {
    LogLabelHex("QX5310DeviceHandlePlugIn mRegBaseAddress        ", mRegBaseAddress);
    LogLabelHex("QX5310DeviceHandlePlugIn mNodeNum               ", mNodeNum);
    LogLabelHex("QX5310DeviceHandlePlugIn mGenerationNumber      ", mGenerationNumber);
    LogLabelHex("QX5310DeviceHandlePlugIn mlocalNodeNum          ", mlocalNodeNum);
    LogLabelHex("QX5310DeviceHandlePlugIn mMIDIReceiveHi         ", mMIDIReceiveHi);
    LogLabelHex("QX5310DeviceHandlePlugIn mMIDIReceiveLo         ", mMIDIReceiveLo);
    if (mHasAsyncWindow) {
      LogLabelHex("QX5310DeviceHandlePlugIn mAsyncReceiveHi        ", mAsyncReceiveHi);
      LogLabelHex("QX5310DeviceHandlePlugIn mAsyncReceiveLo        ", mAsyncReceiveLo);
    }

    // Only a unit with audio owns the clock, rate, routing, monitoring and OVR state; an expansion
    // unit's registers must not overwrite the settings that all units share.
    if (mHasAudio) TakeSettingsFromUnit();

    SetSampleRate(mRequested.mSampleRate);
    SetClockSource(mRequested.mClockSource);
    ProgramStreamRegisters();

    if (mHasAudio) {
      result = PlatformStartAudio();
      if (result == 0) mPlatformAudioStarted = 1;
    }
    if (result == 0) mPluggedIn = 1;
  }

  {
    EngineLockGuard guard(*this, EngineLock::Surface);
    mSurface.InitSurfaceEngine(SurfaceLayoutForHardware(mHardwareVersion));
    mSurface.SetOwner(this, kSurfaceCallbacks);
  }

  if (result == 0) {
    KickSettingsWriter();
    mPreferences = mRequested;
    FillSharedStateAtPlugIn();
    EnterUnitTable();
  }

  if (mSerial != 0) PublishUnitName();

  mUnitListCount.fetch_add(1);
  BumpChangeCount();
  ResetStreamState();
  HandleBusReset();
  ForceLamp(4, 1);

  // A unit that did not come up keeps nothing of the bus or the platform.
  if (result != 0) FreePlugInResources();
  return result;
}

int32_t QX531Device::OpenPlugInHandles() {
  struct HandleToOpen {
    PlatformHandle* handle;
    uint32_t block;
    uint32_t queued;
  };
  const HandleToOpen common[] = {
      {&mRequestsHandle, 1, 0},           {&mLampWriter.mHandle, 0, 1},    {&mFaderWriter.mHandle, 0, 1},
      {&mMidiOutWriter.mHandle, 1, 1},    {&mSettingsWriter.mHandle, 0, 1}, {&mNotifyWriter.mHandle, 0, 1},
  };
  const HandleToOpen audio[] = {
      {&mRecordEnable.mHandle, 0, 1},   {&mRecordDisable.mHandle, 0, 1}, {&mPlaybackEnable.mHandle, 0, 1},
      {&mPlaybackDisable.mHandle, 0, 1}, {&mStreamRestart.mHandle, 0, 1},
  };
  for (const HandleToOpen& h : common) {
    if (const int32_t result = OpenAddressHandle(h.handle, h.block, h.queued, 8); result != 0) return result;
  }
  if (!mHasAudio) return 0;
  for (const HandleToOpen& h : audio) {
    if (const int32_t result = OpenAddressHandle(h.handle, h.block, h.queued, 8); result != 0) return result;
  }
  if (const int32_t result = AllocateIsochStreamObject(&mRecordStream, 0); result != 0) return result;
  return AllocateIsochStreamObject(&mPlaybackStream, 1);
}

int32_t QX531Device::AllocateStreamBuffers() {
  bool failed = false;
  for (uint32_t direction = 0; direction < 2; ++direction) {
    StreamBuffer* buffers = direction == 0 ? mRecordBuffers : mPlaybackBuffers;
    for (uint32_t i = 0; i < kStreamBuffers; ++i) {
      if (buffers[i].mBuffer == nullptr) AllocateBuffer(&buffers[i], kStreamBufferBytes, direction);
      if (buffers[i].mBuffer == nullptr || buffers[i].mMapping == nullptr) {
        failed = true;
        continue;
      }
      std::memset(buffers[i].mBuffer, 0, kStreamBufferBytes);
    }
  }
  if (failed) return 2;
  LayOutPacketSlots(mRecordBuffers, kRecordSlotPitch, mRecordSlotsA, mRecordSlotsB);
  LayOutPacketSlots(mPlaybackBuffers, kPlaybackSlotPitch, mPlaybackSlotsA, mPlaybackSlotsB);
  return 0;
}

// List A's slots and then list B's run through the buffers; no slot straddles a 4096-byte page.
void QX531Device::LayOutPacketSlots(StreamBuffer* buffers, uint32_t pitch, uint8_t** slotsA, uint8_t** slotsB) {
  constexpr uint32_t kPage = 4096;
  uint32_t buffer = 0;
  uint32_t offset = 0;
  for (uint32_t n = 0; n < 2 * kPacketsPerList; ++n) {
    if (offset / kPage != (offset + pitch - 1) / kPage) offset = (offset / kPage + 1) * kPage;
    if (offset >= kStreamBufferBytes) {
      ++buffer;
      offset = 0;
    }
    uint8_t* slot = buffers[buffer].mBuffer + offset;
    if (n < kPacketsPerList) {
      slotsA[n] = slot;
    } else {
      slotsB[n - kPacketsPerList] = slot;
    }
    offset += pitch;
  }
}

void QX531Device::TakeSettingsFromUnit() {
  const uint32_t rateClock = ReadQuadlet(mSyncHandle, QX5310_RATE_CLOCK);
  const uint32_t control = ReadQuadlet(mSyncHandle, QX5310_CONTROL_BITS);
  const uint32_t ovr = ReadQuadlet(mSyncHandle, QX5310_OVR_LEVEL);
  auto take = [this](uint32_t id, uint32_t value) {
    mRequested.SetWord(id, value);
    mLastWritten.SetWord(id, value);
  };

  const uint32_t clock = rateClock & kRateClockClockBits;
  if (clock >= 1 && clock <= 4) take(PreferencesBlock::kParamClockSource, clock);
  if (const uint32_t rate = SampleRateOfCode(rateClock); rate != 0) take(PreferencesBlock::kParamSampleRate, rate);

  uint32_t monitor = 1;
  if (control & kSwitchMonitorWide) monitor = (control & kSwitchMonitorSix) ? 2 : 3;
  take(PreferencesBlock::kParamMonitorMode, monitor);
  take(PreferencesBlock::kParamMasterFader, (control & kSwitchMasterFaderOnOutputs) ? 2 : 1);
  uint32_t optical = 1;
  if (control & kSwitchOpticalCopiesCoax) {
    optical = 4;
  } else if (control & kSwitchOpticalAnalog) {
    optical = (control & kSwitchOpticalInputs) ? 3 : 2;
  }
  take(PreferencesBlock::kParamOpticalOutSource, optical);
  take(PreferencesBlock::kParamCoaxOutSource, (control & kSwitchCoaxCopiesAnalog) ? 2 : 1);
  take(PreferencesBlock::kParamSpdifInSource, (control & kSwitchSpdifInOptical) ? 2 : 1);
  take(PreferencesBlock::kParamOvrThreshold, NearestOvrIndex(ovr >> 16));
}

void QX531Device::ProgramStreamRegisters() {
  mRateWord = mClockSource | RateCode(mSampleRate);
  mPacketParam = PacketParameter(mSampleRate);
  WriteQuadlet(mSyncHandle, QX5310_CONTROL_BITS, kControlStreamingOff);
  WriteQuadlet(mSyncHandle, QX5310_INPUT_MASK, mInputMask);
  WriteQuadlet(mSyncHandle, QX5310_OUTPUT_MASK, mOutputMask);
  WriteQuadlet(mSyncHandle, QX5310_PACKET_PARAM, mPacketParam);
  WriteQuadlet(mSyncHandle, QX5310_RATE_CLOCK, mRateWord);
  mStreamProgrammings.fetch_add(1);
  mRunState = 0;
  mProgrammedInputMask = mInputMask;
  mProgrammedOutputMask = mOutputMask;
  mProgrammedPacketParam = mPacketParam;
  mProgrammedRateWord = mRateWord;
}

void QX531Device::FillSharedStateAtPlugIn() {
  mSharedState.mClockSource = static_cast<uint8_t>(mPreferences.mClockSource);
  mSharedState.mSampleRate = mPreferences.mSampleRate;
  mSharedState.mRegisterVersion = mRegisterVersion;
  mSharedState.mFpgaVersion = mFpgaVersion;
  mSharedState.mArmVersion = mArmVersion;
  mSharedState.mHardwareVersion = mHardwareVersion;
  mSharedState.mSerial = mSerial;
  mSharedState.mUnitKind = static_cast<uint8_t>(mUnitKind);
  mSharedState.mOption16 = static_cast<uint8_t>(mPreferences.mOption16);
  mSharedState.SetOpticalOutCode(mPreferences.mOpticalOutSource, mPreferences.mCoaxOutSource);
  mSharedState.SetCoaxOutCode(mPreferences.mCoaxOutSource);
  mSharedState.SetSpdifInCodes(mPreferences.mSpdifInSource);
  mSharedState.mPluggedIn = 1;
}

void QX531Device::EnterUnitTable() {
  EngineLockGuard guard(*this, EngineLock::UnitTable);
  UnitTable& table = UnitTable::Shared();
  const int32_t slot = table.Enter(this, mUnitKind == kKindMain);
  if (slot >= 0) {
    mSharedState.mUnitIndex = static_cast<uint8_t>(slot);
    if (slot == 0 || table.At(0) == nullptr) MakeActiveUnitLocked();
  }
  const uint8_t count = static_cast<uint8_t>(table.Count());
  for (uint32_t i = 0; i < UnitTable::kSlots; ++i) {
    QX531Device* unit = table.At(i);
    if (unit == nullptr) continue;
    unit->mSharedState.mUnitCount = count;
    if (unit != this) unit->BumpChangeCount();
  }
}

// Gives the unit its name record, inserting a default one at the front of the block when the
// block has none for this serial; the record it replaces is one of no present unit.
void QX531Device::PublishUnitName() {
  {
    EngineLockGuard guard(*this, EngineLock::UnitTable);
    const UnitTable& table = UnitTable::Shared();
    UnitNameRecord* names = mPreferences.mUnitNames;
    const UnitNameRecord* own = nullptr;
    for (const UnitNameRecord& record : mPreferences.mUnitNames) {
      if (record.mSerial == mSerial) {
        own = &record;
        break;
      }
    }
    if (own != nullptr) {
      mSharedState.mUnitName = *own;
    } else {
      mSharedState.mUnitName = UnitNameRecord::Default(mSerial);
      uint32_t position = 0;
      for (uint32_t r = PreferencesBlock::kUnitNameRecords - 1; r >= 1; --r) {
        if (names[r].mSerial == 0 || table.FindUnitBySerial(names[r].mSerial) == nullptr) {
          position = r;
          break;
        }
      }
      for (uint32_t r = position; r >= 1; --r) names[r] = names[r - 1];
      names[0] = mSharedState.mUnitName;
    }
    mUnitListCount.fetch_add(1);
    BroadcastPreferencesLocked();
  }
  WritePreferences(&mPreferences, 0);
}

// Copies this unit's block into every other unit of the table and tells their clients.
void QX531Device::BroadcastPreferencesLocked() {
  const UnitTable& table = UnitTable::Shared();
  for (uint32_t i = 0; i < UnitTable::kSlots; ++i) {
    QX531Device* unit = table.At(i);
    if (unit == nullptr || unit == this) continue;
    unit->mPreferences = mPreferences;
    unit->mUnitListCount.fetch_add(1);
    unit->BumpChangeCount();
  }
}

int32_t QX531Device::HandleUnPlug() {
  LogString("QX5310DeviceHandleUnPlug\n");
  StopAudioStreams();
  StopMidi();

  {
    EngineLockGuard guard(*this, EngineLock::UnitTable);
    UnitTable& table = UnitTable::Shared();
    if (table.Contains(this)) {
      if (mSharedState.mActive) {
        for (uint32_t i = 0; i < UnitTable::kSlots; ++i) {
          QX531Device* other = table.At(i);
          if (other != nullptr && other != this) {
            other->MakeActiveUnitLocked();
            break;
          }
        }
      }
      table.Remove(this);
      mSharedState.mActive = 0;
      const uint8_t count = static_cast<uint8_t>(table.Count());
      for (uint32_t i = 0; i < UnitTable::kSlots; ++i) {
        QX531Device* unit = table.At(i);
        if (unit == nullptr) continue;
        unit->mSharedState.mUnitCount = count;
        unit->BumpChangeCount();
        unit->mUnitListCount.fetch_add(1);
      }
    }
  }

  mSharedState.mPluggedIn = 0;
  BumpChangeCount();
  mUnitListCount.fetch_add(1);
  const bool wasPluggedIn = mPluggedIn != 0;
  mPluggedIn = 0;
  // What the writers still hold is dropped and counted, now by an idle writer or later by the
  // completion of the write in flight.
  if (wasPluggedIn) {
    for (auto [writer, ops] : {std::pair{&mLampWriter, &kLampOps}, std::pair{&mFaderWriter, &kFaderOps},
                               std::pair{&mMidiOutWriter, &kMidiOutOps}, std::pair{&mSettingsWriter, &kSettingsOps},
                               std::pair{&mNotifyWriter, &kNotifyOps}}) {
      Nudge(*writer, *ops);
    }
  }
  FreePlugInResources();
  return 0;
}

// Everything freed is nulled, so running this again does nothing.
void QX531Device::FreePlugInResources() {
  PlatformHandle* handles[] = {
      &mSyncHandle,           &mRequestsHandle,        &mRecordEnable.mHandle,   &mRecordDisable.mHandle,
      &mPlaybackEnable.mHandle, &mPlaybackDisable.mHandle, &mStreamRestart.mHandle, &mLampWriter.mHandle,
      &mFaderWriter.mHandle,  &mMidiOutWriter.mHandle, &mSettingsWriter.mHandle, &mNotifyWriter.mHandle,
  };
  for (PlatformHandle* handle : handles) {
    if (*handle == nullptr) continue;
    CloseAddressHandle(*handle);
    *handle = nullptr;
  }
  for (PlatformHandle* stream : {&mRecordStream, &mPlaybackStream}) {
    if (*stream == nullptr) continue;
    FreeIsochStreamObject(*stream);
    *stream = nullptr;
  }
  for (PlatformHandle* range : {&mMidiReceiveRange, &mAsyncReceiveRange}) {
    if (*range == nullptr) continue;
    FreeFWMemorySpace(*range);
    *range = nullptr;
  }
  if (mPlatformAudioStarted) {
    PlatformStopAudio();
    mPlatformAudioStarted = 0;
  }
  if (mPlatformAttached) {
    PlatformDetach();
    mPlatformAttached = 0;
  }
  for (StreamBuffer* buffers : {mRecordBuffers, mPlaybackBuffers}) {
    for (uint32_t i = 0; i < kStreamBuffers; ++i) {
      if (buffers[i].mBuffer == nullptr && buffers[i].mMapping == nullptr) continue;
      FreeBuffer(&buffers[i]);
      buffers[i] = StreamBuffer{};
    }
  }
  for (uint8_t** slots : {mRecordSlotsA, mRecordSlotsB, mPlaybackSlotsA, mPlaybackSlotsB}) {
    std::memset(slots, 0, kPacketsPerList * sizeof *slots);
  }
}

int32_t QX531Device::StartAudioStreams() {
  if (!mHasAudio || !mPluggedIn || mIsochResourcesAllocated || mStreaming) return kQX531Failure;
  int32_t result = AllocateIsochStream(mRecordStream, 0);
  if (result != 0) return result;
  result = AllocateIsochStream(mPlaybackStream, 1);
  if (result != 0) {
    FreeIsochStream(mRecordStream, 0);
    return result;
  }
  mIsochResourcesAllocated = 1;
  ResetStreamState();
  ProgramStreamRegisters();
  mRestartState = 0;
  mDbcErrors = 0;
  mDbsErrors = 0;
  mStreaming = 1;
  result = StartIsochStreams();
  if (result != 0) {
    mStreaming = 0;
    FreeIsochStream(mRecordStream, 0);
    FreeIsochStream(mPlaybackStream, 1);
    mIsochResourcesAllocated = 0;
    return result;
  }
  mSharedState.mStreaming = 1;
  BumpChangeCount();
  return 0;
}

int32_t QX531Device::StopAudioStreams() {
  mSharedState.mStreaming = 0;
  BumpChangeCount();
  if (mStreaming) {
    StopIsochStreams();
    mStreaming = 0;
  }
  WaitIsochIdle();
  if (mIsochResourcesAllocated) {
    FreeIsochStream(mRecordStream, 0);
    FreeIsochStream(mPlaybackStream, 1);
    mIsochResourcesAllocated = 0;
  }
  return 0;
}

int32_t QX531Device::StartMidi() {
  if (!mPluggedIn || !mHasMidi || mMidiRunning) return kQX531Failure;
  ExtractNodeAndGenerationIDs();
  LogString("MIDI Started\n");
  mMidiRunning = 1;
  ProgramNotifyAddresses();
  mSharedState.mMidiRunning = 1;
  BumpChangeCount();
  return 0;
}

int32_t QX531Device::StopMidi() {
  if (!mMidiRunning) return 0;
  LogString("MIDI Stopped\n");
  mMidiRunning = 0;
  // An enable the notify writer has on its way, or is about to send because it saw MIDI running,
  // may land after the zeros below; the writer then writes the zeros again after it, so the stop
  // has the last word. Any enable it decides on from now on sees MIDI stopped.
  const bool enableOut = mNotifyEnableOut.load() != 0;
  WriteQuadlet(mSyncHandle, QX5310_MIDI_NOTIFY_ENABLE, 0);
  if (mHasAsyncWindow) WriteQuadlet(mSyncHandle, QX5310_ASYNC_NOTIFY_ENABLE, 0);
  if (enableOut) {
    mNotifyStopOwed.fetch_or(mHasAsyncWindow ? kMidiEnableOwed | kAsyncEnableOwed : kMidiEnableOwed);
    Nudge(mNotifyWriter, kNotifyOps);
  }
  mSharedState.mMidiRunning = 0;
  BumpChangeCount();
  return 0;
}

// Writes refused or failed while the unit could not be reached, or across the reset, left their
// items due; now that the unit is reachable again every writer is kicked to send them.
int32_t QX531Device::HandleBusReset() {
  if (!mPluggedIn) return 0;
  ForceLamp(89, 1);
  if (mMidiRunning) {
    ProgramNotifyAddresses();
  } else {
    Nudge(mNotifyWriter, kNotifyOps);
  }
  Nudge(mSettingsWriter, kSettingsOps);
  Nudge(mFaderWriter, kFaderOps);
  Nudge(mMidiOutWriter, kMidiOutOps);
  SendDueStreamSwitches();
  return 0;
}

void QX531Device::BumpChangeCount() { mChangeCount.fetch_add(1); }

// The stream takes the frames at its next geometry, which may raise them for the rate.
void QX531Device::SetBufferFrames(uint32_t frames) {
  if (frames == mRequestedFrames) return;
  mRequestedFrames = frames;
  mStreamInvalid = 1;
}

void QX531Device::SetSampleRate(uint32_t sampleRate) {
  if (sampleRate == mSampleRate) return;
  mSampleRate = sampleRate;
  mStreamInvalid = 1;
}

void QX531Device::SetClockSource(uint32_t clockSource) {
  if (clockSource == mClockSource) return;
  mClockSource = clockSource;
  mStreamInvalid = 1;
}

namespace {

// The lowest 18 set bits of a mask, and how many there are.
void KeepEighteenChannels(uint32_t mask, uint32_t& kept, uint32_t& count) {
  kept = 0;
  count = 0;
  for (uint32_t bit = 0; bit < 32 && count < 18; ++bit) {
    if (mask & (1u << bit)) {
      kept |= 1u << bit;
      ++count;
    }
  }
}

}  // namespace

void QX531Device::SetInputChannelMask(uint32_t mask) {
  uint32_t kept = 0;
  uint32_t count = 0;
  KeepEighteenChannels(mask, kept, count);
  if (kept != mInputMask || count != mInputChannels) mStreamInvalid = 1;
  mInputMask = kept;
  mInputChannels = count;
  mUnpackInput = SelectInputConverter(count);
}

void QX531Device::SetOutputChannelMask(uint32_t mask) {
  uint32_t kept = 0;
  uint32_t count = 0;
  KeepEighteenChannels(mask, kept, count);
  if (kept != mOutputMask || count != mOutputChannels) mStreamInvalid = 1;
  mOutputMask = kept;
  mOutputChannels = count;
  mPackOutput = SelectOutputConverter(count);
}

void QX531Device::SetRecordIsochChannel(uint32_t channel, uint32_t speed) {
  mRecordChannel = channel;
  mRecordSpeed = speed;
  if (speed > 2 || channel >= 64) return;
  WriteQuadlet(mSyncHandle, RECORD_ISOCHANNEL, channel);
  LogLabelHex("   New RECORD_ISOCHANNEL   ", ReadQuadlet(mSyncHandle, RECORD_ISOCHANNEL));
  WriteQuadlet(mSyncHandle, RECORD_ISOSPEED, speed);
  LogLabelHex("   New RECORD_ISOSPEED     ", ReadQuadlet(mSyncHandle, RECORD_ISOSPEED));
}

void QX531Device::SetPlaybackIsochChannel(uint32_t channel, uint32_t speed) {
  mPlaybackChannel = channel;
  mPlaybackSpeed = speed;
  if (speed > 2 || channel >= 64) return;
  WriteQuadlet(mSyncHandle, PLAYBACK_ISOCHANNEL, channel);
  LogLabelHex("   New PLAYBACK_ISOCHANNEL ", ReadQuadlet(mSyncHandle, PLAYBACK_ISOCHANNEL));
}

// Each switch is its own writer with its own value cell. The direction's latest switch is the one
// the unit must end up with: issuing it makes any earlier one of the direction no longer due.
int32_t QX531Device::QueueStreamSwitch(uint32_t kind, WriteCompletion completion, void* context) {
  struct Switch {
    QueuedWriter QX531Device::*writer;
    uint32_t offset;
    uint32_t value;
  };
  static constexpr Switch kSwitches[kStreamSwitches] = {
      {&QX531Device::mRecordEnable, QX5310_RECORD_ENABLE, 1},
      {&QX531Device::mRecordDisable, QX5310_RECORD_ENABLE, 0},
      {&QX531Device::mPlaybackEnable, QX5310_PLAYBACK_ENABLE, 1},
      {&QX531Device::mPlaybackDisable, QX5310_PLAYBACK_ENABLE, 0},
  };
  const Switch& s = kSwitches[kind];
  const uint32_t direction = kind / 2;
  QueuedWriter& writer = this->*s.writer;
  StreamSwitchIssue& issue = mSwitchIssued[kind];
  issue = StreamSwitchIssue{this, kind, mSwitchSerial[direction].fetch_add(1) + 1, completion, context};
  mSwitchDue[direction].store(nullptr);
  writer.mValue = s.value;
  const int32_t result = WriteQuadletAsync(writer.mHandle, s.offset, &writer.mValue, StreamSwitchDone, &issue);
  // Not taken now (the unit is out of reach until its ids are read again): the next reset sends it.
  if (result != 0 && mSwitchSerial[direction].load() == issue.mSerial) mSwitchDue[direction].store(&issue);
  return result;
}

// A switch that did not reach the unit stays due while it is its direction's latest; one the unit
// answered with an error is given up and counted. The caller's routine learns the status either way.
int32_t QX531Device::StreamSwitchDone(void* context, uint32_t status) {
  auto& issue = *static_cast<StreamSwitchIssue*>(context);
  QX531Device& unit = *issue.mUnit;
  const uint32_t direction = issue.mKind / 2;
  const WriteOutcome outcome = ClassifyWriteStatus(status);
  const WriteCompletion completion = issue.mCompletion;
  void* const callerContext = issue.mContext;
  if (outcome == WriteOutcome::SendAgain && unit.mSwitchSerial[direction].load() == issue.mSerial) {
    if (unit.mPluggedIn) {
      unit.mSwitchDue[direction].store(&issue);
    } else {
      unit.CountDropped(WriterItems::StreamWrites, 1);
    }
  } else if (outcome == WriteOutcome::Dropped) {
    unit.LogLabelHex(kErrorResponseLabel, status);
    unit.CountDropped(WriterItems::StreamWrites, 1);
  }
  return completion != nullptr ? completion(callerContext, status) : 0;
}

void QX531Device::SendDueStreamSwitches() {
  for (std::atomic<StreamSwitchIssue*>& due : mSwitchDue) {
    if (StreamSwitchIssue* issue = due.exchange(nullptr)) QueueStreamSwitch(issue->mKind, issue->mCompletion, issue->mContext);
  }
}

int32_t QX531Device::EnableRecordStream(WriteCompletion completion, void* context) {
  return QueueStreamSwitch(kRecordOn, completion, context);
}

int32_t QX531Device::DisableRecordStream(WriteCompletion completion, void* context) {
  return QueueStreamSwitch(kRecordOff, completion, context);
}

int32_t QX531Device::EnablePlaybackStream(WriteCompletion completion, void* context) {
  return QueueStreamSwitch(kPlaybackOn, completion, context);
}

int32_t QX531Device::DisablePlaybackStream(WriteCompletion completion, void* context) {
  return QueueStreamSwitch(kPlaybackOff, completion, context);
}
