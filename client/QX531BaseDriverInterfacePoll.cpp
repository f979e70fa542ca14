// Poll and PollActiveLcd: fetch only when a counter or the polled unit moved, report each changed
// value once, and keep a counter as acted on only once what it triggered was fetched, so a
// transient failure is retried at the next poll and no change is lost.
#include <cstring>

#include "client/QX531BaseDriverInterface.h"

namespace {

// The watched values in the order they are compared: where the value lies in the fetched block and
// in the reported copy, and the notification that reports it.
struct WatchedWord {
  uint32_t PreferencesBlock::*field;
  void (QX531BaseDriverInterface::*notify)(uint32_t);
};

struct WatchedShared {
  enum Width { kWord, kByte };
  size_t offset;
  Width width;
  void (QX531BaseDriverInterface::*notify)(uint32_t);  // null: OnPanelToggleRequest, no value
};

using Q = QX531BaseDriverInterface;

constexpr WatchedWord kWatchedPreferences[] = {
    {&PreferencesBlock::mClockSource, &Q::OnClockSourceChanged},
    {&PreferencesBlock::mSampleRate, &Q::OnSampleRateChanged},
    {&PreferencesBlock::mControlProtocol, &Q::OnControlProtocolChanged},
    {&PreferencesBlock::mMonitorMode, &Q::OnMonitorModeChanged},
    {&PreferencesBlock::mBufferSizeIndex, &Q::OnBufferSizeIndexChanged},
    {&PreferencesBlock::mOption6, &Q::OnOption6Changed},
    {&PreferencesBlock::mOption7, &Q::OnOption7Changed},
    {&PreferencesBlock::mContinuousInputs, &Q::OnContinuousInputsChanged},
    {&PreferencesBlock::mContinuousOutputs, &Q::OnContinuousOutputsChanged},
    {&PreferencesBlock::mOption16, &Q::OnOption16Changed},
    {&PreferencesBlock::mConverterDelay, &Q::OnConverterDelayChanged},
    {&PreferencesBlock::mMasterFader, &Q::OnMasterFaderChanged},
    {&PreferencesBlock::mOvrThreshold, &Q::OnOvrThresholdChanged},
    {&PreferencesBlock::mOpticalOutSource, &Q::OnOpticalOutSourceChanged},
    {&PreferencesBlock::mCoaxOutSource, &Q::OnCoaxOutSourceChanged},
    {&PreferencesBlock::mSpdifInSource, &Q::OnSpdifInSourceChanged},
};

#define QX_SHARED(field, width, notify) {offsetof(SharedStateBlock, field), WatchedShared::width, notify}

// Of every polled unit.
constexpr WatchedShared kWatchedShared[] = {
    QX_SHARED(mUnitCount, kByte, &Q::OnUnitCountChanged),
    QX_SHARED(mStreamMask, kWord, &Q::OnStreamMaskChanged),
    QX_SHARED(mAlive, kByte, &Q::OnAliveChanged),
    QX_SHARED(mPluggedIn, kByte, &Q::OnPluggedInChanged),
};

// Of the main unit only.
constexpr WatchedShared kWatchedMainShared[] = {
    QX_SHARED(mSampleRate, kWord, &Q::OnUnitRateChanged),
    QX_SHARED(mRegisterVersion, kWord, &Q::OnRegisterVersionChanged),
    QX_SHARED(mFpgaVersion, kWord, &Q::OnFpgaVersionChanged),
    QX_SHARED(mArmVersion, kWord, &Q::OnArmVersionChanged),
    QX_SHARED(mHardwareVersion, kWord, &Q::OnHardwareVersionChanged),
    QX_SHARED(mReserved32, kWord, &Q::OnSharedWord8Changed),
    QX_SHARED(mProgrammingWord, kWord, &Q::OnProgrammingWordChanged),
    QX_SHARED(mUnitIndex, kByte, &Q::OnUnitIndexChanged),
    QX_SHARED(mStreaming, kByte, &Q::OnStreamingChanged),
    QX_SHARED(mMidiRunning, kByte, &Q::OnMidiRunningChanged),
    QX_SHARED(mInputLocked, kByte, &Q::OnInputLockedChanged),
    QX_SHARED(mClockSource, kByte, &Q::OnUnitClockSourceChanged),
    QX_SHARED(mPanelRequest, kByte, nullptr),
    QX_SHARED(mOpticalOutCode, kByte, &Q::OnOpticalOutCodeChanged),
    QX_SHARED(mSpdifInCodeA, kByte, &Q::OnSpdifInCodeAChanged),
    QX_SHARED(mCoaxOutCode, kByte, &Q::OnCoaxOutCodeChanged),
    QX_SHARED(mSpdifInCodeB, kByte, &Q::OnSpdifInCodeBChanged),
    QX_SHARED(mOption16, kByte, &Q::OnUnitOption16Changed),
};

#undef QX_SHARED

uint32_t Read(const SharedStateBlock& block, const WatchedShared& w) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(&block) + w.offset;
  if (w.width == WatchedShared::kByte) return *bytes;
  uint32_t word;
  std::memcpy(&word, bytes, sizeof word);
  return word;
}

void Write(SharedStateBlock& block, const WatchedShared& w, uint32_t value) {
  auto* bytes = reinterpret_cast<uint8_t*>(&block) + w.offset;
  if (w.width == WatchedShared::kByte)
    *bytes = static_cast<uint8_t>(value);
  else
    std::memcpy(bytes, &value, sizeof value);
}

}  // namespace

void QX531BaseDriverInterface::NotifyChangedValues(bool mainUnit) {
  for (const WatchedWord& w : kWatchedPreferences) {
    uint32_t value = mPreferences.*w.field;
    if (value == mLastPreferences.*w.field) continue;
    mLastPreferences.*w.field = value;
    (this->*w.notify)(value);
  }
  auto walk = [this](const WatchedShared& w) {
    uint32_t value = Read(mSharedState, w);
    if (value == Read(mLastSharedState, w)) return;
    Write(mLastSharedState, w, value);
    if (w.notify != nullptr)
      (this->*w.notify)(value);
    else
      OnPanelToggleRequest();
  };
  for (const WatchedShared& w : kWatchedShared) walk(w);
  if (!mainUnit) return;
  for (const WatchedShared& w : kWatchedMainShared) walk(w);
}

void QX531BaseDriverInterface::Poll() {
  DeviceHandle h = CurrentHandle();
  if (h == kNoDevice) {
    mPolledHandle = kNoDevice;
    // The loss of the last unit is reported once, as an empty table.
    if (mLastUnitRecords[0].mSerial != 0) {
      std::memset(mLastUnitRecords, 0, sizeof mLastUnitRecords);
      OnUnitRecords(mLastUnitRecords);
    }
    return;
  }
  bool handleChange = h != mPolledHandle || mHandleEvents != mLastHandleEvents;
  bool counted = GetChangeCountOf(h) == kQX531Success;
  uint32_t changeCount = mChangeCount;
  bool refresh = handleChange || (counted && changeCount != mLastChangeCount);
  if (!refresh) return;

  if (GetPreferencesOf(h, &mPreferences) != kQX531Success || GetSharedStateOf(h, &mSharedState) != kQX531Success)
    return;
  NotifyChangedValues(h == mMainHandle);

  if (GetUnitListCountOf(h) != kQX531Success) return;
  uint32_t listCount = mUnitListCount;
  bool listChange = listCount != mLastUnitListCount;
  bool records = handleChange || listChange;
  if (records) {
    if (GetUnitRecords(h, mUnitRecords) != kQX531Success) return;
    std::memcpy(mLastUnitRecords, mUnitRecords, sizeof mLastUnitRecords);
  }
  mPolledHandle = h;
  mLastHandleEvents = mHandleEvents;
  if (counted) mLastChangeCount = changeCount;
  mLastUnitListCount = listCount;
  if (records) OnUnitRecords(mLastUnitRecords);
}

void QX531BaseDriverInterface::PollActiveLcd() {
  if (GetActiveLcdCount() != kQX531Success || mLcdCount == mLastLcdCount) return;
  uint32_t count = mLcdCount;
  if (GetActiveLcdBlock() == kQX531Success) {
    mLastLcdCount = count;
    OnLcdBlock(mLcdBlock);
    return;
  }
  if (GetActiveLcdText() == kQX531Success) {
    mLastLcdCount = count;
    OnLcdText(mLcdText);
  }
}
