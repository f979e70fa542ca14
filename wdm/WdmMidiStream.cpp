#include "wdm/WdmMidiStream.h"

#include "wdm/WdmMiniportMidi.h"

WdmMidiStream::WdmMidiStream(PUNKNOWN outerUnknown, WdmMiniportMidi* miniport, BOOLEAN capture)
    : CUnknown(outerUnknown), mMiniport(miniport), mPortNumber(miniport->PortNumber()), mCapture(capture) {
  KeInitializeSpinLock(&mLock);
  InitializeMidiParser(&mParser, static_cast<LONG>(mPortNumber));
  mMiniport->AddRef();
  mMiniport->StreamOpened(this);
}

WdmMidiStream::~WdmMidiStream() {
  mState = KSSTATE_STOP;
  mMiniport->StreamClosed(this);
  mMiniport->Release();
}

NTSTATUS WdmMidiStream::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (IsEqualGUID(iid, IID_IUnknown)) return CUnknown::NonDelegatingQueryInterface(iid, object);
  if (IsEqualGUID(iid, IID_IMiniportMidiStream)) {
    *object = static_cast<IMiniportMidiStream*>(this);
    AddRef();
    return STATUS_SUCCESS;
  }
  *object = nullptr;
  return STATUS_INVALID_PARAMETER;
}

NTSTATUS WdmMidiStream::SetFormat(PKSDATAFORMAT) { return STATUS_SUCCESS; }

NTSTATUS WdmMidiStream::SetState(KSSTATE state) {
  PAGED_CODE();
  mState = state;
  // Port class drops the unwritten rest of a stopped render pin, so what it presents next is new.
  if (state == KSSTATE_STOP && !mCapture) {
    KIRQL irql;
    KeAcquireSpinLock(&mLock, &irql);
    mSkipCount = 0;
    KeReleaseSpinLock(&mLock, irql);
  }
  if (mCapture) mMiniport->CaptureStateChanged();
  return STATUS_SUCCESS;
}

NTSTATUS WdmMidiStream::Read(PVOID bufferAddress, ULONG bufferLength, PULONG bytesRead) {
  *bytesRead = 0;
  if (!mCapture) return STATUS_INVALID_DEVICE_REQUEST;
  RingFifo* fifo = mMiniport->Fifo();
  if (fifo == nullptr || bufferAddress == nullptr) return STATUS_SUCCESS;
  fifo->Lock();
  *bytesRead = fifo->FifoRead(bufferAddress, bufferLength);
  fifo->Unlock();
  return STATUS_SUCCESS;
}

bool WdmMidiStream::SendPendingLocked() {
  while (mPendingCount != 0) {
    const MidiParsedEvent& e = mPending[0];
    if (!NT_SUCCESS(mMiniport->Send(e.mCodeIndex, e.mBytes[0], e.mBytes[1], e.mBytes[2]))) return false;
    mPending[0] = mPending[1];
    --mPendingCount;
  }
  return true;
}

void WdmMidiStream::RetryPending() {
  KeAcquireSpinLockAtDpcLevel(&mLock);
  if (!SendPendingLocked()) mMiniport->RequestRetry();
  KeReleaseSpinLockFromDpcLevel(&mLock);
}

NTSTATUS WdmMidiStream::Write(PVOID bufferAddress, ULONG bytesToWrite, PULONG bytesWritten) {
  *bytesWritten = 0;
  if (mCapture) return STATUS_INVALID_DEVICE_REQUEST;
  KIRQL irql;
  KeAcquireSpinLock(&mLock, &irql);
  if (!SendPendingLocked()) {
    KeReleaseSpinLock(&mLock, irql);
    mMiniport->RequestRetry();
    return STATUS_SUCCESS;
  }
  const auto* bytes = static_cast<const UCHAR*>(bufferAddress);
  const ULONG length = bytes != nullptr ? bytesToWrite : 0;
  // What port class presents again after a short write starts with bytes already parsed.
  if (length <= mSkipCount) {
    mSkipCount -= length;
    *bytesWritten = length;
    KeReleaseSpinLock(&mLock, irql);
    return STATUS_SUCCESS;
  }
  ULONG parsed = length;
  for (ULONG i = mSkipCount; i < length; ++i) {
    ParseMidiByte(&mParser, bytes[i]);
    MidiParsedEvent event;
    while (TakeMidiEvent(&mParser, &event)) {
      // Once one is refused, the events behind it wait too, in order.
      if (mPendingCount == 0 && NT_SUCCESS(mMiniport->Send(event.mCodeIndex, event.mBytes[0], event.mBytes[1],
                                                           event.mBytes[2])))
        continue;
      mPending[mPendingCount++] = event;
    }
    if (mPendingCount != 0) {
      parsed = i + 1;
      break;
    }
  }
  if (parsed == length) {
    *bytesWritten = length;
    mSkipCount = 0;
  } else {
    *bytesWritten = parsed & ~3u;
    mSkipCount = parsed & 3u;
  }
  const bool waiting = mPendingCount != 0;
  KeReleaseSpinLock(&mLock, irql);
  if (waiting) mMiniport->RequestRetry();
  return STATUS_SUCCESS;
}
