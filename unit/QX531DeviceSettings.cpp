#include "unit/QX531Device.h"

#include <iterator>

#include "unit/OvrTable.h"
#include "unit/RegisterMap.h"

namespace {

enum SettingStep : uint32_t {
  kStepRateAndClock,
  kStepProtocol,
  kStepConverterDelay,
  kStepMonitor,
  kStepBufferSize,
  kStepClientStreamOptions,
  kStepMasterFader,
  kStepOvr,
  kStepOpticalOut,
  kStepCoaxOut,
  kStepSpdifIn,
  kSettingSteps,
};

uint32_t MonitorCommand(uint32_t monitor) {
  switch (monitor) {
    case 1: return 0x100000;
    case 2: return 0x2001000;
    case 3: return 0x4001000;
    default: return 0;
  }
}

uint32_t OpticalOutCommand(uint32_t source) {
  switch (source) {
    case 1: return 0xC0000;
    case 2: return 0x840800;
    case 3: return 0x48800;
    case 4: return 0x80400;
    default: return 0;
  }
}

uint32_t CoaxOutCommand(uint32_t source) {
  switch (source) {
    case 1: return 0x20000;
    case 2: return 0x200;
    default: return 0;
  }
}

// The steps that write a register, and the watched words each one sends.
struct RegisterStep {
  SettingStep step;
  uint32_t firstId;
  uint32_t lastId;
};
constexpr RegisterStep kRegisterSteps[] = {
    {kStepRateAndClock, PreferencesBlock::kParamClockSource, PreferencesBlock::kParamSampleRate},
    {kStepMonitor, PreferencesBlock::kParamMonitorMode, PreferencesBlock::kParamMonitorMode},
    {kStepMasterFader, PreferencesBlock::kParamMasterFader, PreferencesBlock::kParamMasterFader},
    {kStepOvr, PreferencesBlock::kParamOvrThreshold, PreferencesBlock::kParamOvrThreshold},
    {kStepOpticalOut, PreferencesBlock::kParamOpticalOutSource, PreferencesBlock::kParamOpticalOutSource},
    {kStepCoaxOut, PreferencesBlock::kParamCoaxOutSource, PreferencesBlock::kParamCoaxOutSource},
    {kStepSpdifIn, PreferencesBlock::kParamSpdifInSource, PreferencesBlock::kParamSpdifInSource},
};

uint32_t SpdifInCommand(uint32_t source) {
  switch (source) {
    case 1: return 0x10000;
    case 2: return 0x100;
    default: return 0;
  }
}

}  // namespace

void QX531Device::SetPreference(uint32_t parameterId, uint32_t value) {
  if (parameterId > PreferencesBlock::kLastParameterId) return;
  mRequested.SetWord(parameterId, value);
  mPreferences.SetWord(parameterId, value);
  mSettingsWriter.NoteWork();
  if (mPluggedIn) KickSettingsWriter();
}

void QX531Device::KickSettingsWriter() { Kick(mSettingsWriter, &QX531Device::WriteSettingsToUnit); }

const QX531Device::WriterOps QX531Device::kSettingsOps = {
    &QX531Device::WriteSettingsToUnit, &QX531Device::IssueNextSetting, &QX531Device::SettingsWriteFailed,
    &QX531Device::DropQueuedSettings, WriterItems::Settings};

void QX531Device::WriteSettingsToUnit() { RunWriter(mSettingsWriter, kSettingsOps); }

// Handles the differences in order up to the first one that goes out as a register write. A
// refused write leaves its setting different, for the next kick.
QX531Device::WriterStep QX531Device::IssueNextSetting() {
  for (uint32_t step = 0; step < kSettingSteps; ++step) {
    if (IssueSettingStep(step)) return WriterStep::Issued;
  }
  return WriterStep::Idle;
}

// A step owed from a failed write stays owed when this write is refused too.
bool QX531Device::IssueSettingsWrite(uint32_t step, uint32_t offset, uint32_t value) {
  const uint32_t owed = mSettingsOwed;
  mSettingsOwed &= ~(1u << step);
  mSettingInFlight = step;
  mSettingsWriter.mValue = value;
  if (WriteQuadletAsync(mSettingsWriter.mHandle, offset, &mSettingsWriter.mValue, WriteDoneSettings, this) == 0) {
    return true;
  }
  mSettingsOwed = owed;
  return false;
}

bool QX531Device::IssueWatchedWrite(uint32_t step, uint32_t id, uint32_t offset, uint32_t value) {
  const uint32_t previous = mLastWritten.Word(id);
  mLastWritten.SetWord(id, mRequested.Word(id));
  if (IssueSettingsWrite(step, offset, value)) return true;
  mLastWritten.SetWord(id, previous);
  return false;
}

// The unit may hold the old value or the new one, so the step writes what is wanted by then,
// even when that is the value the copies say was sent.
uint32_t QX531Device::SettingsWriteFailed(bool sendAgain) {
  if (sendAgain) mSettingsOwed |= 1u << mSettingInFlight;
  return 1;
}

uint32_t QX531Device::DropQueuedSettings() {
  uint32_t dropped = 0;
  for (const RegisterStep& step : kRegisterSteps) {
    bool due = SettingOwed(step.step);
    for (uint32_t id = step.firstId; id <= step.lastId; id += 4) {
      due = due || mRequested.Word(id) != mLastWritten.Word(id);
      mLastWritten.SetWord(id, mRequested.Word(id));
    }
    if (due) ++dropped;
  }
  mSettingsOwed = 0;
  return dropped;
}

bool QX531Device::IssueSettingStep(uint32_t step) {
  const PreferencesBlock& want = mRequested;
  PreferencesBlock& sent = mLastWritten;
  switch (step) {
    case kStepRateAndClock: {
      if (want.mClockSource == sent.mClockSource && want.mSampleRate == sent.mSampleRate && !SettingOwed(step)) {
        return false;
      }
      const uint32_t previousClock = sent.mClockSource;
      const uint32_t previousRate = sent.mSampleRate;
      sent.mClockSource = want.mClockSource;
      sent.mSampleRate = want.mSampleRate;
      mSharedState.mClockSource = static_cast<uint8_t>(want.mClockSource);
      mSharedState.mSampleRate = want.mSampleRate;
      BumpChangeCount();
      SetClockSource(want.mClockSource);
      SetSampleRate(want.mSampleRate);
      if (mStreaming) {
        // The stream engine programs the rate while the streams run.
        mSettingsOwed &= ~(1u << step);
        return false;
      }
      mPacketParam = PacketParameter(want.mSampleRate);
      if (IssueSettingsWrite(step, QX5310_RATE_CLOCK, want.mClockSource | RateCode(want.mSampleRate))) return true;
      sent.mClockSource = previousClock;
      sent.mSampleRate = previousRate;
      return false;
    }
    case kStepProtocol:
      if (want.mControlProtocol == sent.mControlProtocol) return false;
      sent.mControlProtocol = want.mControlProtocol;
      if (const uint8_t mode = EmulationModeOfProtocol(want.mControlProtocol); mode != 0) {
        mSurface.mEmulationMode = mode;
      }
      return false;
    case kStepConverterDelay:
      if (want.mConverterDelay == sent.mConverterDelay) return false;
      sent.mConverterDelay = want.mConverterDelay;
      mConverterDelay = want.mConverterDelay;
      return false;
    case kStepMonitor:
      if (want.mMonitorMode == sent.mMonitorMode && !SettingOwed(step)) return false;
      return IssueWatchedWrite(step, PreferencesBlock::kParamMonitorMode, QX5310_CONTROL_BITS,
                               MonitorCommand(want.mMonitorMode));
    case kStepBufferSize:
      if (want.mBufferSizeIndex == sent.mBufferSizeIndex) return false;
      sent.mBufferSizeIndex = want.mBufferSizeIndex;
      if (mStreaming) {
        StopClientStreams();
      } else if (want.mBufferSizeIndex < std::size(kBufferFrames)) {
        SetBufferFrames(kBufferFrames[want.mBufferSizeIndex]);
      }
      return false;
    case kStepClientStreamOptions:
      for (uint32_t id : {PreferencesBlock::kParamOption6, PreferencesBlock::kParamOption7,
                          PreferencesBlock::kParamContinuousInputs, PreferencesBlock::kParamContinuousOutputs}) {
        if (want.Word(id) == sent.Word(id)) continue;
        sent.SetWord(id, want.Word(id));
        RefreshClientStreams();
      }
      return false;
    case kStepMasterFader:
      if (want.mMasterFader == sent.mMasterFader && !SettingOwed(step)) return false;
      return IssueWatchedWrite(step, PreferencesBlock::kParamMasterFader, QX5310_CONTROL_BITS,
                               want.mMasterFader == 2 ? 0x4000 : 0x400000);
    case kStepOvr:
      if (want.mOvrThreshold == sent.mOvrThreshold && !SettingOwed(step)) return false;
      return IssueWatchedWrite(step, PreferencesBlock::kParamOvrThreshold, QX5310_OVR_LEVEL,
                               static_cast<uint32_t>(OvrLevel(want.mOvrThreshold)) << 16 | 0x104);
    case kStepOpticalOut:
      if (want.mOpticalOutSource == sent.mOpticalOutSource && !SettingOwed(step)) return false;
      if (!IssueWatchedWrite(step, PreferencesBlock::kParamOpticalOutSource, QX5310_CONTROL_BITS,
                             OpticalOutCommand(want.mOpticalOutSource))) {
        return false;
      }
      mSharedState.SetOpticalOutCode(want.mOpticalOutSource, want.mCoaxOutSource);
      BumpChangeCount();
      return true;
    case kStepCoaxOut:
      if (want.mCoaxOutSource == sent.mCoaxOutSource && !SettingOwed(step)) return false;
      if (!IssueWatchedWrite(step, PreferencesBlock::kParamCoaxOutSource, QX5310_CONTROL_BITS,
                             CoaxOutCommand(want.mCoaxOutSource))) {
        return false;
      }
      mSharedState.SetCoaxOutCode(want.mCoaxOutSource);
      mSharedState.SetOpticalOutCode(want.mOpticalOutSource, want.mCoaxOutSource);
      BumpChangeCount();
      return true;
    case kStepSpdifIn:
      if (want.mSpdifInSource == sent.mSpdifInSource && !SettingOwed(step)) return false;
      if (!IssueWatchedWrite(step, PreferencesBlock::kParamSpdifInSource, QX5310_CONTROL_BITS,
                             SpdifInCommand(want.mSpdifInSource))) {
        return false;
      }
      mSharedState.SetSpdifInCodes(want.mSpdifInSource);
      BumpChangeCount();
      return true;
    default:
      return false;
  }
}
