#include "wdm/WdmMiniportMidi.h"

#include "wdm/WdmDevice.h"
#include "wdm/WdmMidiStream.h"

namespace {

// Constant data: the GUIDs by value, so that no constructor has to copy them in.
KSDATARANGE_MUSIC gMidiRange = {
    {{sizeof(KSDATARANGE_MUSIC), 0, 0, 0, STATICGUIDOF(KSDATAFORMAT_TYPE_MUSIC), STATICGUIDOF(KSDATAFORMAT_SUBTYPE_MIDI),
      STATICGUIDOF(KSDATAFORMAT_SPECIFIER_NONE)}},
    {STATICGUIDOF(KSMUSIC_TECHNOLOGY_PORT)},
    0,
    0,
    0xFFFF};
KSDATARANGE gMidiBusRange = {{sizeof(KSDATARANGE), 0, 0, 0, STATICGUIDOF(KSDATAFORMAT_TYPE_MUSIC),
                              STATICGUIDOF(KSDATAFORMAT_SUBTYPE_MIDI_BUS), STATICGUIDOF(KSDATAFORMAT_SPECIFIER_NONE)}};
PKSDATARANGE gMidiRanges[] = {reinterpret_cast<PKSDATARANGE>(&gMidiRange)};
PKSDATARANGE gMidiBusRanges[] = {&gMidiBusRange};

PCPIN_DESCRIPTOR gMidiPins[] = {
    {2, 2, 0, nullptr,
     {0, nullptr, 0, nullptr, 1, gMidiRanges, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_SINK, &KSCATEGORY_AUDIO,
      &KSAUDFNAME_MIDI, {0}}},
    {0, 0, 0, nullptr,
     {0, nullptr, 0, nullptr, 1, gMidiBusRanges, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_NONE, &KSCATEGORY_AUDIO,
      nullptr, {0}}},
    {2, 2, 0, nullptr,
     {0, nullptr, 0, nullptr, 1, gMidiRanges, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_SINK, &KSCATEGORY_AUDIO,
      &KSAUDFNAME_MIDI, {0}}},
    {0, 0, 0, nullptr,
     {0, nullptr, 0, nullptr, 1, gMidiBusRanges, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_NONE, &KSCATEGORY_AUDIO,
      nullptr, {0}}},
};
PCCONNECTION_DESCRIPTOR gMidiConnections[] = {{PCFILTER_NODE, 0, PCFILTER_NODE, 1}, {PCFILTER_NODE, 3, PCFILTER_NODE, 2}};
PCFILTER_DESCRIPTOR gMidiFilter = {0, nullptr, sizeof(PCPIN_DESCRIPTOR), 4, gMidiPins,
                                   sizeof(PCNODE_DESCRIPTOR), 0, nullptr, 2, gMidiConnections, 0, nullptr};

// The MIDI bytes a USB-MIDI packet carries, by its code index number.
constexpr UCHAR kBytesOfCodeIndex[16] = {0, 0, 2, 3, 3, 1, 2, 3, 3, 3, 3, 3, 2, 2, 3, 1};

}  // namespace

WdmMiniportMidi::WdmMiniportMidi(PUNKNOWN outerUnknown) : CUnknown(outerUnknown) { KeInitializeSpinLock(&mStreamLock); }

WdmMiniportMidi::~WdmMiniportMidi() {
  if (mDevice != nullptr) mDevice->ClearMidiSlot(mPortNumber, this);
  if (mServiceGroup != nullptr) {
    mServiceGroup->CancelDelayedService();
    mServiceGroup->Release();
  }
  delete mFifo;
  if (mAdapterCommon != nullptr) mAdapterCommon->Release();
  if (mPort != nullptr) mPort->Release();
}

NTSTATUS WdmMiniportMidi::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (IsEqualGUID(iid, IID_IUnknown)) return CUnknown::NonDelegatingQueryInterface(iid, object);
  if (IsEqualGUID(iid, IID_IMiniport) || IsEqualGUID(iid, IID_IMiniportMidi)) {
    *object = static_cast<IMiniportMidi*>(this);
    AddRef();
    return STATUS_SUCCESS;
  }
  *object = nullptr;
  return STATUS_INVALID_PARAMETER;
}

NTSTATUS WdmMiniportMidi::GetDescription(PPCFILTER_DESCRIPTOR* description) {
  *description = &gMidiFilter;
  return STATUS_SUCCESS;
}

// Port class intersects MIDI ranges itself.
NTSTATUS WdmMiniportMidi::DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID, PULONG) {
  return STATUS_NOT_IMPLEMENTED;
}

void WdmMiniportMidi::DropPort() {
  PAGED_CODE();
  if (mPort == nullptr) return;
  mPort->Release();
  mPort = nullptr;
}

void WdmMiniportMidi::Attach(WdmDevice* device, ULONG portNumber) {
  mDevice = device;
  mPortNumber = portNumber;
}

NTSTATUS WdmMiniportMidi::Init(PUNKNOWN unknownAdapter, PRESOURCELIST resourceList, PPORTMIDI port,
                               PSERVICEGROUP* serviceGroup) {
  PAGED_CODE();
  *serviceGroup = nullptr;
  mPort = port;
  mPort->AddRef();
  NTSTATUS status = STATUS_INVALID_PARAMETER;
  if (unknownAdapter != nullptr)
    status = unknownAdapter->QueryInterface(IID_IAdapterCommon, reinterpret_cast<void**>(&mAdapterCommon));
  mCaptureState = KSSTATE_STOP;
  if (NT_SUCCESS(status)) {
    mFifo = new (NonPagedPool) RingFifo(1, kFifoBytes, NonPagedPool);
    mRenderStreams = 0;
    mCaptureStreams = 0;
    status = PcNewServiceGroup(&mServiceGroup, nullptr);
  }
  if (NT_SUCCESS(status)) {
    mServiceGroup->SupportDelayedService();
    *serviceGroup = mServiceGroup;
    mServiceGroup->AddRef();
    mPort->RegisterServiceGroup(mServiceGroup);
    if (resourceList == nullptr) status = STATUS_DEVICE_CONFIGURATION_ERROR;
  }
  if (!NT_SUCCESS(status)) {
    if (*serviceGroup != nullptr) {
      (*serviceGroup)->Release();
      *serviceGroup = nullptr;
    }
    if (mServiceGroup != nullptr) {
      mServiceGroup->Release();
      mServiceGroup = nullptr;
    }
    mPort->Release();
    mPort = nullptr;
  }
  return status;
}

// From the port's DPC. Input nobody reads is let go, and events the unit driver refused go again.
void WdmMiniportMidi::Service() {
  KIRQL irql;
  KeAcquireSpinLock(&mStreamLock, &irql);
  if (mCaptureStreams == 0 && mFifo != nullptr) {
    mFifo->Lock();
    mFifo->FifoClear();
    mFifo->Unlock();
  }
  for (WdmMidiStream* stream : mStreams)
    if (stream != nullptr && !stream->IsCapture()) stream->RetryPending();
  KeReleaseSpinLock(&mStreamLock, irql);
}

NTSTATUS WdmMiniportMidi::NewStream(PMINIPORTMIDISTREAM* stream, PUNKNOWN outerUnknown, POOL_TYPE poolType, ULONG,
                                    BOOLEAN capture, PKSDATAFORMAT, PSERVICEGROUP* serviceGroup) {
  PAGED_CODE();
  *stream = nullptr;
  *serviceGroup = nullptr;
  if ((capture ? mCaptureStreams : mRenderStreams) >= kMaxStreamsPerDirection) return STATUS_INVALID_DEVICE_REQUEST;
  auto* s = new (poolType) WdmMidiStream(outerUnknown, this, capture);
  if (s == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  s->AddRef();
  *stream = s;
  if (capture) {
    *serviceGroup = mServiceGroup;
    mServiceGroup->AddRef();
  }
  return STATUS_SUCCESS;
}

void WdmMiniportMidi::StreamOpened(WdmMidiStream* stream) {
  KIRQL irql;
  KeAcquireSpinLock(&mStreamLock, &irql);
  for (WdmMidiStream*& slot : mStreams) {
    if (slot != nullptr) continue;
    slot = stream;
    break;
  }
  if (stream->IsCapture())
    ++mCaptureStreams;
  else
    ++mRenderStreams;
  KeReleaseSpinLock(&mStreamLock, irql);
}

void WdmMiniportMidi::StreamClosed(WdmMidiStream* stream) {
  KIRQL irql;
  KeAcquireSpinLock(&mStreamLock, &irql);
  for (WdmMidiStream*& slot : mStreams)
    if (slot == stream) slot = nullptr;
  if (stream->IsCapture())
    --mCaptureStreams;
  else
    --mRenderStreams;
  KeReleaseSpinLock(&mStreamLock, irql);
  if (stream->IsCapture()) CaptureStateChanged();
}

// The capture state is the furthest state of the open capture streams: input is queued while
// any of them runs, and the ring is emptied only when the last one stops.
void WdmMiniportMidi::CaptureStateChanged() {
  KIRQL irql;
  KeAcquireSpinLock(&mStreamLock, &irql);
  KSSTATE furthest = KSSTATE_STOP;
  for (WdmMidiStream* stream : mStreams)
    if (stream != nullptr && stream->IsCapture() && stream->State() > furthest) furthest = stream->State();
  const bool cleared = furthest == KSSTATE_STOP && mCaptureState != KSSTATE_STOP;
  if (mFifo == nullptr) {
    mCaptureState = furthest;
  } else {
    // Input tests the state under the ring's lock: a packet that saw the run state is in the ring
    // before a stop empties it, and none gets in after.
    mFifo->Lock();
    mCaptureState = furthest;
    if (cleared) mFifo->FifoClear();
    mFifo->Unlock();
  }
  KeReleaseSpinLock(&mStreamLock, irql);
}

void WdmMiniportMidi::RequestRetry() {
  if (mServiceGroup != nullptr) mServiceGroup->RequestDelayedService(static_cast<ULONGLONG>(kRetryDelay));
}

NTSTATUS WdmMiniportMidi::Send(UCHAR codeIndex, UCHAR b0, UCHAR b1, UCHAR b2) {
  if (mDevice == nullptr) return STATUS_IO_DEVICE_ERROR;
  const PdoDirectInterface& direct = mDevice->Direct();
  return direct.SendMidiEvent(direct.Context, static_cast<UCHAR>(mPortNumber << 4 | codeIndex), b0, b1, b2);
}

void WdmMiniportMidi::OnMidiIn(ULONG packet) {
  const UCHAR bytes[3] = {static_cast<UCHAR>(packet >> 16), static_cast<UCHAR>(packet >> 8),
                          static_cast<UCHAR>(packet)};
  const ULONG count = kBytesOfCodeIndex[(packet >> 24) & 0xF];
  bool running = false;
  if (mFifo == nullptr) {
    running = mCaptureState == KSSTATE_RUN;
  } else {
    mFifo->Lock();
    running = mCaptureState == KSSTATE_RUN;
    if (running && mFifo->FifoRoom() >= count) mFifo->FifoWrite(bytes, count);
    mFifo->Unlock();
  }
  if (running) mPort->Notify(mServiceGroup);
}

NTSTATUS CreateMiniportMidi(PUNKNOWN* unknown, PUNKNOWN outerUnknown, POOL_TYPE poolType) {
  PAGED_CODE();
  *unknown = nullptr;
  auto* miniport = new (poolType) WdmMiniportMidi(outerUnknown);
  if (miniport == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  // The object's IUnknown, whose calls go to the outer unknown when there is one.
  *unknown = static_cast<PMINIPORTMIDI>(miniport);
  (*unknown)->AddRef();
  return STATUS_SUCCESS;
}
