#include <algorithm>
#include <atomic>
#include <cstring>

#include "unit/QX531Device.h"
#include "unit/RegisterMap.h"

namespace {

constexpr uint32_t kStreamMaskLampTest = 0x04;
constexpr uint32_t kStreamMaskFaderTest = 0x08;
constexpr uint32_t kRateClockBits = 0x8307;
constexpr uint32_t kTestFaders = 9;
constexpr uint32_t kFaderTravel = 1023;
constexpr uint32_t kTouchSlot = 11;

// The lamp and fader tests run one sequence for every unit that has them switched on.
std::atomic<uint32_t> gLampTestDispatches{0};
std::atomic<uint32_t> gLampTestLamp{0};
std::atomic<uint32_t> gFaderTestDispatches{0};
std::atomic<uint32_t> gFaderRamps[kTestFaders] = {};

}  // namespace

// Only the last blocks of a buffer are read: 64 blocks carry every word at least once.
void QX531Device::HandleStatusWords(uint32_t blocks) {
  const uint32_t end = std::min(blocks, kChannelArrayEntries);
  const uint32_t first = end > StatusWords::kWords ? end - StatusWords::kWords : 0;
  mStatusWords.Take(mStatusIndex + first, mStatusValue + first, end - first);
  mTotalFrames += blocks;
  mFramesSinceDispatch += blocks;
  if (mFramesSinceDispatch < mSampleRate / 200) return;
  mFramesSinceDispatch = 0;
  DispatchSurfaceState();

  const uint32_t programming = mStatusWords.mWords[StatusWords::kProgrammingWord];
  if (programming != mLastProgrammingWord) {
    if (mLastProgrammingWord == 0 && programming != 0 && !mPanelAttached) OnPanelRequest();
    mLastProgrammingWord = programming;
    mSharedState.mProgrammingWord = programming;
    BumpChangeCount();
  }
  TakeRateAndClock(mStatusWords.mWords[StatusWords::kRateClockWord]);
  TakeSyncWord(mStatusWords.mWords[StatusWords::kSyncWord]);
  RunSurfaceTests();
}

void QX531Device::TakeRateAndClock(uint32_t word) {
  if (word == mLastRateClockWord) return;
  mLastRateClockWord = word;
  const uint32_t code = word & kRateClockBits;
  if (code == mLastRateClockCode) return;
  LogLabelHex("New sample rate/clock: ", code);
  mLastRateClockCode = code;
  const uint32_t clock = code & kRateClockClockBits;
  if (clock >= 1 && clock <= 4) {
    mSharedState.mClockSource = static_cast<uint8_t>(clock);
    mPreferences.mClockSource = mRequested.mClockSource = mLastWritten.mClockSource = clock;
  }
  if (const uint32_t rate = SampleRateOfCode(code); rate != 0) {
    mPreferences.mSampleRate = mRequested.mSampleRate = mLastWritten.mSampleRate = rate;
    mSharedState.mSampleRate = rate;
  }
  SetSampleRate(mRequested.mSampleRate);
  SetClockSource(mRequested.mClockSource);
  BumpChangeCount();
}

// A unit that lost sync is re-programmed with the current rate and clock.
void QX531Device::TakeSyncWord(uint32_t word) {
  if (word == mLastSyncWord) return;
  mLastSyncWord = word;
  if ((word & 0x1D) == 0 && (word & 0xC0) == 0) return;
  mRateWord = mClockSource | RateCode(mSampleRate);
  mPacketParam = PacketParameter(mSampleRate);
  mReprogramAsked = 1;
  SignalForIsocReinitialize();
}

void QX531Device::RunSurfaceTests() {
  if ((mStreamMask & kStreamMaskLampTest) && gLampTestDispatches.fetch_add(1) % 2 == 1) {
    const uint32_t previous = gLampTestLamp.load();
    const uint32_t next = previous >= kLastLampId ? 0 : previous + 1;
    gLampTestLamp.store(next);
    SetLamp(previous, 0);
    SetLamp(next, 1);
  }
  if ((mStreamMask & kStreamMaskFaderTest) && gFaderTestDispatches.fetch_add(1) % 4 == 3) {
    const uint16_t untouched = mStatusWords.Slot(kTouchSlot);
    for (uint32_t j = 1; j <= kTestFaders; ++j) {
      std::atomic<uint32_t>& ramp = gFaderRamps[j - 1];
      if (!(untouched & (1u << (j - 1)))) {
        ramp.store(j * (mStatusWords.Slot(j - 1) & 0x3FF));
        continue;
      }
      uint32_t value = ramp.load() + 32;
      if (value / j > kFaderTravel) value = 0;
      ramp.store(value);
      SetFaderMotor(j - 1, value / j);
    }
  }
}

void QX531Device::DispatchSurfaceState() {
  uint8_t buttons[16];
  uint16_t faders[12];
  int16_t encoders[12];
  std::memcpy(buttons, &mStatusWords.mWords[6], sizeof buttons);
  for (uint32_t i = 0; i < 12; ++i) {
    faders[i] = mStatusWords.Slot(i);
    encoders[i] = static_cast<int16_t>(mStatusWords.Slot(20 + i));
  }
  EngineLockGuard guard(*this, EngineLock::Surface);
  mSurface.HandleButtonState(buttons);
  mSurface.HandleFaderState(faders);
  mSurface.HandleEncoderState(encoders);
}

// Each 4-byte record is {slot, value high, value low, unused}; the window is read no further than
// its own 256 bytes, whatever length the write reports.
void QX531Device::HandleAsyncReceive(uint32_t length) {
  if (length % 4 != 0) return;
  const uint32_t bytes = std::min(length, kAsyncReceiveBytes);
  for (uint32_t i = 0; i < bytes; i += 4) {
    const uint8_t* record = &mAsyncReceiveBuffer[i];
    if (record[0] < StatusWords::kSlots) mStatusWords.SetSlot(record[0], static_cast<uint16_t>(record[1] << 8 | record[2]));
  }
  DispatchSurfaceState();
}
