#include "platform/portcls/PortWaveCyclic.h"

#include <cstring>

#include "platform/kernel/Verifier.h"
#include "platform/portcls/AdapterDevice.h"
#include "platform/portcls/DmaChannel.h"

namespace plat::pc {

namespace {

// Windows' port keeps its cyclic buffer a whole number of frames: the channel's buffer size
// rounded down to the format's block alignment.
ULONG WholeFrames(ULONG bufferSize, PKSDATAFORMAT format) {
  ULONG align = 1;
  if (format != nullptr && format->FormatSize >= sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX) &&
      format->Specifier == KSDATAFORMAT_SPECIFIER_WAVEFORMATEX) {
    const USHORT block = reinterpret_cast<const KSDATAFORMAT_WAVEFORMATEX*>(format)->WaveFormatEx.nBlockAlign;
    if (block != 0) align = block;
  }
  return bufferSize - bufferSize % align;
}

}  // namespace

WavePin::WavePin(PortWaveCyclic* port, ULONG pin, bool capture, ULONG captureCapacity)
    : CUnknown(nullptr), mPort(port), mPin(pin), mCapture(capture) {
  KeInitializeSpinLock(&mLock);
  mPort->Identity()->AddRef();
  mRecorded.reserve(captureCapacity);
}

// The last reference may go in the group's DPC: by then Close has let go of everything else.
WavePin::~WavePin() {
  if (mStream != nullptr) Violation("a wave pin went without being closed");
  if (mPort != nullptr) mPort->Identity()->Release();
}

NTSTATUS WavePin::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (IsEqualGUID(iid, IID_IServiceSink)) {
    *object = static_cast<IServiceSink*>(this);
    AddRef();
    return STATUS_SUCCESS;
  }
  return CUnknown::NonDelegatingQueryInterface(iid, object);
}

// The group's DPC: reads the position and moves what lies between the last one and it.
void WavePin::RequestService() {
  KIRQL irql = KeGetCurrentIrql();
  KeAcquireSpinLockAtDpcLevel(&mLock);
  if (mStream == nullptr || mState != KSSTATE_RUN) {
    KeReleaseSpinLockFromDpcLevel(&mLock);
    return;
  }
  mServiceIrql = irql;
  InterlockedIncrement(reinterpret_cast<volatile LONG*>(&mServiceCalls));
  ULONG position = 0;
  if (NT_SUCCESS(mStream->GetPosition(&position)) && mBufferSize != 0) {
    if (position >= mBufferSize) Violation("GetPosition: a position beyond the cyclic buffer");
    auto* buffer = static_cast<UCHAR*>(mDma->SystemAddress());
    ULONG moved = (position + mBufferSize - mLast) % mBufferSize;
    for (ULONG done = 0; done < moved;) {
      ULONG at = (mLast + done) % mBufferSize;
      ULONG piece = moved - done < mBufferSize - at ? moved - done : mBufferSize - at;
      if (mCapture) {
        size_t room = mRecorded.capacity() - mRecorded.size();
        size_t n = piece < room ? piece : room;
        mRecorded.insert(mRecorded.end(), buffer + at, buffer + at + n);
      } else {
        size_t left = mPlay.size() - mPlayNext;
        size_t n = piece < left ? piece : left;
        if (n != 0) mDma->CopyTo(buffer + at, mPlay.data() + mPlayNext, static_cast<ULONG>(n));
        if (n < piece) mStream->Silence(buffer + at + n, static_cast<ULONG>(piece - n));
        mPlayNext += n;
      }
      done += piece;
    }
    mLast = position;
    mBytesMoved += moved;
  }
  KeReleaseSpinLockFromDpcLevel(&mLock);
}

NTSTATUS WavePin::SetFormat(PKSDATAFORMAT format) {
  PAGED_CODE();
  PortBase::ControlLock lock(*mPort);
  if (mPort->Removed()) return STATUS_DEVICE_REMOVED;
  NTSTATUS status = mStream->SetFormat(format);
  if (!NT_SUCCESS(status)) return status;
  KIRQL irql;
  KeAcquireSpinLock(&mLock, &irql);
  mBufferSize = WholeFrames(mDma->BufferSize(), format);
  KeReleaseSpinLock(&mLock, irql);
  return STATUS_SUCCESS;
}

ULONG WavePin::SetNotificationFreq(ULONG intervalMs, PULONG framingSize) {
  PAGED_CODE();
  PortBase::ControlLock lock(*mPort);
  if (mPort->Removed()) {
    *framingSize = 0;
    return 0;
  }
  return mStream->SetNotificationFreq(intervalMs, framingSize);
}

NTSTATUS WavePin::SetState(KSSTATE state) {
  PAGED_CODE();
  PortBase::ControlLock lock(*mPort);
  if (mPort->Removed()) return STATUS_DEVICE_REMOVED;
  LONG step = static_cast<LONG>(state) - static_cast<LONG>(mState);
  if (step != 1 && step != -1) Violation("a pin's state changes one step at a time (stop, acquire, pause, run)");
  NTSTATUS status = mStream->SetState(state);
  if (!NT_SUCCESS(status)) return status;
  KIRQL irql;
  KeAcquireSpinLock(&mLock, &irql);
  if (state == KSSTATE_ACQUIRE && mState == KSSTATE_STOP) {
    mLast = 0;
    mBytesMoved = 0;
  }
  mState = state;
  KeReleaseSpinLock(&mLock, irql);
  return STATUS_SUCCESS;
}

NTSTATUS WavePin::Position(PULONG position) {
  PAGED_CODE();
  PortBase::ControlLock lock(*mPort);
  if (mPort->Removed()) return STATUS_DEVICE_REMOVED;
  return mStream->GetPosition(position);
}

NTSTATUS WavePin::NormalizePosition(PLONGLONG position) {
  PAGED_CODE();
  PortBase::ControlLock lock(*mPort);
  if (mPort->Removed()) return STATUS_DEVICE_REMOVED;
  return mStream->NormalizePhysicalPosition(position);
}

void WavePin::SetPlayData(std::vector<UCHAR> data) {
  KIRQL irql;
  KeAcquireSpinLock(&mLock, &irql);
  mPlay.swap(data);
  mPlayNext = 0;
  KeReleaseSpinLock(&mLock, irql);
}

std::vector<UCHAR> WavePin::TakeRecorded() {
  std::vector<UCHAR> taken;
  KIRQL irql;
  KeAcquireSpinLock(&mLock, &irql);
  taken.swap(mRecorded);
  KeReleaseSpinLock(&mLock, irql);
  return taken;
}

std::vector<UCHAR> WavePin::Recorded() {
  std::vector<UCHAR> copy;
  copy.reserve(mRecorded.capacity());
  KIRQL irql;
  KeAcquireSpinLock(&mLock, &irql);
  copy.assign(mRecorded.begin(), mRecorded.end());
  KeReleaseSpinLock(&mLock, irql);
  return copy;
}

void WavePin::StopForRemoval() {
  PAGED_CODE();
  while (mState > KSSTATE_STOP) {
    const auto next = static_cast<KSSTATE>(mState - 1);
    mStream->SetState(next);  // the device is gone: the pin leaves the state whatever the stream says
    KIRQL irql;
    KeAcquireSpinLock(&mLock, &irql);
    mState = next;
    KeReleaseSpinLock(&mLock, irql);
  }
}

void WavePin::Close() {
  PAGED_CODE();
  {
    PortBase::ControlLock lock(*mPort);
    if (mState != KSSTATE_STOP) Violation("a wave pin closed while not stopped");
    std::erase(mPort->mPins, this);
    if (mGroup != nullptr) mGroup->RemoveMember(this);
    KIRQL irql;
    KeAcquireSpinLock(&mLock, &irql);
    PMINIPORTWAVECYCLICSTREAM stream = mStream;
    PDMACHANNEL dma = mDma;
    PSERVICEGROUP group = mGroup;
    mStream = nullptr;
    mDma = nullptr;
    mGroup = nullptr;
    KeReleaseSpinLock(&mLock, irql);
    stream->Release();
    dma->Release();
    if (group != nullptr) group->Release();
    --mPort->mOpen[mPin];
  }
  PortWaveCyclic* port = mPort;
  mPort = nullptr;
  port->Identity()->Release();
}

PortWaveCyclic::~PortWaveCyclic() { ReleaseMiniport(); }

NTSTATUS PortWaveCyclic::InitMiniport(PUNKNOWN unknownMiniport, PUNKNOWN unknownAdapter, PRESOURCELIST resources) {
  PVOID wave = nullptr;
  NTSTATUS status = unknownMiniport->QueryInterface(IID_IMiniportWaveCyclic, &wave);
  if (!NT_SUCCESS(status) || wave == nullptr) return STATUS_INVALID_PARAMETER;
  mWave = static_cast<PMINIPORTWAVECYCLIC>(wave);
  if (AdapterDevice* device = AdapterDevice::Of(DeviceObject())) mWavePort = device->TakeWavePortOrdinal();
  mChannelsMade = 0;
  status = mWave->Init(unknownAdapter, resources, this);
  if (!NT_SUCCESS(status)) {
    ReleaseAndClear(mWave);
    return status;
  }
  mMiniport = mWave;
  return STATUS_SUCCESS;
}

void PortWaveCyclic::ReleaseMiniport() {
  mMiniport = nullptr;
  ReleaseAndClear(mWave);
}

bool PortWaveCyclic::PinsOpen() const {
  for (ULONG n : mOpen)
    if (n != 0) return true;
  return false;
}

void PortWaveCyclic::StopPins() {
  for (WavePin* p : mPins) p->StopForRemoval();
}

void PortWaveCyclic::Notify(PSERVICEGROUP serviceGroup) {
  CheckIrqlAtMost(DISPATCH_LEVEL, "IPortWaveCyclic::Notify");
  if (serviceGroup != nullptr) serviceGroup->RequestService();
}

// No system DMA controller on this machine.
NTSTATUS PortWaveCyclic::NewSlaveDmaChannel(PDMACHANNELSLAVE* dmaChannel, PUNKNOWN, PRESOURCELIST, ULONG, ULONG,
                                            BOOLEAN, DMA_SPEED) {
  PAGED_CODE();
  *dmaChannel = nullptr;
  return STATUS_NOT_SUPPORTED;
}

NTSTATUS PortWaveCyclic::NewMasterDmaChannel(PDMACHANNEL* dmaChannel, PUNKNOWN outer, PRESOURCELIST, ULONG maximumLength,
                                             BOOLEAN dma32, BOOLEAN dma64, DMA_WIDTH width, DMA_SPEED speed) {
  PAGED_CODE();
  *dmaChannel = nullptr;
  AdapterDevice* device = AdapterDevice::Of(DeviceObject());
  if (device == nullptr || maximumLength == 0) return STATUS_INVALID_PARAMETER;
  return pc::NewMasterDmaChannel(device->Pdo(), dmaChannel, outer, maximumLength, dma32, dma64, width, speed, mWavePort,
                                 mChannelsMade++);
}

NTSTATUS PortWaveCyclic::NewPin(ULONG pin, PKSDATAFORMAT format, ULONG captureCapacity, WavePin** out) {
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
  bool capture = p.KsPinDescriptor.DataFlow == KSPIN_DATAFLOW_OUT;

  auto* wp = new (NonPagedPool) WavePin(this, pin, capture, capture ? captureCapacity : 0);
  if (wp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  wp->NonDelegatingAddRef();
  PMINIPORTWAVECYCLICSTREAM stream = nullptr;
  PDMACHANNEL dma = nullptr;
  PSERVICEGROUP group = nullptr;
  NTSTATUS status = mWave->NewStream(&stream, nullptr, NonPagedPool, pin, capture ? TRUE : FALSE, format, &dma, &group);
  if (NT_SUCCESS(status) && (stream == nullptr || dma == nullptr || dma->SystemAddress() == nullptr))
    Violation("IMiniportWaveCyclic::NewStream: success without a stream and a DMA channel with a buffer");
  if (NT_SUCCESS(status) && group != nullptr) status = group->AddMember(wp);
  if (!NT_SUCCESS(status)) {
    if (stream != nullptr) stream->Release();
    if (dma != nullptr) dma->Release();
    if (group != nullptr) group->Release();
    wp->NonDelegatingRelease();
    return status;
  }
  wp->mStream = stream;
  wp->mDma = dma;
  wp->mGroup = group;
  wp->mBufferSize = WholeFrames(dma->BufferSize(), format);
  ++mOpen[pin];
  mPins.push_back(wp);
  *out = wp;
  return STATUS_SUCCESS;
}

}  // namespace plat::pc
