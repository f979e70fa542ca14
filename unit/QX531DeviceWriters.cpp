#include "unit/QX531Device.h"

#include "unit/RegisterMap.h"

// The kick that finds the guard taken leaves the work to the guard's holder, which looks again
// once it lets the guard go; a writer that gives busy up looks again too. So no recorded item is
// left behind, and only the one who holds busy ever runs the writer.
void QX531Device::Kick(QueuedWriter& writer, void (QX531Device::*runWriter)()) {
  for (;;) {
    const uint32_t seen = writer.Work();
    if (!writer.TryEnterGuard()) return;
    if (writer.TryTakeBusy()) (this->*runWriter)();
    writer.LeaveGuard();
    if (writer.Work() == seen) return;
  }
}

void QX531Device::RunWriter(QueuedWriter& writer, IssueStep step) {
  for (;;) {
    const uint32_t seen = writer.Work();
    writer.BeginIssue();
    const WriterStep result = mPluggedIn ? (this->*step)() : WriterStep::Idle;
    const bool completedWhileIssuing = writer.EndIssue();
    if (result == WriterStep::Issued) {
      if (completedWhileIssuing) continue;
      return;
    }
    writer.ClearBusy();
    if (writer.Work() == seen || !writer.TryTakeBusy()) return;
  }
}

void QX531Device::CompleteWrite(QX531Device& unit, QueuedWriter& writer, void (QX531Device::*runWriter)()) {
  if (writer.CompleteWhileIssuing()) return;
  (unit.*runWriter)();
}

int32_t QX531Device::WriteDoneLamp(void* context, uint32_t) {
  auto& unit = *static_cast<QX531Device*>(context);
  CompleteWrite(unit, unit.mLampWriter, &QX531Device::WriteNextLamp);
  return 0;
}

int32_t QX531Device::WriteDoneFader(void* context, uint32_t) {
  auto& unit = *static_cast<QX531Device*>(context);
  CompleteWrite(unit, unit.mFaderWriter, &QX531Device::WriteNextFader);
  return 0;
}

int32_t QX531Device::WriteDoneMIDIOut(void* context, uint32_t) {
  auto& unit = *static_cast<QX531Device*>(context);
  CompleteWrite(unit, unit.mMidiOutWriter, &QX531Device::WriteNextMIDIOut);
  return 0;
}

int32_t QX531Device::WriteDoneSettings(void* context, uint32_t) {
  auto& unit = *static_cast<QX531Device*>(context);
  CompleteWrite(unit, unit.mSettingsWriter, &QX531Device::WriteSettingsToUnit);
  return 0;
}

int32_t QX531Device::WriteDoneNotify(void* context, uint32_t) {
  auto& unit = *static_cast<QX531Device*>(context);
  unit.mNotifyEnableOut.store(0);
  CompleteWrite(unit, unit.mNotifyWriter, &QX531Device::WriteNotifyAddresses);
  return 0;
}

void QX531Device::SetLamp(uint32_t lampId, uint32_t state) {
  const auto desired = static_cast<uint8_t>(state);
  if (lampId > kLastLampId || mLampDesired[lampId].load() == desired) return;
  mLampDesired[lampId].store(desired);
  mLampDirty[lampId / 16].store(1);
  mLampWriter.NoteWork();
  if (mPluggedIn) KickLampWriter();
}

void QX531Device::ForceLamp(uint32_t lampId, uint32_t state) {
  if (lampId > kLastLampId) return;
  const auto desired = static_cast<uint8_t>(state);
  mLampDesired[lampId].store(desired);
  mLampSent[lampId].store(desired ^ 1);
  mLampDirty[lampId / 16].store(1);
  mLampWriter.NoteWork();
  if (mPluggedIn) KickLampWriter();
}

void QX531Device::KickLampWriter() { Kick(mLampWriter, &QX531Device::WriteNextLamp); }

void QX531Device::WriteNextLamp() { RunWriter(mLampWriter, &QX531Device::IssueNextLamp); }

QX531Device::WriterStep QX531Device::IssueNextLamp() {
  for (uint32_t group = 0; group < kLampGroups; ++group) {
    if (!mLampDirty[group].exchange(0)) continue;
    for (uint32_t position = 0; position < 16; ++position) {
      const uint32_t id = group * 16 + position;
      const uint8_t desired = mLampDesired[id].load();
      if (mLampSent[id].load() == desired) continue;
      mLampSent[id].store(desired);
      const uint8_t code = mSurface.mLampCodes[id];
      if (code == SurfaceEmulator::kNoLamp) continue;
      if (position != 15) mLampDirty[group].store(1);
      mLampWriter.mValue = static_cast<uint32_t>(desired) << 16 | code;
      return WriteQuadletAsync(mLampWriter.mHandle, QX5310_LAMP, &mLampWriter.mValue, WriteDoneLamp, this) == 0
                 ? WriterStep::Issued
                 : WriterStep::Refused;
    }
  }
  return WriterStep::Idle;
}

void QX531Device::SetFaderMotor(uint32_t fader, uint32_t position) {
  if (fader > kLastFader || mSurface.mFaderTouched[fader]) return;
  if (mFaderTarget[fader].load() == position && !mSurface.mFaderTouchLatch[fader]) return;
  mFaderTarget[fader].store(position);
  mSurface.mFaderTouchLatch[fader] = 0;
  mFaderPending[fader].store(1);
  mFaderWriter.NoteWork();
  if (mPluggedIn) KickFaderWriter();
}

void QX531Device::KickFaderWriter() { Kick(mFaderWriter, &QX531Device::WriteNextFader); }

void QX531Device::WriteNextFader() { RunWriter(mFaderWriter, &QX531Device::IssueNextFader); }

QX531Device::WriterStep QX531Device::IssueNextFader() {
  for (uint32_t fader = 0; fader <= kLastFader; ++fader) {
    if (!mFaderPending[fader].exchange(0)) continue;
    if (mSurface.mFaderTouched[fader] || mSurface.mFaderTouchLatch[fader]) continue;
    mFaderSent[fader] = mFaderTarget[fader].load();
    mFaderWriter.mValue = fader | mFaderSent[fader] << 16;
    return WriteQuadletAsync(mFaderWriter.mHandle, QX5310_FADER_MOTOR, &mFaderWriter.mValue, WriteDoneFader, this) == 0
               ? WriterStep::Issued
               : WriterStep::Refused;
  }
  return WriterStep::Idle;
}

// Producers are serialised by the ring lock. The ring keeps one slot free, and a full ring drops
// the event rather than overwrite bytes the bus still has to take.
void QX531Device::SendMIDIOut(uint32_t event) {
  if (!mPluggedIn) return;
  if ((event >> 28) == 4) {
    EngineLockGuard guard(*this, EngineLock::Surface);
    mSurface.HandleSurfaceMIDIEvent(event);
    return;
  }
  {
    EngineLockGuard guard(*this, EngineLock::MidiOutRing);
    const uint32_t next = (mMidiOutWrite + 4) % kMidiOutRingBytes;
    if (next == mMidiOutKept.load()) {
      mMidiOutDropped.fetch_add(1);
      return;
    }
    uint8_t* slot = &mMidiOutRing[mMidiOutWrite];
    slot[0] = static_cast<uint8_t>(event >> 24);
    slot[1] = static_cast<uint8_t>(event >> 16);
    slot[2] = static_cast<uint8_t>(event >> 8);
    slot[3] = static_cast<uint8_t>(event);
    mMidiOutWrite = next;
    mMidiOutEnd.store(next);
  }
  mMidiOutWriter.NoteWork();
  KickMIDIOutWriter();
}

void QX531Device::KickMIDIOutWriter() { Kick(mMidiOutWriter, &QX531Device::WriteNextMIDIOut); }

void QX531Device::WriteNextMIDIOut() { RunWriter(mMidiOutWriter, &QX531Device::IssueNextMIDIOut); }

void QX531Device::ArmMIDIOutDoneNotice(void (*routine)(void*), void* context) {
  mMidiOutNoticeRoutine = routine;
  mMidiOutNoticeContext = context;
  mMidiOutNoticeArmed.store(1);
}

// One block of at most 64 bytes, never across the ring's end.
QX531Device::WriterStep QX531Device::IssueNextMIDIOut() {
  if (mMidiOutNoticeArmed.load() && mMidiOutNoticeRoutine != nullptr && mMidiOutNoticeContext != nullptr &&
      mMidiOutNoticeArmed.exchange(0)) {
    mMidiOutNoticeRoutine(mMidiOutNoticeContext);
  }
  const uint32_t read = mMidiOutRead;
  mMidiOutKept.store(read);
  const uint32_t end = mMidiOutEnd.load();
  if (read == end) return WriterStep::Idle;
  uint32_t length = (end < read ? kMidiOutRingBytes : end) - read;
  if (length > kMidiOutBlockBytes) length = kMidiOutBlockBytes;
  mMidiOutRead = (read + length) % kMidiOutRingBytes;
  if (WriteBlockAsync(mMidiOutWriter.mHandle, QX5310_MIDI_OUT_WINDOW, &mMidiOutRing[read], length, WriteDoneMIDIOut,
                      this) != 0) {
    mMidiOutKept.store(mMidiOutRead);
    return WriterStep::Refused;
  }
  return WriterStep::Issued;
}

namespace {

constexpr uint32_t kNotifyOffsets[] = {
    QX5310_MIDI_NOTIFY_HI,  QX5310_MIDI_NOTIFY_LO,  QX5310_MIDI_NOTIFY_ENABLE,
    QX5310_ASYNC_NOTIFY_HI, QX5310_ASYNC_NOTIFY_LO, QX5310_ASYNC_NOTIFY_ENABLE,
};

}  // namespace

void QX531Device::ProgramNotifyAddresses() {
  const uint32_t count = mHasAsyncWindow ? kNotifyRegisters : 3;
  for (uint32_t i = 0; i < count; ++i) mNotifyPending[i].store(1);
  mNotifyWriter.NoteWork();
  Kick(mNotifyWriter, &QX531Device::WriteNotifyAddresses);
}

void QX531Device::WriteNotifyAddresses() { RunWriter(mNotifyWriter, &QX531Device::IssueNextNotifyAddress); }

// The enable registers wait while MIDI is stopped; the next start marks everything again. A stop
// that found an enable on its way is owed its zeros, written after that enable.
QX531Device::WriterStep QX531Device::IssueNextNotifyAddress() {
  for (uint32_t i = 0; i < kNotifyRegisters; ++i) {
    const uint32_t offset = kNotifyOffsets[i];
    const bool enable = offset == QX5310_MIDI_NOTIFY_ENABLE || offset == QX5310_ASYNC_NOTIFY_ENABLE;
    // Marked before MIDI is looked at, so a stop either sees the mark or this sees the stop.
    if (enable && mNotifyPending[i].load()) mNotifyEnableOut.store(1);
    if (enable && !mMidiRunning) {
      mNotifyEnableOut.store(0);
      const auto bit = static_cast<uint8_t>(1u << i);
      if ((mNotifyStopOwed.fetch_and(static_cast<uint8_t>(~bit)) & bit) == 0) continue;
      mNotifyWriter.mValue = 0;
    } else {
      if (!mNotifyPending[i].load()) continue;
      mNotifyPending[i].store(0);
      const uint32_t node = (0xFFC0u | mlocalNodeNum) << 16;
      switch (offset) {
        case QX5310_MIDI_NOTIFY_HI: mNotifyWriter.mValue = node | mMIDIReceiveHi; break;
        case QX5310_MIDI_NOTIFY_LO: mNotifyWriter.mValue = mMIDIReceiveLo; break;
        case QX5310_ASYNC_NOTIFY_HI: mNotifyWriter.mValue = node | mAsyncReceiveHi; break;
        case QX5310_ASYNC_NOTIFY_LO: mNotifyWriter.mValue = mAsyncReceiveLo; break;
        default: mNotifyWriter.mValue = 1; break;
      }
    }
    if (WriteQuadletAsync(mNotifyWriter.mHandle, offset, &mNotifyWriter.mValue, WriteDoneNotify, this) == 0)
      return WriterStep::Issued;
    mNotifyEnableOut.store(0);
    return WriterStep::Refused;
  }
  return WriterStep::Idle;
}
