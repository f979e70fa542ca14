#include "platform/portcls/PortMidi.h"

#include <cstring>

#include "platform/kernel/Verifier.h"

namespace plat::pc {

MidiPin::MidiPin(PortMidi* port, ULONG pin, bool capture) : CUnknown(nullptr), mPort(port), mPin(pin), mCapture(capture) {
  mPort->Identity()->AddRef();
}

MidiPin::~MidiPin() {
  if (mStream != nullptr) Violation("a MIDI pin went without being closed");
  mPort->Identity()->Release();
}

NTSTATUS MidiPin::SetFormat(PKSDATAFORMAT format) {
  PAGED_CODE();
  PortBase::ControlLock lock(*mPort);
  if (mPort->Removed()) return STATUS_DEVICE_REMOVED;
  return mStream->SetFormat(format);
}

NTSTATUS MidiPin::SetState(KSSTATE state) {
  PAGED_CODE();
  PortBase::ControlLock lock(*mPort);
  if (mPort->Removed()) return STATUS_DEVICE_REMOVED;
  LONG step = static_cast<LONG>(state) - static_cast<LONG>(mState);
  if (step != 1 && step != -1) Violation("a pin's state changes one step at a time (stop, acquire, pause, run)");
  NTSTATUS status = mStream->SetState(state);
  if (!NT_SUCCESS(status)) return status;
  KIRQL irql;
  KeAcquireSpinLock(&mPort->mPinLock, &irql);
  mState = state;
  // A render pin that stops completes its pending writes: what the stream had not taken is gone.
  if (state == KSSTATE_STOP && !mCapture) mQueued = 0;
  KeReleaseSpinLock(&mPort->mPinLock, irql);
  return STATUS_SUCCESS;
}

void MidiPin::ServiceLocked() {
  if (mState != KSSTATE_RUN) return;
  if (mCapture) {
    const ULONG before = mQueued;
    for (;;) {
      ULONG read = 0;
      ULONG room = kQueueBytes - mQueued;
      if (room == 0) break;
      if (!NT_SUCCESS(mStream->Read(mQueue + mQueued, room, &read)) || read == 0) break;
      if (read > room) Violation("IMiniportMidiStream::Read: more bytes than the buffer holds");
      mQueued += read;
    }
    if (mQueued != before && mReadEvent != nullptr) KeSetEvent(mReadEvent, 0, FALSE);
    return;
  }
  // The stream reports what it took; the rest is presented again, from where it stopped.
  while (mQueued != 0) {
    ULONG written = 0;
    if (!NT_SUCCESS(mStream->Write(mQueue, mQueued, &written)) || written == 0) break;
    if (written > mQueued) Violation("IMiniportMidiStream::Write: more bytes written than offered");
    std::memmove(mQueue, mQueue + written, mQueued - written);
    mQueued -= written;
  }
}

NTSTATUS MidiPin::Write(const UCHAR* bytes, ULONG length) {
  if (mCapture) Violation("a write to a MIDI capture pin");
  KIRQL irql;
  KeAcquireSpinLock(&mPort->mPinLock, &irql);
  NTSTATUS status = STATUS_SUCCESS;
  if (mPort->Removed()) {
    status = STATUS_DEVICE_REMOVED;
  } else if (length > kQueueBytes - mQueued) {
    status = STATUS_DEVICE_BUSY;
  } else {
    std::memcpy(mQueue + mQueued, bytes, length);
    mQueued += length;
    ServiceLocked();
  }
  KeReleaseSpinLock(&mPort->mPinLock, irql);
  return status;
}

ULONG MidiPin::Unwritten() {
  KIRQL irql;
  KeAcquireSpinLock(&mPort->mPinLock, &irql);
  ULONG n = mCapture ? 0 : mQueued;
  KeReleaseSpinLock(&mPort->mPinLock, irql);
  return n;
}

NTSTATUS MidiPin::TakeRead(std::vector<UCHAR>* bytes) {
  bytes->clear();
  bytes->reserve(kQueueBytes);
  KIRQL irql;
  KeAcquireSpinLock(&mPort->mPinLock, &irql);
  if (mCapture) {
    bytes->assign(mQueue, mQueue + mQueued);
    mQueued = 0;
  }
  KeReleaseSpinLock(&mPort->mPinLock, irql);
  return bytes->empty() && mPort->Removed() ? STATUS_DEVICE_REMOVED : STATUS_SUCCESS;
}

void MidiPin::SetReadEvent(PKEVENT event) {
  KIRQL irql;
  KeAcquireSpinLock(&mPort->mPinLock, &irql);
  mReadEvent = mCapture ? event : nullptr;
  KeReleaseSpinLock(&mPort->mPinLock, irql);
}

void MidiPin::StopForRemoval() {
  PAGED_CODE();
  while (mState > KSSTATE_STOP) {
    const auto next = static_cast<KSSTATE>(mState - 1);
    mStream->SetState(next);  // the device is gone: the pin leaves the state whatever the stream says
    KIRQL irql;
    KeAcquireSpinLock(&mPort->mPinLock, &irql);
    mState = next;
    KeReleaseSpinLock(&mPort->mPinLock, irql);
  }
  // The client's read completes with the device's removal.
  KIRQL irql;
  KeAcquireSpinLock(&mPort->mPinLock, &irql);
  if (mReadEvent != nullptr) KeSetEvent(mReadEvent, 0, FALSE);
  KeReleaseSpinLock(&mPort->mPinLock, irql);
}

void MidiPin::Close() {
  PAGED_CODE();
  PortBase::ControlLock lock(*mPort);
  if (mState != KSSTATE_STOP) Violation("a MIDI pin closed while not stopped");
  KIRQL irql;
  KeAcquireSpinLock(&mPort->mPinLock, &irql);
  for (MidiPin*& p : mPort->mPins)
    if (p == this) p = nullptr;
  PMINIPORTMIDISTREAM stream = mStream;
  PSERVICEGROUP group = mGroup;
  mStream = nullptr;
  mGroup = nullptr;
  KeReleaseSpinLock(&mPort->mPinLock, irql);
  stream->Release();
  if (group != nullptr) group->Release();
  --mPort->mOpen[mPin];
  NonDelegatingRelease();  // the port's table held the pin
}

MidiServiceSink::MidiServiceSink(PortMidi* port) : CUnknown(nullptr), mPort(port) { KeInitializeSpinLock(&mLock); }

NTSTATUS MidiServiceSink::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (IsEqualGUID(iid, IID_IServiceSink)) {
    *object = static_cast<IServiceSink*>(this);
    AddRef();
    return STATUS_SUCCESS;
  }
  return CUnknown::NonDelegatingQueryInterface(iid, object);
}

void MidiServiceSink::RequestService() {
  KeAcquireSpinLockAtDpcLevel(&mLock);
  if (mPort != nullptr) mPort->Service();
  KeReleaseSpinLockFromDpcLevel(&mLock);
}

void MidiServiceSink::Unhook() {
  KIRQL irql;
  KeAcquireSpinLock(&mLock, &irql);
  mPort = nullptr;
  KeReleaseSpinLock(&mLock, irql);
}

PortMidi::~PortMidi() { ReleaseMiniport(); }

void PortMidi::Join(PSERVICEGROUP group) {
  if (group == nullptr) return;
  for (ULONG i = 0; i < mGroupCount; ++i)
    if (mGroups[i] == group) return;
  if (mGroupCount == kMaxGroups) Violation("a MIDI port joined more service groups than it keeps");
  if (!NT_SUCCESS(group->AddMember(mSink))) return;
  group->AddRef();
  mGroups[mGroupCount++] = group;
}

NTSTATUS PortMidi::InitMiniport(PUNKNOWN unknownMiniport, PUNKNOWN unknownAdapter, PRESOURCELIST resources) {
  PVOID midi = nullptr;
  NTSTATUS status = unknownMiniport->QueryInterface(IID_IMiniportMidi, &midi);
  if (!NT_SUCCESS(status) || midi == nullptr) return STATUS_INVALID_PARAMETER;
  mMidi = static_cast<PMINIPORTMIDI>(midi);
  mSink = new (NonPagedPool) MidiServiceSink(this);
  if (mSink == nullptr) {
    ReleaseAndClear(mMidi);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  mSink->NonDelegatingAddRef();
  PSERVICEGROUP group = nullptr;
  status = mMidi->Init(unknownAdapter, resources, this, &group);
  if (!NT_SUCCESS(status)) {
    if (group != nullptr) Violation("IMiniportMidi::Init failed and still handed out a service group");
    ReleaseMiniport();
    return status;
  }
  Join(group);
  if (group != nullptr) group->Release();  // Join keeps its own reference
  mMiniport = mMidi;
  return STATUS_SUCCESS;
}

void PortMidi::ReleaseMiniport() {
  mMiniport = nullptr;
  if (mSink != nullptr) {
    mSink->Unhook();
    for (ULONG i = 0; i < mGroupCount; ++i) {
      mGroups[i]->RemoveMember(mSink);
      ReleaseAndClear(mGroups[i]);
    }
    mGroupCount = 0;
    mSink->NonDelegatingRelease();
    mSink = nullptr;
  }
  ReleaseAndClear(mMidi);
}

bool PortMidi::PinsOpen() const {
  for (MidiPin* p : mPins)
    if (p != nullptr) return true;
  return false;
}

void PortMidi::StopPins() {
  for (MidiPin* p : mPins)
    if (p != nullptr) p->StopForRemoval();
}

void PortMidi::Notify(PSERVICEGROUP serviceGroup) {
  CheckIrqlAtMost(DISPATCH_LEVEL, "IPortMidi::Notify");
  if (serviceGroup != nullptr) serviceGroup->RequestService();
}

void PortMidi::RegisterServiceGroup(PSERVICEGROUP serviceGroup) {
  PAGED_CODE();
  Join(serviceGroup);
}

void PortMidi::Service() {
  mMidi->Service();
  // Capture first: what render streams hand the miniport next may need the room reading makes.
  KeAcquireSpinLockAtDpcLevel(&mPinLock);
  for (bool capture : {true, false})
    for (MidiPin* p : mPins)
      if (p != nullptr && p->mCapture == capture) p->ServiceLocked();
  KeReleaseSpinLockFromDpcLevel(&mPinLock);
}

NTSTATUS PortMidi::NewPin(ULONG pin, PKSDATAFORMAT format, MidiPin** out) {
  PAGED_CODE();
  *out = nullptr;
  ControlLock lock(*this);
  if (Removed()) return STATUS_DEVICE_REMOVED;
  if (!Initialised()) return STATUS_INVALID_DEVICE_REQUEST;
  const PCFILTER_DESCRIPTOR& d = Descriptor();
  if (pin >= d.PinCount || format == nullptr) return STATUS_INVALID_PARAMETER;
  const PCPIN_DESCRIPTOR& p = PinOf(d, pin);
  if (p.KsPinDescriptor.Communication != KSPIN_COMMUNICATION_SINK) return STATUS_INVALID_DEVICE_REQUEST;
  if (mOpen.size() < d.PinCount) mOpen.resize(d.PinCount);
  if (mOpen[pin] >= p.MaxFilterInstanceCount) return STATUS_DEVICE_BUSY;
  ULONG slot = 0;
  while (slot < kMaxPins && mPins[slot] != nullptr) ++slot;
  if (slot == kMaxPins) return STATUS_DEVICE_BUSY;
  bool capture = p.KsPinDescriptor.DataFlow == KSPIN_DATAFLOW_OUT;

  auto* mp = new (NonPagedPool) MidiPin(this, pin, capture);
  if (mp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  mp->NonDelegatingAddRef();
  PMINIPORTMIDISTREAM stream = nullptr;
  PSERVICEGROUP group = nullptr;
  NTSTATUS status = mMidi->NewStream(&stream, nullptr, NonPagedPool, pin, capture ? TRUE : FALSE, format, &group);
  if (NT_SUCCESS(status) && stream == nullptr) Violation("IMiniportMidi::NewStream: success without a stream");
  if (!NT_SUCCESS(status)) {
    if (group != nullptr) group->Release();
    mp->NonDelegatingRelease();
    return status;
  }
  Join(group);
  mp->mStream = stream;
  mp->mGroup = group;
  mp->NonDelegatingAddRef();  // the port's table
  KIRQL irql;
  KeAcquireSpinLock(&mPinLock, &irql);
  mPins[slot] = mp;
  KeReleaseSpinLock(&mPinLock, irql);
  ++mOpen[pin];
  *out = mp;
  return STATUS_SUCCESS;
}

}  // namespace plat::pc
