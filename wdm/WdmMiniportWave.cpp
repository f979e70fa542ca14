#include "wdm/WdmMiniportWave.h"

#include <cstring>

#include "wdm/WdmDevice.h"
#include "wdm/WdmWaveStream.h"

namespace {

constexpr ULONG kRates[] = {96000, 88200, 48000, 44100};  // highest first
constexpr ULONG kWidths[] = {32, 24, 16};
constexpr ULONG kExtensibleFormatBytes = sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE);
constexpr ULONG kWaveFormatBytes = sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX);
constexpr USHORT kExtensibleExtraBytes = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);

// Constant data: the GUIDs by value, so that no constructor has to copy them in.
KSDATARANGE_AUDIO gPcmRange = {{{sizeof(KSDATARANGE_AUDIO), 0, 0, 0, STATICGUIDOF(KSDATAFORMAT_TYPE_AUDIO),
                                 STATICGUIDOF(KSDATAFORMAT_SUBTYPE_PCM),
                                 STATICGUIDOF(KSDATAFORMAT_SPECIFIER_WAVEFORMATEX)}},
                               WdmMiniportWave::kMaxChannels,
                               8,
                               WdmMiniportWave::kMaxBits,
                               44100,
                               WdmMiniportWave::kMaxRate};
KSDATARANGE gAnalogRange = {{sizeof(KSDATARANGE), 0, 0, 0, STATICGUIDOF(KSDATAFORMAT_TYPE_AUDIO),
                             STATICGUIDOF(KSDATAFORMAT_SUBTYPE_ANALOG), STATICGUIDOF(KSDATAFORMAT_SPECIFIER_NONE)}};
PKSDATARANGE gPcmRanges[] = {reinterpret_cast<PKSDATARANGE>(&gPcmRange)};
PKSDATARANGE gAnalogRanges[] = {&gAnalogRange};

PCPIN_DESCRIPTOR gWavePins[] = {
    {1, 1, 0, nullptr,
     {0, nullptr, 0, nullptr, 1, gPcmRanges, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_SINK, &KSCATEGORY_AUDIO,
      &KSAUDFNAME_RECORDING_CONTROL, {0}}},
    {0, 0, 0, nullptr,
     {0, nullptr, 0, nullptr, 1, gAnalogRanges, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_NONE, &KSCATEGORY_AUDIO, nullptr,
      {0}}},
    {1, 1, 0, nullptr,
     {0, nullptr, 0, nullptr, 1, gPcmRanges, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_SINK, &KSCATEGORY_AUDIO, nullptr,
      {0}}},
    {0, 0, 0, nullptr,
     {0, nullptr, 0, nullptr, 1, gAnalogRanges, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_NONE, &KSCATEGORY_AUDIO,
      nullptr, {0}}},
};
PCNODE_DESCRIPTOR gWaveNodes[] = {{0, nullptr, &KSNODETYPE_ADC, nullptr}, {0, nullptr, &KSNODETYPE_DAC, nullptr}};
PCCONNECTION_DESCRIPTOR gWaveConnections[] = {
    {PCFILTER_NODE, 1, 0, 1}, {0, 0, PCFILTER_NODE, 0}, {PCFILTER_NODE, 2, 1, 1}, {1, 0, PCFILTER_NODE, 3}};
PCFILTER_DESCRIPTOR gWaveFilter = {0, nullptr, sizeof(PCPIN_DESCRIPTOR), 4, gWavePins,
                                   sizeof(PCNODE_DESCRIPTOR), 2, gWaveNodes, 4, gWaveConnections, 0, nullptr};

bool IsUnitRate(ULONG rate) {
  for (ULONG r : kRates)
    if (r == rate) return true;
  return false;
}

bool InRange(ULONG value, ULONG minimum, ULONG maximum) { return value >= minimum && value <= maximum; }

}  // namespace

WdmMiniportWave::WdmMiniportWave(PUNKNOWN outerUnknown) : CUnknown(outerUnknown) {
  KeInitializeSpinLock(&mStreamLock);
  KeInitializeMutex(&mRateMutex, 1);
}

WdmMiniportWave::~WdmMiniportWave() {
  if (mDevice != nullptr) mDevice->ClearWaveSlot(mPair, this);
  for (bool capture : {false, true}) {
    PDMACHANNEL& dma = capture ? mCaptureDma : mRenderDma;
    if (dma == nullptr) continue;
    // The unit driver forgets the buffer before it goes.
    const PdoDirectInterface& direct = mDevice->Direct();
    direct.SetStreamBuffer(direct.Context, mPair, capture ? 1 : 0, nullptr, 0);
    dma->Release();
    dma = nullptr;
  }
  if (mAdapterCommon != nullptr) mAdapterCommon->Release();
  if (mPort != nullptr) mPort->Release();
}

NTSTATUS WdmMiniportWave::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (IsEqualGUID(iid, IID_IUnknown)) return CUnknown::NonDelegatingQueryInterface(iid, object);
  if (IsEqualGUID(iid, IID_IMiniport) || IsEqualGUID(iid, IID_IMiniportWaveCyclic)) {
    *object = static_cast<IMiniportWaveCyclic*>(this);
    AddRef();
    return STATUS_SUCCESS;
  }
  *object = nullptr;
  return STATUS_INVALID_PARAMETER;
}

NTSTATUS WdmMiniportWave::GetDescription(PPCFILTER_DESCRIPTOR* description) {
  *description = &gWaveFilter;
  return STATUS_SUCCESS;
}

void WdmMiniportWave::DropPort() {
  PAGED_CODE();
  if (mPort == nullptr) return;
  mPort->Release();
  mPort = nullptr;
}

void WdmMiniportWave::Attach(WdmDevice* device, ULONG pair) {
  mDevice = device;
  mPair = pair;
}

NTSTATUS WdmMiniportWave::ValidateFormat(PKSDATAFORMAT format) {
  if (format == nullptr || format->FormatSize < kWaveFormatBytes || format->MajorFormat != KSDATAFORMAT_TYPE_AUDIO ||
      format->SubFormat != KSDATAFORMAT_SUBTYPE_PCM || format->Specifier != KSDATAFORMAT_SPECIFIER_WAVEFORMATEX)
    return STATUS_INVALID_PARAMETER;
  const auto* wave = &reinterpret_cast<const KSDATAFORMAT_WAVEFORMATEXTENSIBLE*>(format)->WaveFormatExt;
  const WAVEFORMATEX& w = wave->Format;
  if (w.wFormatTag != WAVE_FORMAT_PCM && w.wFormatTag != WAVE_FORMAT_EXTENSIBLE) return STATUS_INVALID_PARAMETER;
  if (w.wBitsPerSample != 16 && w.wBitsPerSample != 24 && w.wBitsPerSample != 32) return STATUS_INVALID_PARAMETER;
  if ((w.nChannels != 1 && w.nChannels != 2) || !IsUnitRate(w.nSamplesPerSec)) return STATUS_INVALID_PARAMETER;
  if (w.wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
    if (format->FormatSize < kExtensibleFormatBytes || wave->SubFormat != KSDATAFORMAT_SUBTYPE_PCM ||
        w.cbSize < kExtensibleExtraBytes)
      return STATUS_INVALID_PARAMETER;
    if (wave->dwChannelMask != (w.nChannels == 1 ? KSAUDIO_SPEAKER_MONO : KSAUDIO_SPEAKER_STEREO))
      return STATUS_INVALID_PARAMETER;
  }
  return STATUS_SUCCESS;
}

NTSTATUS WdmMiniportWave::DataRangeIntersection(ULONG pin, PKSDATARANGE dataRange, PKSDATARANGE, ULONG outputBufferLength,
                                                PVOID resultantFormat, PULONG resultantFormatLength) {
  PAGED_CODE();
  if (dataRange->Specifier == KSDATAFORMAT_SPECIFIER_NONE) {
    *resultantFormatLength = sizeof(KSDATAFORMAT);
    if (outputBufferLength == 0) return STATUS_BUFFER_OVERFLOW;
    if (outputBufferLength < sizeof(KSDATAFORMAT)) return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(resultantFormat, dataRange, sizeof(KSDATAFORMAT));
    return STATUS_SUCCESS;
  }
  if (dataRange->MajorFormat != KSDATAFORMAT_TYPE_AUDIO || dataRange->SubFormat != KSDATAFORMAT_SUBTYPE_PCM)
    return STATUS_INVALID_PARAMETER;
  *resultantFormatLength = kExtensibleFormatBytes;
  if (outputBufferLength == 0) return STATUS_BUFFER_OVERFLOW;
  if (outputBufferLength < kExtensibleFormatBytes) return STATUS_BUFFER_TOO_SMALL;
  if (dataRange->FormatSize < sizeof(KSDATARANGE_AUDIO)) return STATUS_NO_MATCH;
  const bool capture = pin == kCapturePin;
  // A pin already streaming, or one without a buffer, takes no stream at all.
  if ((capture ? mCaptureOpen : mRenderOpen) || (capture ? mCaptureDma : mRenderDma) == nullptr)
    return STATUS_NO_MATCH;
  const auto* client = reinterpret_cast<const KSDATARANGE_AUDIO*>(dataRange);

  const ULONG channels = client->MaximumChannels < kMaxChannels ? client->MaximumChannels : kMaxChannels;
  if (channels == 0) return STATUS_NO_MATCH;
  ULONG rate = mDevice->OpenWaveRate();
  if (rate != 0) {
    if (!InRange(rate, client->MinimumSampleFrequency, client->MaximumSampleFrequency)) return STATUS_NO_MATCH;
  } else {
    for (ULONG r : kRates) {
      if (!InRange(r, client->MinimumSampleFrequency, client->MaximumSampleFrequency)) continue;
      rate = r;
      break;
    }
    if (rate == 0) return STATUS_NO_MATCH;
  }
  ULONG bits = 0;
  if (mCaptureOpen || mRenderOpen) {
    bits = mBitsPerSample;
    if (!InRange(bits, client->MinimumBitsPerSample, client->MaximumBitsPerSample)) return STATUS_NO_MATCH;
  } else {
    for (ULONG b : kWidths) {
      if (!InRange(b, client->MinimumBitsPerSample, client->MaximumBitsPerSample)) continue;
      bits = b;
      break;
    }
    if (bits == 0) return STATUS_NO_MATCH;
  }

  KSDATAFORMAT_WAVEFORMATEXTENSIBLE result{};
  result.DataFormat = *dataRange;
  result.DataFormat.FormatSize = kExtensibleFormatBytes;
  result.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  WAVEFORMATEXTENSIBLE& w = result.WaveFormatExt;
  w.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  w.Format.nChannels = static_cast<USHORT>(channels);
  w.Format.nSamplesPerSec = rate;
  w.Format.wBitsPerSample = static_cast<USHORT>(bits);
  w.Format.nBlockAlign = static_cast<USHORT>(bits * channels / 8);
  w.Format.nAvgBytesPerSec = w.Format.nBlockAlign * rate;
  w.Format.cbSize = kExtensibleExtraBytes;
  w.Samples.wValidBitsPerSample = static_cast<USHORT>(bits);
  w.dwChannelMask = channels == 2 ? KSAUDIO_SPEAKER_STEREO : KSAUDIO_SPEAKER_MONO;
  w.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  result.DataFormat.SampleSize = w.Format.nBlockAlign;
  std::memcpy(resultantFormat, &result, sizeof result);
  return STATUS_SUCCESS;
}

NTSTATUS WdmMiniportWave::NewBuffer(PRESOURCELIST resourceList, bool capture, PDMACHANNEL* channel) {
  PAGED_CODE();
  *channel = nullptr;
  PDMACHANNEL dma = nullptr;
  NTSTATUS status = mPort->NewMasterDmaChannel(&dma, nullptr, resourceList, kMaxBufferBytes, TRUE, FALSE, Width32Bits,
                                               MaximumDmaSpeed);
  if (!NT_SUCCESS(status)) return status;
  status = STATUS_INSUFFICIENT_RESOURCES;
  for (ULONG size = kMaxBufferBytes; size >= kMinBufferBytes && !NT_SUCCESS(status); size /= 2)
    status = dma->AllocateBuffer(size, nullptr);
  if (!NT_SUCCESS(status)) {
    dma->Release();
    return status;
  }
  const PdoDirectInterface& direct = mDevice->Direct();
  direct.SetStreamBuffer(direct.Context, mPair, capture ? 1 : 0, dma->SystemAddress(), dma->BufferSize());
  *channel = dma;
  return STATUS_SUCCESS;
}

NTSTATUS WdmMiniportWave::Init(PUNKNOWN unknownAdapter, PRESOURCELIST resourceList, PPORTWAVECYCLIC port) {
  PAGED_CODE();
  mCaptureOpen = mRenderOpen = FALSE;
  mRenderStream = mCaptureStream = nullptr;
  mPort = port;
  mPort->AddRef();
  NTSTATUS status = STATUS_INVALID_PARAMETER;
  if (unknownAdapter != nullptr)
    status = unknownAdapter->QueryInterface(IID_IAdapterCommon, reinterpret_cast<void**>(&mAdapterCommon));
  if (!NT_SUCCESS(status)) {
    mAdapterCommon = nullptr;
    mPort->Release();
    mPort = nullptr;
    return status;
  }
  // Without a render buffer render streams are refused; without a capture buffer the pair fails.
  NewBuffer(resourceList, false, &mRenderDma);
  status = NewBuffer(resourceList, true, &mCaptureDma);
  if (!NT_SUCCESS(status)) {
    for (PDMACHANNEL* dma : {&mRenderDma, &mCaptureDma}) {
      if (*dma == nullptr) continue;
      const PdoDirectInterface& direct = mDevice->Direct();
      direct.SetStreamBuffer(direct.Context, mPair, dma == &mCaptureDma ? 1 : 0, nullptr, 0);
      (*dma)->Release();
      *dma = nullptr;
    }
    mAdapterCommon->Release();
    mAdapterCommon = nullptr;
    mPort->Release();
    mPort = nullptr;
  }
  return status;
}

NTSTATUS WdmMiniportWave::NewStream(PMINIPORTWAVECYCLICSTREAM* stream, PUNKNOWN outerUnknown, POOL_TYPE poolType,
                                    ULONG pin, BOOLEAN capture, PKSDATAFORMAT dataFormat, PDMACHANNEL* dmaChannel,
                                    PSERVICEGROUP* serviceGroup) {
  PAGED_CODE();
  *stream = nullptr;
  *dmaChannel = nullptr;
  *serviceGroup = nullptr;
  PDMACHANNEL dma = capture ? mCaptureDma : mRenderDma;
  if ((capture ? mCaptureOpen : mRenderOpen) || dma == nullptr || !NT_SUCCESS(ValidateFormat(dataFormat)))
    return STATUS_INVALID_DEVICE_REQUEST;
  auto* s = new (poolType) WdmWaveStream(outerUnknown, this, pin, capture, dma);
  if (s == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  s->AddRef();
  const NTSTATUS status = s->Open(dataFormat);
  if (!NT_SUCCESS(status)) {
    s->Release();
    return status;
  }
  KIRQL irql;
  KeAcquireSpinLock(&mStreamLock, &irql);
  (capture ? mCaptureOpen : mRenderOpen) = TRUE;
  (capture ? mCaptureStream : mRenderStream) = s;
  KeReleaseSpinLock(&mStreamLock, irql);
  *stream = s;
  *dmaChannel = dma;
  dma->AddRef();
  *serviceGroup = s->ServiceGroup();
  (*serviceGroup)->AddRef();
  return STATUS_SUCCESS;
}

NTSTATUS WdmMiniportWave::SetPairRate(ULONG rate) {
  PAGED_CODE();
  KeWaitForSingleObject(&mRateMutex, Executive, KernelMode, FALSE, nullptr);
  const NTSTATUS status = mDevice->ChangeWaveRate(rate);
  if (NT_SUCCESS(status)) mSampleRate = rate;
  KeReleaseMutex(&mRateMutex, FALSE);
  return status;
}

void WdmMiniportWave::StreamClosed(WdmWaveStream* stream) {
  KIRQL irql;
  KeAcquireSpinLock(&mStreamLock, &irql);
  WdmWaveStream*& slot = stream->IsCapture() ? mCaptureStream : mRenderStream;
  if (slot == stream) {
    slot = nullptr;
    (stream->IsCapture() ? mCaptureOpen : mRenderOpen) = FALSE;
  }
  KeReleaseSpinLock(&mStreamLock, irql);
}

void WdmMiniportWave::NotifyStream(bool capture) {
  KIRQL irql;
  KeAcquireSpinLock(&mStreamLock, &irql);
  if (WdmWaveStream* stream = capture ? mCaptureStream : mRenderStream) mPort->Notify(stream->ServiceGroup());
  KeReleaseSpinLock(&mStreamLock, irql);
}

NTSTATUS CreateMiniportWave(PUNKNOWN* unknown, PUNKNOWN outerUnknown, POOL_TYPE poolType) {
  PAGED_CODE();
  *unknown = nullptr;
  auto* miniport = new (poolType) WdmMiniportWave(outerUnknown);
  if (miniport == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  // The object's IUnknown, whose calls go to the outer unknown when there is one.
  *unknown = static_cast<PMINIPORTWAVECYCLIC>(miniport);
  (*unknown)->AddRef();
  return STATUS_SUCCESS;
}
