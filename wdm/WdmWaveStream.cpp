#include "wdm/WdmWaveStream.h"

#include <cstring>

#include "driver/PdoDirectInterface.h"
#include "wdm/WdmDevice.h"
#include "wdm/WdmDriver.h"
#include "wdm/WdmMiniportWave.h"

namespace {
constexpr LONGLONG kHundredNsPerSecond = 10000000;
}  // namespace

WdmWaveStream::WdmWaveStream(PUNKNOWN outerUnknown, WdmMiniportWave* miniport, ULONG pin, BOOLEAN capture,
                             PDMACHANNEL dma)
    : CUnknown(outerUnknown), mMiniport(miniport), mPin(pin), mCapture(capture), mPair(miniport->Pair()), mDma(dma) {
  mMiniport->AddRef();
  mDma->AddRef();
}

WdmWaveStream::~WdmWaveStream() {
  mMiniport->StreamClosed(this);
  if (mCounted) mMiniport->Device()->CloseWaveStream();
  if (mServiceGroup != nullptr) mServiceGroup->Release();
  mDma->Release();
  mMiniport->Release();
}

NTSTATUS WdmWaveStream::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (IsEqualGUID(iid, IID_IUnknown)) return CUnknown::NonDelegatingQueryInterface(iid, object);
  if (IsEqualGUID(iid, IID_IMiniportWaveCyclicStream)) {
    *object = static_cast<IMiniportWaveCyclicStream*>(this);
    AddRef();
    return STATUS_SUCCESS;
  }
  *object = nullptr;
  return STATUS_INVALID_PARAMETER;
}

NTSTATUS WdmWaveStream::Open(PKSDATAFORMAT dataFormat) {
  PAGED_CODE();
  const auto* wave = &reinterpret_cast<const KSDATAFORMAT_WAVEFORMATEX*>(dataFormat)->WaveFormatEx;
  NTSTATUS status = mMiniport->Device()->OpenWaveStream(wave->nSamplesPerSec);
  if (!NT_SUCCESS(status)) return status;
  mCounted = TRUE;
  status = PcNewServiceGroup(&mServiceGroup, nullptr);
  if (!NT_SUCCESS(status)) return status;
  mChannels = static_cast<UCHAR>(wave->nChannels);
  mBitsPerSample = wave->wBitsPerSample;
  mMiniport->mBitsPerSample = mBitsPerSample;
  mMiniport->AdapterCommon()->SetStreamState(mPair, mCapture, kWdmStateStop);
  mState = KSSTATE_STOP;
  status = mMiniport->SetPairRate(wave->nSamplesPerSec);
  if (!NT_SUCCESS(status)) return status;
  return SetFormat(dataFormat);
}

ULONG WdmWaveStream::FormatWord() const {
  ULONG word = mChannels;
  if (mBitsPerSample == 16)
    word |= kWdmFormat16Bit;
  else if (mBitsPerSample == 24)
    word |= kWdmFormat24Bit;
  else
    word |= kWdmFormat32Bit;
  if (mCapture) word |= kWdmFormatCapture;
  return word;
}

NTSTATUS WdmWaveStream::SetFormat(PKSDATAFORMAT dataFormat) {
  PAGED_CODE();
  if (mState == KSSTATE_RUN) return STATUS_INVALID_DEVICE_REQUEST;
  const NTSTATUS valid = WdmMiniportWave::ValidateFormat(dataFormat);
  if (!NT_SUCCESS(valid)) return valid;
  const auto* wave = &reinterpret_cast<const KSDATAFORMAT_WAVEFORMATEX*>(dataFormat)->WaveFormatEx;
  const NTSTATUS status = mMiniport->SetPairRate(wave->nSamplesPerSec);
  if (!NT_SUCCESS(status)) return status;
  mRate = wave->nSamplesPerSec;
  mChannels = static_cast<UCHAR>(wave->nChannels);
  mBitsPerSample = wave->wBitsPerSample;
  mMiniport->mBitsPerSample = mBitsPerSample;
  // The port uses a cyclic buffer of whole frames; the unit driver is told that size to wrap at.
  const ULONG allocated = mDma->AllocatedBufferSize();
  mDma->SetBufferSize(allocated - allocated % BlockAlign());
  const PdoDirectInterface& direct = mMiniport->Device()->Direct();
  direct.SetStreamBuffer(direct.Context, mPair, mCapture ? 1 : 0, mDma->SystemAddress(), mDma->BufferSize());
  if (PreventAppSRChange == 0) direct.RequestSampleRate(direct.Context, mRate);
  // A paused pin keeps the frames it played: the unit driver counts them in the new format.
  if (mState == KSSTATE_PAUSE) direct.SetStreamFormat(direct.Context, mPair, FormatWord());
  return STATUS_SUCCESS;
}

ULONG WdmWaveStream::SetNotificationFreq(ULONG interval, PULONG framingSize) {
  PAGED_CODE();
  mMiniport->mNotificationInterval = interval;
  const PdoDirectInterface& direct = mMiniport->Device()->Direct();
  ULONG frames = 0;
  direct.GetPeriodFrames(direct.Context, &frames);
  *framingSize = frames * BlockAlign();
  return interval;
}

NTSTATUS WdmWaveStream::SetState(KSSTATE state) {
  PAGED_CODE();
  if (state == KSSTATE_ACQUIRE) state = KSSTATE_PAUSE;
  if (state == mState) return STATUS_SUCCESS;
  WdmAdapterCommon* common = mMiniport->AdapterCommon();
  if (state == KSSTATE_STOP) {
    common->SetStreamState(mPair, mCapture, kWdmStateStop);
  } else if (state == KSSTATE_PAUSE) {
    common->SetStreamState(mPair, mCapture, kWdmStatePause);
  } else {
    const PdoDirectInterface& direct = mMiniport->Device()->Direct();
    direct.SetStreamFormat(direct.Context, mPair, FormatWord());
    common->SetStreamState(mPair, mCapture, kWdmStateRun);
  }
  mState = state;
  return STATUS_SUCCESS;
}

NTSTATUS WdmWaveStream::GetPosition(PULONG position) {
  const PdoDirectInterface& direct = mMiniport->Device()->Direct();
  *position = direct.GetStreamPosition(direct.Context, mPair, mCapture) % mDma->BufferSize();
  return STATUS_SUCCESS;
}

NTSTATUS WdmWaveStream::NormalizePhysicalPosition(PLONGLONG physicalPosition) {
  *physicalPosition = (kHundredNsPerSecond / BlockAlign()) * *physicalPosition / mRate;
  return STATUS_SUCCESS;
}

void WdmWaveStream::Silence(PVOID buffer, ULONG byteCount) { std::memset(buffer, 0, byteCount); }
