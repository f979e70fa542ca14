#include "client/QX531BaseDriverInterface.h"

#include <cstring>

#include "client/FlashRegisters.h"

namespace {

// Request 22's record: the setting is chosen by the fourth and fifth words.
struct MixerRequest {
  uint32_t mMagic;
  uint32_t mVersion;
  uint32_t mChannel;
  uint32_t mPan;
  uint32_t mFader;
  uint32_t mValue;
};
static_assert(sizeof(MixerRequest) == 24 && offsetof(MixerRequest, mValue) == 20);

int32_t Short(int32_t result, uint32_t returned, uint32_t atLeast) {
  return result == kQX531Success && returned < atLeast ? kQX531Failure : result;
}

}  // namespace

QX531BaseDriverInterface::QX531BaseDriverInterface()
    : mMainHandle(kNoDevice),
      mPolledHandle(kNoDevice),
      mLogBytes(0),
      mLogBuffer{},
      mChangeCount(0),
      mLastChangeCount(0),
      mUnitListCount(0),
      mLastUnitListCount(0),
      mHandleEvents(0),
      mLastHandleEvents(0),
      mPanelAttached(0),
      mPreferences{},
      mLastPreferences{},
      mSharedState{},
      mLastSharedState{},
      mKR6SharedState{},
      mUnitRecords{},
      mLastUnitRecords{},
      mLastLcdCount(0),
      mLcdCount(0) {
  for (DeviceHandle& h : mKR6HandleList) h = kNoDevice;
  mLastPreferences.mOvrThreshold = kDefaultOvrThreshold;
  std::memset(mLcdText, ' ', kLcdTextBytes - 1);
  mLcdText[kLcdTextBytes - 1] = 0;
  for (uint32_t i = 0; i < kLcdBlockCells - 1; ++i) mLcdBlock[i] = 0x0020;
  mLcdBlock[kLcdBlockCells - 1] = 0;
}

QX531BaseDriverInterface::~QX531BaseDriverInterface() = default;

int32_t QX531BaseDriverInterface::IoctlCurrent(uint32_t request, void* buffer, uint32_t inLength, uint32_t outLength,
                                               uint32_t* returned) {
  return IoctlOf(CurrentHandle(), request, buffer, inLength, outLength, returned);
}

void QX531BaseDriverInterface::AddHandle(DeviceHandle handle) {
  if (handle == kNoDevice || handle == mMainHandle) return;
  for (DeviceHandle h : mKR6HandleList)
    if (h == handle) return;
  SharedStateBlock state{};
  if (GetSharedStateOf(handle, &state) != kQX531Success) return;
  bool taken = false;
  if (state.mUnitKind == kUnitKindMain) {
    if (mMainHandle == kNoDevice) {
      mMainHandle = handle;
      mSharedState = state;
      taken = true;
    }
  } else if (state.mUnitKind == kUnitKindExpansion) {
    for (uint32_t slot = 0; slot < kMaxExpansionUnits && !taken; ++slot) {
      if (mKR6HandleList[slot] != kNoDevice) continue;
      mKR6HandleList[slot] = handle;
      mKR6SharedState[slot] = state;
      taken = true;
    }
  }
  if (taken) ++mHandleEvents;
}

int32_t QX531BaseDriverInterface::ReadDriverLog() {
  mLogBytes = 0;
  auto read = [this](DeviceHandle h) {
    int32_t result = IoctlOf(h, 0, mLogBuffer, 0, kLogBufferBytes, &mLogBytes);
    mLogBuffer[kLogBufferBytes] = 0;
    return result;
  };
  if (IsMainOpen()) {
    int32_t result = read(mMainHandle);
    if (result != kQX531Success || mLogBytes != 0) return result;
  }
  for (DeviceHandle h : mKR6HandleList) {
    if (h == kNoDevice) continue;
    int32_t result = read(h);
    if (result != kQX531Success || mLogBytes != 0) return result;
  }
  return kQX531Success;
}

int32_t QX531BaseDriverInterface::GetActiveLcdCount() {
  uint32_t returned = 0;
  int32_t result = Ioctl(14, &mLcdCount, 0, sizeof mLcdCount, &returned);
  return Short(result, returned, sizeof mLcdCount);
}

int32_t QX531BaseDriverInterface::GetActiveLcdText() {
  uint32_t returned = 0;
  int32_t result = Ioctl(15, mLcdText, 0, kLcdTextBytes, &returned);
  return Short(result, returned, kLcdTextBytes - 1);
}

int32_t QX531BaseDriverInterface::GetActiveLcdBlock() {
  uint32_t returned = 0;
  int32_t result = Ioctl(25, mLcdBlock, 0, sizeof mLcdBlock, &returned);
  return Short(result, returned, sizeof(LcdTextBlock));
}

int32_t QX531BaseDriverInterface::GetChangeCount() { return GetChangeCountOf(mMainHandle); }
int32_t QX531BaseDriverInterface::GetUnitListCount() { return GetUnitListCountOf(mMainHandle); }
int32_t QX531BaseDriverInterface::GetPreferences() { return GetPreferencesOf(mMainHandle, &mPreferences); }
int32_t QX531BaseDriverInterface::GetSharedState() { return GetSharedStateOf(mMainHandle, &mSharedState); }

int32_t QX531BaseDriverInterface::GetChangeCountOf(DeviceHandle handle) {
  uint32_t returned = 0;
  int32_t result = IoctlOf(handle, 1, &mChangeCount, 0, sizeof mChangeCount, &returned);
  return Short(result, returned, sizeof mChangeCount);
}

int32_t QX531BaseDriverInterface::GetUnitListCountOf(DeviceHandle handle) {
  uint32_t returned = 0;
  int32_t result = IoctlOf(handle, 17, &mUnitListCount, 0, sizeof mUnitListCount, &returned);
  return Short(result, returned, sizeof mUnitListCount);
}

int32_t QX531BaseDriverInterface::GetPreferencesOf(DeviceHandle handle, PreferencesBlock* block) {
  uint32_t returned = 0;
  int32_t result = IoctlOf(handle, 2, block, 0, sizeof *block, &returned);
  if (result != kQX531Success) return result;
  bool valid = returned >= sizeof *block && block->mMagic == PreferencesBlock::kMagic &&
               block->mVersion == PreferencesBlock::kVersion;
  return valid ? kQX531Success : kQX531Failure;
}

int32_t QX531BaseDriverInterface::GetSharedStateOf(DeviceHandle handle, SharedStateBlock* block) {
  uint32_t returned = 0;
  int32_t result = IoctlOf(handle, 3, block, 0, sizeof *block, &returned);
  if (result != kQX531Success) return result;
  bool valid = returned >= sizeof *block && block->mMagic == PreferencesBlock::kMagic &&
               block->mVersion == PreferencesBlock::kVersion;
  return valid ? kQX531Success : kQX531Failure;
}

int32_t QX531BaseDriverInterface::GetUnitRecords(DeviceHandle handle, UnitNameRecord* records) {
  uint32_t returned = 0;
  constexpr uint32_t kBytes = sizeof(UnitNameRecord) * kUnitRecordCount;
  int32_t result = IoctlOf(handle, 18, records, 0, kBytes, &returned);
  return Short(result, returned, kBytes);
}

int32_t QX531BaseDriverInterface::WriteDriverLog(const char* text) {
  uint32_t returned = 0;
  auto length = static_cast<uint32_t>(std::strlen(text) + 1);
  return Ioctl(4, const_cast<char*>(text), length, 0, &returned);
}

int32_t QX531BaseDriverInterface::SetStreamMask(uint32_t mask) {
  uint32_t returned = 0;
  return Ioctl(5, &mask, sizeof mask, 0, &returned);
}

int32_t QX531BaseDriverInterface::SetStreamMaskOf(DeviceHandle handle, uint32_t mask) {
  uint32_t returned = 0;
  return IoctlOf(handle, 5, &mask, sizeof mask, 0, &returned);
}

int32_t QX531BaseDriverInterface::GetStreamMask(uint32_t* mask) {
  uint32_t returned = 0;
  return Ioctl(6, mask, 0, sizeof *mask, &returned);
}

int32_t QX531BaseDriverInterface::WriteBlock4000(const void* data, uint32_t length) {
  uint32_t returned = 0;
  return Ioctl(7, const_cast<void*>(data), length, 0, &returned);
}

int32_t QX531BaseDriverInterface::WriteRegister(uint32_t offset, uint32_t value) {
  return WriteRegisterOf(mMainHandle, offset, value);
}

int32_t QX531BaseDriverInterface::WriteRegisterOf(DeviceHandle handle, uint32_t offset, uint32_t value) {
  WriteRegisterRequest request{offset, value};
  uint32_t returned = 0;
  return IoctlOf(handle, 8, &request, sizeof request, 0, &returned);
}

uint32_t QX531BaseDriverInterface::ReadRegister(uint32_t offset) { return ReadRegisterOf(mMainHandle, offset); }

uint32_t QX531BaseDriverInterface::ReadRegisterOf(DeviceHandle handle, uint32_t offset) {
  uint32_t value = offset;
  uint32_t returned = 0;
  int32_t result = IoctlOf(handle, 9, &value, sizeof value, sizeof value, &returned);
  return result == kQX531Success && returned == sizeof value ? value : 0;
}

int32_t QX531BaseDriverInterface::WriteBlock8000(DeviceHandle handle, const void* data, uint32_t length) {
  uint32_t returned = 0;
  return IoctlOf(handle, 10, const_cast<void*>(data), length, 0, &returned);
}

int32_t QX531BaseDriverInterface::SetParameter(uint32_t parameterId, uint32_t value) {
  SetPreferenceRequest request{PreferencesBlock::kMagic, PreferencesBlock::kVersion, parameterId, value};
  uint32_t returned = 0;
  return IoctlCurrent(11, &request, sizeof request, 0, &returned);
}

int32_t QX531BaseDriverInterface::SetUnitRecord(const UnitNameRecord* record) {
  UnitNameRecord copy = *record;
  uint32_t returned = 0;
  return IoctlCurrent(19, &copy, sizeof copy, 0, &returned);
}

int32_t QX531BaseDriverInterface::SwapUnitRecords(const SwapUnitRecordsRequest* serials) {
  SwapUnitRecordsRequest copy = *serials;
  uint32_t returned = 0;
  return IoctlCurrent(21, &copy, sizeof copy, 0, &returned);
}

int32_t QX531BaseDriverInterface::SetUnitLamp(const UnitLampRequest* lamp) {
  UnitLampRequest copy = *lamp;
  uint32_t returned = 0;
  return IoctlCurrent(20, &copy, sizeof copy, 0, &returned);
}

int32_t QX531BaseDriverInterface::SetMixerFader(uint32_t channel, uint32_t value) {
  MixerRequest request{PreferencesBlock::kMagic, PreferencesBlock::kVersion, channel, 0, 1, value & 0xFF};
  uint32_t returned = 0;
  return IoctlCurrent(22, &request, sizeof request, 0, &returned);
}

int32_t QX531BaseDriverInterface::SetMixerPan(uint32_t channel, uint32_t value) {
  MixerRequest request{PreferencesBlock::kMagic, PreferencesBlock::kVersion, channel, 1, 0, value & 0xFF};
  uint32_t returned = 0;
  return IoctlCurrent(22, &request, sizeof request, 0, &returned);
}

int32_t QX531BaseDriverInterface::SetMixerButtonA(uint32_t, uint32_t) { return kQX531Success; }
int32_t QX531BaseDriverInterface::SetMixerButtonB(uint32_t, uint32_t) { return kQX531Success; }

int32_t QX531BaseDriverInterface::SetPanelAttached(int32_t mode) {
  mPanelAttached = mode;
  // A panel request counted before the panel attached is not the panel's to answer.
  if (GetSharedState() == kQX531Success) mLastSharedState.mPanelRequest = mSharedState.mPanelRequest;
  if (mode != kPanelAttached) return kQX531Success;
  uint32_t on = 1;
  uint32_t returned = 0;
  return Ioctl(12, &on, sizeof on, 0, &returned);
}

int32_t QX531BaseDriverInterface::SetProgrammingWord(ProgrammingWord word) {
  return WriteRegister(kProgrammingWordRegister, word);
}

int32_t QX531BaseDriverInterface::Rescan(int32_t mode) {
  int32_t result = OpenDevices(mode);
  for (DeviceHandle h : mKR6HandleList) {
    if (h == kNoDevice) continue;
    result = IsUnitAlive(h);
    if (result == 0) result = CloseHandleOf(h);
  }
  return result;
}

DeviceHandle QX531BaseDriverInterface::CurrentHandle() {
  if (mMainHandle != kNoDevice) return mMainHandle;
  for (DeviceHandle h : mKR6HandleList)
    if (h != kNoDevice) return h;
  return kNoDevice;
}

void QX531BaseDriverInterface::CloseAll() {
  if (mMainHandle != kNoDevice) CloseMain();
  for (DeviceHandle h : mKR6HandleList)
    if (h != kNoDevice) CloseHandleOf(h);
}

int32_t QX531BaseDriverInterface::IsOpen() { return IsMainOpen() ? 1 : 0; }

uint32_t QX531BaseDriverInterface::CountExpansionUnits() {
  uint32_t count = 0;
  for (DeviceHandle h : mKR6HandleList)
    if (h != kNoDevice && IsUnitAlive(h) != 0) ++count;
  return count;
}

void QX531BaseDriverInterface::OnLcdText(const char*) {}
void QX531BaseDriverInterface::OnLcdBlock(const uint16_t*) {}
void QX531BaseDriverInterface::OnClockSourceChanged(uint32_t) {}
void QX531BaseDriverInterface::OnSampleRateChanged(uint32_t) {}
void QX531BaseDriverInterface::OnControlProtocolChanged(uint32_t) {}
void QX531BaseDriverInterface::OnMonitorModeChanged(uint32_t) {}
void QX531BaseDriverInterface::OnBufferSizeIndexChanged(uint32_t) {}
void QX531BaseDriverInterface::OnOption6Changed(uint32_t) {}
void QX531BaseDriverInterface::OnOption7Changed(uint32_t) {}
void QX531BaseDriverInterface::OnMasterFaderChanged(uint32_t) {}
void QX531BaseDriverInterface::OnOvrThresholdChanged(uint32_t) {}
void QX531BaseDriverInterface::OnSpdifInSourceChanged(uint32_t) {}
void QX531BaseDriverInterface::OnCoaxOutSourceChanged(uint32_t) {}
void QX531BaseDriverInterface::OnOpticalOutSourceChanged(uint32_t) {}
void QX531BaseDriverInterface::OnContinuousInputsChanged(uint32_t) {}
void QX531BaseDriverInterface::OnContinuousOutputsChanged(uint32_t) {}
void QX531BaseDriverInterface::OnOption16Changed(uint32_t) {}
void QX531BaseDriverInterface::OnConverterDelayChanged(uint32_t) {}
void QX531BaseDriverInterface::OnReserved72(uint32_t) {}
void QX531BaseDriverInterface::OnReserved73(uint32_t) {}
void QX531BaseDriverInterface::OnReserved74(uint32_t) {}
void QX531BaseDriverInterface::OnReserved75(uint32_t) {}
void QX531BaseDriverInterface::OnUnitRateChanged(uint32_t) {}
void QX531BaseDriverInterface::OnRegisterVersionChanged(uint32_t) {}
void QX531BaseDriverInterface::OnFpgaVersionChanged(uint32_t) {}
void QX531BaseDriverInterface::OnArmVersionChanged(uint32_t) {}
void QX531BaseDriverInterface::OnHardwareVersionChanged(uint32_t) {}
void QX531BaseDriverInterface::OnSharedWord8Changed(uint32_t) {}
void QX531BaseDriverInterface::OnStreamMaskChanged(uint32_t) {}
void QX531BaseDriverInterface::OnProgrammingWordChanged(uint32_t) {}
void QX531BaseDriverInterface::OnUnitCountChanged(uint32_t) {}
void QX531BaseDriverInterface::OnUnitIndexChanged(uint32_t) {}
void QX531BaseDriverInterface::OnAliveChanged(uint32_t) {}
void QX531BaseDriverInterface::OnPluggedInChanged(uint32_t) {}
void QX531BaseDriverInterface::OnStreamingChanged(uint32_t) {}
void QX531BaseDriverInterface::OnMidiRunningChanged(uint32_t) {}
void QX531BaseDriverInterface::OnInputLockedChanged(uint32_t) {}
void QX531BaseDriverInterface::OnUnitClockSourceChanged(uint32_t) {}
void QX531BaseDriverInterface::OnOpticalOutCodeChanged(uint32_t) {}
void QX531BaseDriverInterface::OnSpdifInCodeAChanged(uint32_t) {}
void QX531BaseDriverInterface::OnCoaxOutCodeChanged(uint32_t) {}
void QX531BaseDriverInterface::OnSpdifInCodeBChanged(uint32_t) {}
void QX531BaseDriverInterface::OnUnitOption16Changed(uint32_t) {}
void QX531BaseDriverInterface::OnPanelToggleRequest() {}
void QX531BaseDriverInterface::OnUnitRecords(const UnitNameRecord*) {}
