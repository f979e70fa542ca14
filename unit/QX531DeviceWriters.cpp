#include "unit/QX531Device.h"

#include "unit/RegisterMap.h"

namespace {

// Debug-log labels, padded as the plug-in's so that the values line up.
constexpr const char* kDroppedLabels[kWriterItemKinds] = {
    "QX5310DeviceWriter lamps dropped                ",
    "QX5310DeviceWriter fader targets dropped        ",
    "QX5310DeviceWriter MIDI-out events dropped      ",
    "QX5310DeviceWriter settings dropped             ",
    "QX5310DeviceWriter notify addresses dropped     ",
    "QX5310DeviceWriter stream writes dropped        ",
};

}  // namespace

const QX531Device::WriterOps QX531Device::kLampOps = {
    &QX531Device::WriteNextLamp, &QX531Device::IssueNextLamp, &QX531Device::LampWriteFailed,
    &QX531Device::DropQueuedLamps, WriterItems::Lamps};
const QX531Device::WriterOps QX531Device::kFaderOps = {
    &QX531Device::WriteNextFader, &QX531Device::IssueNextFader, &QX531Device::FaderWriteFailed,
    &QX531Device::DropQueuedFaders, WriterItems::FaderTargets};
const QX531Device::WriterOps QX531Device::kMidiOutOps = {
    &QX531Device::WriteNextMIDIOut, &QX531Device::IssueNextMIDIOut, &QX531Device::MIDIOutWriteFailed,
    &QX531Device::DropQueuedMIDIOut, WriterItems::MidiOutEvents};
const QX531Device::WriterOps QX531Device::kNotifyOps = {
    &QX531Device::WriteNotifyAddresses, &QX531Device::IssueNextNotifyAddress, &QX531Device::NotifyWriteFailed,
    &QX531Device::DropQueuedNotifyAddresses, WriterItems::NotifyAddresses};

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

void QX531Device::Nudge(QueuedWriter& writer, const WriterOps& ops) {
  writer.NoteWork();
  Kick(writer, ops.run);
}

// Runs with busy held. An item whose write was refused, or failed inside the issuing call, waits
// for the next kick: a unit that cannot be reached now is not asked again in a loop. Once the
// unit has left, the writer drops what is queued instead of sending it.
void QX531Device::RunWriter(QueuedWriter& writer, const WriterOps& ops) {
  for (;;) {
    const uint32_t seen = writer.Work();
    writer.mIssuedWork = seen;
    writer.BeginIssue();
    WriterStep result = WriterStep::Idle;
    if (mPluggedIn) {
      result = (this->*ops.issue)();
    } else {
      CountDropped(ops.items, (this->*ops.drop)());
    }
    const QueuedWriter::IssueEnd end = writer.EndIssue();
    if (result == WriterStep::Issued) {
      if (end == QueuedWriter::IssueEnd::Outstanding) return;
      if (end == QueuedWriter::IssueEnd::Completed) continue;
    }
    writer.ClearBusy();
    if (writer.Work() == seen || !writer.TryTakeBusy()) return;
  }
}

// The completion holds busy for its writer. A write to be sent again leaves its item due and the
// writer idle, unless work arrived since the write was issued (a new item, or the kick of a bus
// reset handled meanwhile): then the unit is asked again at once.
void QX531Device::CompleteWrite(QueuedWriter& writer, uint32_t status, const WriterOps& ops) {
  const WriteOutcome outcome = ClassifyWriteStatus(status);
  const bool sendAgain = outcome == WriteOutcome::SendAgain;
  if (outcome == WriteOutcome::Dropped) {
    LogLabelHex(kErrorResponseLabel, status);
    CountDropped(ops.items, (this->*ops.failed)(false));
  } else if (sendAgain) {
    (this->*ops.failed)(true);
  }
  if (writer.CompleteWhileIssuing(sendAgain)) return;
  if (!sendAgain) {
    (this->*ops.run)();
    return;
  }
  const uint32_t issued = writer.mIssuedWork;
  writer.ClearBusy();
  if (writer.Work() != issued && writer.TryTakeBusy()) (this->*ops.run)();
}

void QX531Device::CountDropped(WriterItems items, uint32_t count) {
  if (count == 0) return;
  const uint32_t total = mDroppedItems[static_cast<uint32_t>(items)].fetch_add(count) + count;
  LogLabelDecimal(kDroppedLabels[static_cast<uint32_t>(items)], static_cast<int32_t>(total));
}

int32_t QX531Device::WriteDoneLamp(void* context, uint32_t status) {
  auto& unit = *static_cast<QX531Device*>(context);
  unit.CompleteWrite(unit.mLampWriter, status, kLampOps);
  return 0;
}

int32_t QX531Device::WriteDoneFader(void* context, uint32_t status) {
  auto& unit = *static_cast<QX531Device*>(context);
  unit.CompleteWrite(unit.mFaderWriter, status, kFaderOps);
  return 0;
}

int32_t QX531Device::WriteDoneMIDIOut(void* context, uint32_t status) {
  auto& unit = *static_cast<QX531Device*>(context);
  unit.CompleteWrite(unit.mMidiOutWriter, status, kMidiOutOps);
  return 0;
}

int32_t QX531Device::WriteDoneSettings(void* context, uint32_t status) {
  auto& unit = *static_cast<QX531Device*>(context);
  unit.CompleteWrite(unit.mSettingsWriter, status, kSettingsOps);
  return 0;
}

int32_t QX531Device::WriteDoneNotify(void* context, uint32_t status) {
  auto& unit = *static_cast<QX531Device*>(context);
  unit.mNotifyEnableOut.store(0);
  unit.CompleteWrite(unit.mNotifyWriter, status, kNotifyOps);
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

void QX531Device::WriteNextLamp() { RunWriter(mLampWriter, kLampOps); }

QX531Device::WriterStep QX531Device::IssueNextLamp() {
  for (uint32_t group = 0; group < kLampGroups; ++group) {
    if (!mLampDirty[group].exchange(0)) continue;
    for (uint32_t position = 0; position < 16; ++position) {
      const uint32_t id = group * 16 + position;
      const uint8_t desired = mLampDesired[id].load();
      if (mLampSent[id].load() == desired && !mLampOwed[id]) continue;
      mLampSent[id].store(desired);
      mLampOwed[id] = 0;
      const uint8_t code = mSurface.mLampCodes[id];
      if (code == SurfaceEmulator::kNoLamp) continue;
      if (position != 15) mLampDirty[group].store(1);
      mLampInFlight = id;
      mLampWriter.mValue = static_cast<uint32_t>(desired) << 16 | code;
      if (WriteQuadletAsync(mLampWriter.mHandle, QX5310_LAMP, &mLampWriter.mValue, WriteDoneLamp, this) == 0) {
        return WriterStep::Issued;
      }
      LampWriteFailed(true);
      return WriterStep::Refused;
    }
  }
  return WriterStep::Idle;
}

uint32_t QX531Device::LampWriteFailed(bool sendAgain) {
  if (sendAgain) {
    mLampOwed[mLampInFlight] = 1;
    mLampDirty[mLampInFlight / 16].store(1);
  }
  return 1;
}

// Lamps without hardware on this unit were never going to be written, so they are not counted.
uint32_t QX531Device::DropQueuedLamps() {
  uint32_t dropped = 0;
  for (uint32_t group = 0; group < kLampGroups; ++group) {
    if (!mLampDirty[group].exchange(0)) continue;
    for (uint32_t id = group * 16; id < group * 16 + 16; ++id) {
      const uint8_t desired = mLampDesired[id].load();
      if (mLampSent[id].load() == desired && !mLampOwed[id]) continue;
      mLampSent[id].store(desired);
      mLampOwed[id] = 0;
      if (mSurface.mLampCodes[id] != SurfaceEmulator::kNoLamp) ++dropped;
    }
  }
  return dropped;
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

void QX531Device::WriteNextFader() { RunWriter(mFaderWriter, kFaderOps); }

QX531Device::WriterStep QX531Device::IssueNextFader() {
  for (uint32_t fader = 0; fader <= kLastFader; ++fader) {
    if (!mFaderPending[fader].exchange(0)) continue;
    if (mSurface.mFaderTouched[fader] || mSurface.mFaderTouchLatch[fader]) continue;
    mFaderSent[fader] = mFaderTarget[fader].load();
    mFaderInFlight = fader;
    mFaderWriter.mValue = fader | mFaderSent[fader] << 16;
    if (WriteQuadletAsync(mFaderWriter.mHandle, QX5310_FADER_MOTOR, &mFaderWriter.mValue, WriteDoneFader, this) == 0) {
      return WriterStep::Issued;
    }
    FaderWriteFailed(true);
    return WriterStep::Refused;
  }
  return WriterStep::Idle;
}

// The target is kept; the fader goes again to whatever target it has by then.
uint32_t QX531Device::FaderWriteFailed(bool sendAgain) {
  if (sendAgain) mFaderPending[mFaderInFlight].store(1);
  return 1;
}

// A touched fader would not have been driven, so it is not counted.
uint32_t QX531Device::DropQueuedFaders() {
  uint32_t dropped = 0;
  for (uint32_t fader = 0; fader <= kLastFader; ++fader) {
    if (!mFaderPending[fader].exchange(0)) continue;
    if (!mSurface.mFaderTouched[fader] && !mSurface.mFaderTouchLatch[fader]) ++dropped;
  }
  return dropped;
}

// Producers are serialised by the ring lock. The ring keeps one slot free, and a full ring drops
// the event rather than overwrite bytes the bus still has to take.
bool QX531Device::MidiOutRingFull() {
  EngineLockGuard guard(*this, EngineLock::MidiOutRing);
  return (mMidiOutWrite + 4) % kMidiOutRingBytes == mMidiOutKept.load();
}

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

void QX531Device::WriteNextMIDIOut() { RunWriter(mMidiOutWriter, kMidiOutOps); }

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
  mMidiOutInFlight = length;
  if (WriteBlockAsync(mMidiOutWriter.mHandle, QX5310_MIDI_OUT_WINDOW, &mMidiOutRing[read], length, WriteDoneMIDIOut,
                      this) == 0) {
    return WriterStep::Issued;
  }
  MIDIOutWriteFailed(true);
  return WriterStep::Refused;
}

// A block to be sent again goes from the same ring position, with whatever events followed it.
uint32_t QX531Device::MIDIOutWriteFailed(bool sendAgain) {
  if (sendAgain) mMidiOutRead = mMidiOutKept.load();
  return mMidiOutInFlight / 4;
}

uint32_t QX531Device::DropQueuedMIDIOut() {
  const uint32_t end = mMidiOutEnd.load();
  const uint32_t bytes = (end + kMidiOutRingBytes - mMidiOutRead) % kMidiOutRingBytes;
  mMidiOutRead = end;
  mMidiOutKept.store(end);
  return bytes / 4;
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
  Nudge(mNotifyWriter, kNotifyOps);
}

void QX531Device::WriteNotifyAddresses() { RunWriter(mNotifyWriter, kNotifyOps); }

namespace {

bool IsNotifyEnable(uint32_t offset) {
  return offset == QX5310_MIDI_NOTIFY_ENABLE || offset == QX5310_ASYNC_NOTIFY_ENABLE;
}

}  // namespace

// The enable registers wait while MIDI is stopped; the next start marks everything again. A stop
// that found an enable on its way is owed its zeros, written after that enable.
QX531Device::WriterStep QX531Device::IssueNextNotifyAddress() {
  for (uint32_t i = 0; i < kNotifyRegisters; ++i) {
    const uint32_t offset = kNotifyOffsets[i];
    const bool enable = IsNotifyEnable(offset);
    // Marked before MIDI is looked at, so a stop either sees the mark or this sees the stop.
    if (enable && mNotifyPending[i].load()) mNotifyEnableOut.store(1);
    bool stopZero = false;
    if (enable && !mMidiRunning) {
      mNotifyEnableOut.store(0);
      const auto bit = static_cast<uint8_t>(1u << i);
      if ((mNotifyStopOwed.fetch_and(static_cast<uint8_t>(~bit)) & bit) == 0) continue;
      mNotifyWriter.mValue = 0;
      stopZero = true;
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
    mNotifyInFlight = i;
    mNotifyInFlightStopZero = stopZero;
    if (WriteQuadletAsync(mNotifyWriter.mHandle, offset, &mNotifyWriter.mValue, WriteDoneNotify, this) == 0) {
      return WriterStep::Issued;
    }
    mNotifyEnableOut.store(0);
    NotifyWriteFailed(true);
    return WriterStep::Refused;
  }
  return WriterStep::Idle;
}

// The register goes again with the node and window of the bus as it is by then; a stop's zero
// that failed stays owed.
uint32_t QX531Device::NotifyWriteFailed(bool sendAgain) {
  if (!sendAgain) return 1;
  if (mNotifyInFlightStopZero) {
    mNotifyStopOwed.fetch_or(static_cast<uint8_t>(1u << mNotifyInFlight));
  } else {
    mNotifyPending[mNotifyInFlight].store(1);
  }
  return 1;
}

// An enable register waiting for MIDI to run would not have gone out, so it is not counted.
uint32_t QX531Device::DropQueuedNotifyAddresses() {
  uint32_t dropped = 0;
  for (uint32_t i = 0; i < kNotifyRegisters; ++i) {
    if (!mNotifyPending[i].exchange(0)) continue;
    if (!IsNotifyEnable(kNotifyOffsets[i]) || mMidiRunning) ++dropped;
  }
  return dropped;
}
