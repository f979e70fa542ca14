#include <algorithm>
#include <iterator>

#include "driver/QX531WinDevice.h"
#include "driver/WdmClientState.h"
#include "unit/ControlRequests.h"

namespace {

// Streams (bit 0) and MIDI (bit 1), as request 5 takes them.
constexpr uint32_t kClientStreamMask = 3;

constexpr ULONG kAllClientChannels = (1u << kClientChannels) - 1;
constexpr ULONG kRingSamples = kKernelClientRingBytes / sizeof(LONG);
static_assert((kRingSamples & (kRingSamples - 1)) == 0);

// The deferred playback half as one word: the descriptor's first word in bits 0-31, the half in
// bit 32, the descriptor's index in bits 33-34.
constexpr unsigned kDeferredHalfShift = 32;
constexpr unsigned kDeferredIndexShift = 33;

LONG SaturatingAdd(LONG a, LONG b) {
  const LONGLONG sum = static_cast<LONGLONG>(a) + b;
  if (sum > 0x7FFFFFFFLL) return 0x7FFFFFFF;
  if (sum < -0x80000000LL) return static_cast<LONG>(0x80000000u);
  return static_cast<LONG>(sum);
}

void LockMutex(PKMUTEX mutex) { KeWaitForSingleObject(mutex, Executive, KernelMode, FALSE, nullptr); }

}  // namespace

bool QX531WinDevice::WdmActive() const { return mWdm != nullptr && mWdm->mActive != 0; }

ULONG64 QX531WinDevice::WdmOutputSet() const {
  return WdmActive() ? mWdm->mChannelMask[WdmClientState::kRender] : 0;
}

ULONG QX531WinDevice::GetBufferFrames() { return BufferFrames(); }
ULONG QX531WinDevice::GetInputChannelCount() { return kClientChannels; }
ULONG QX531WinDevice::GetOutputChannelCount() { return kClientChannels; }
void QX531WinDevice::ClientSetSampleRate(ULONG rate) { SetSampleRate(rate); }

// Client mode and restarts

void QX531WinDevice::SetDriverWantsStreaming() { mDriverWantsStreaming = 1; }

// PASSIVE_LEVEL. Streams and MIDI stay on while the driver wants streaming, so the last client
// leaving never stops the surface or the MIDI ports.
void QX531WinDevice::SetClientMode() {
  PAGED_CODE();
  LockMutex(mClientMutex.Get());
  uint32_t mask =
      mDriverWantsStreaming || mAsio.mActive || WdmActive() || KernelClientActive() ? kClientStreamMask : 0;
  uint32_t returned = 0;
  HandleControlRequest(QX531RequestNumber(IOCTL_QX531_SET_STREAM_MASK), &mask, sizeof mask, 0, &returned);
  KeReleaseMutex(mClientMutex.Get(), FALSE);
}

void QX531WinDevice::ApplyClientMode() {
  PAGED_CODE();
  mClientChanged = 1;
  SetClientMode();
}

// PASSIVE_LEVEL. A client that stopped or left: the tables drop its channels at the next buffer.
void QX531WinDevice::RestartClient() {
  PAGED_CODE();
  mAsio.mMapsChanged = 1;
  if (mAsio.mRestartPending) {
    mAsio.mRestartPending = 0;
    RestartClients();
  } else {
    SetClientMode();
  }
}

// PASSIVE_LEVEL. The busy word is given back once the streams are down and before the frames are
// read, so a restart asked for while this one was starting is not lost: it runs after it.
void QX531WinDevice::RestartClients() {
  PAGED_CODE();
  if (InterlockedCompareExchange(&mRestartBusy, 1, 0) != 0) return;
  LockMutex(mClientMutex.Get());
  if (mStreamsMutex != nullptr) LockMutex(mStreamsMutex);
  // Gives back whatever of the streams is allocated, running or not.
  StopAudioStreams();
  InterlockedDecrement(&mRestartBusy);
  const uint32_t index = LastWrittenPreferences().mBufferSizeIndex;
  if (index >= 1 && index < std::size(kBufferFrames)) SetBufferFrames(kBufferFrames[index]);
  if ((SharedState().mStreamMask & kStreamMaskAudio) != 0 && !IsStreaming()) StartAudioStreams();
  if (mStreamsMutex != nullptr) KeReleaseMutex(mStreamsMutex, FALSE);
  KeReleaseMutex(mClientMutex.Get(), FALSE);
}

void QX531WinDevice::QueueRestartClients() {
  if (KeGetCurrentIrql() == PASSIVE_LEVEL) RestartClients();
}

// Up to DISPATCH_LEVEL, from the settings writer when the buffer size changes while streaming.
// A host or kernel client is told and restarts by its own stop; otherwise the restart runs from
// passive work.
void QX531WinDevice::StopClientStreams() {
  const bool asio = mAsio.mActive != 0;
  const bool kernel = KernelClientActive();
  if (asio) {
    InterlockedExchange(&mAsio.mResetRequest, 1);
    mAsio.mRestartPending = 1;
  }
  if (kernel) {
    mAsio.mRestartPending = 1;
    // The callback and its context are registered together: both are read under the client's lock.
    KIRQL irql;
    KeAcquireSpinLock(&mKernelClientLock, &irql);
    const PQX531_CLIENT_CALLBACK callback = mClientCallback;
    const PVOID context = mClientContext;
    KeReleaseSpinLock(&mKernelClientLock, irql);
    KernelClientNotice notice{0, 0};
    if (callback != nullptr) callback(kKernelClientNotice, 0, &notice, context);
  }
  if (!asio && !kernel) QueueRestartClients();
}

// Up to DISPATCH_LEVEL, from the settings writer: the continuous channels follow the settings.
void QX531WinDevice::RefreshClientStreams() {
  const PreferencesBlock& written = LastWrittenPreferences();
  const ULONG inputs = written.Word(PreferencesBlock::kParamContinuousInputs);
  const ULONG outputs = written.Word(PreferencesBlock::kParamContinuousOutputs);
  const ULONG inputChanges = (inputs ^ mAppliedContinuousInputs) & kAllClientChannels;
  const ULONG outputChanges = (outputs ^ mAppliedContinuousOutputs) & kAllClientChannels;
  for (ULONG c = 0; c < kClientChannels; ++c) {
    const ULONG bit = 1u << c;
    if (inputChanges & bit) AttachRecordChannel(c, (inputs & bit) != 0);
    if (outputChanges & bit) AttachPlaybackChannel(c, (outputs & bit) != 0);
  }
  mAppliedContinuousInputs = inputs;
  mAppliedContinuousOutputs = outputs;
  if (inputChanges | outputChanges) mAsio.mMapsChanged = 1;
}

// The per-buffer work, DISPATCH_LEVEL

// DISPATCH_LEVEL, in the list's completion.
void QX531WinDevice::ProcessIsocBuffer(uint32_t list, uint32_t recordStamp, uint32_t playbackStamp) {
  KeAcquireSpinLockAtDpcLevel(&mDescriptorLock);
  UpdateChannelMaps();
  QX531Device::ProcessIsocBuffer(list, recordStamp, playbackStamp);
  KeReleaseSpinLockFromDpcLevel(&mDescriptorLock);
}

// Channels stream while both their halves are published. A playback channel that no running
// client plays reads zeros, so the unit's channel mask does not follow every client.
void QX531WinDevice::UpdateChannelMaps() {
  // Each flag is cleared before the tables are built, so a change made meanwhile is seen now or
  // at the next buffer.
  if (mAsio.mMapsChanged) {
    mAsio.mMapsChanged = 0;
    mChannelMapsDirty = 1;
  }
  if (mWdm != nullptr && mWdm->mMapsDirty) {
    mWdm->mMapsDirty = 0;
    mChannelMapsDirty = 1;
  }
  if (mClientChanged) {
    mClientChanged = 0;
    mChannelMapsDirty = 1;
  }
  if (!mChannelMapsDirty) return;
  mChannelMapsDirty = 0;
  const uint32_t* zeros = SilentOutputArrays()[0];
  ULONG64 played = WdmOutputSet();
  if (mAsio.mActive) played |= mAsio.mOutputMask;
  if (KernelClientActive()) played |= mPlaybackMask;
  uint32_t recordBits = 0;
  uint32_t playbackBits = 0;
  for (ULONG h = 0; h < 2; ++h) {
    std::fill(std::begin(mRecordTable[h]), std::end(mRecordTable[h]), ConverterScratch());
    std::fill(std::begin(mPlaybackTable[h]), std::end(mPlaybackTable[h]), zeros);
    ULONG records = 0;
    ULONG playbacks = 0;
    mRecordTable[h][0] = mStatusIndex;
    for (ULONG c = 0; c < kClientChannels; ++c) {
      if (mActiveRecordHalves[c][0] != nullptr && mActiveRecordHalves[c][1] != nullptr) {
        mRecordTable[h][++records] = reinterpret_cast<uint32_t*>(mActiveRecordHalves[c][h]);
        recordBits |= 1u << c;
      }
      if (mActivePlaybackHalves[c][0] != nullptr && mActivePlaybackHalves[c][1] != nullptr) {
        mPlaybackTable[h][playbacks++] =
            (played >> c & 1) ? reinterpret_cast<const uint32_t*>(mActivePlaybackHalves[c][h]) : zeros;
        playbackBits |= 1u << c;
      }
    }
    mRecordTable[h][records + 1] = mStatusValue;
  }
  SetInputChannelMask(recordBits);
  SetOutputChannelMask(playbackBits);
}

void QX531WinDevice::ConvertBufferPair(uint32_t list, BufferDescriptor* record, BufferDescriptor* playback) {
  const ULONG half = list & 1;
  const bool asio = mAsio.mActive != 0;
  const bool others = WdmActive() || KernelClientActive();
  if (!asio && !others) {
    QX531Device::ConvertBufferPair(list, record, playback);
    return;
  }
  // A pair cut for other masks or frames, just after a change, is left alone.
  if (!RecordBufferMatches(*record)) return;
  UnpackInputChannels(*record, mRecordTable[half]);
  if (asio) SignalAsioClient(half);
  if (!others || (asio && !mAsio.mFirstBuffer)) {
    const auto index = static_cast<ULONG64>(playback - mDescriptors);
    const ULONG64 word = AsioDeferredOutput::kValid | index << kDeferredIndexShift |
                         ULONG64{half} << kDeferredHalfShift | playback->mUseCount;
    InterlockedExchange64(&mAsio.mDeferred.mWord, static_cast<LONG64>(word));
  } else {
    NotifyWdmClient(half);
    ConvertPlayback(playback, half);
  }
  HandleStatusWords(record->mFrames);
}

void QX531WinDevice::ConvertPlayback(BufferDescriptor* playback, ULONG half) {
  if (PlaybackBufferMatches(*playback)) PackOutputChannels(*playback, mPlaybackTable[half]);
}

// The adapter's channels, then the kernel client's: whoever writes a channel first copies into
// it, whoever comes after mixes; the ASIO host has written its channels before either.
void QX531WinDevice::NotifyWdmClient(ULONG half) {
  half &= 1;
  const ULONG64 asio = mAsio.mActive ? mAsio.mOutputMask : 0;
  const ULONG64 wdm = WdmOutputSet();
  if (WdmActive()) {
    WdmClientState::ChannelHalf halves{};
    for (ULONG c = 0; c < kClientChannels; ++c) {
      halves.render[c] = mActivePlaybackHalves[c][half];
      halves.capture[c] = mActiveRecordHalves[c][half];
    }
    mWdm->CopyClientChannels(halves, wdm & ~asio, wdm & asio, mBufferFrames);
  }
  if (KernelClientActive()) {
    const ULONG64 before = asio | wdm;
    ExchangeClientBuffers(half, mPlaybackMask & ~before, mPlaybackMask & before);
  }
}

// PASSIVE_LEVEL, from the host's output-ready request. A descriptor reused since it was kept has
// another first word and is not converted.
void QX531WinDevice::NotifyAsioClient(BufferDescriptor* playback, ULONG half, ULONG firstWord) {
  if (playback->mUseCount != firstWord) return;
  ConvertPlayback(playback, half);
}

void QX531WinDevice::RunDeferredOutput() {
  PAGED_CODE();
  if (!mAsio.mActive || mAsio.mFirstBuffer) return;
  KIRQL irql;
  KeAcquireSpinLock(&mDescriptorLock, &irql);
  const auto word = static_cast<ULONG64>(InterlockedExchange64(&mAsio.mDeferred.mWord, 0));
  if (word & AsioDeferredOutput::kValid) {
    const auto index = static_cast<ULONG>(word >> kDeferredIndexShift & 3);
    const auto half = static_cast<ULONG>(word >> kDeferredHalfShift & 1);
    if (WdmActive() || KernelClientActive()) NotifyWdmClient(half);
    NotifyAsioClient(&mDescriptors[index], half, static_cast<ULONG>(word));
  }
  KeReleaseSpinLock(&mDescriptorLock, irql);
}

void QX531WinDevice::EndAsioSignalling() {
  KIRQL irql;
  KeAcquireSpinLock(&mAsioSignalLock, &irql);
  mAsio.mActive = 0;
  KeReleaseSpinLock(&mAsioSignalLock, irql);
}

// DISPATCH_LEVEL, once per half. The kernel client's rings wrap at every sample.
ULONG QX531WinDevice::ExchangeClientBuffers(ULONG half, ULONG64 copySet, ULONG64 mixSet) {
  half &= 1;
  // The client's commands change its rings and masks under this lock; a client that stopped
  // meanwhile is left alone.
  KIRQL irql;
  KeAcquireSpinLock(&mKernelClientLock, &irql);
  if (!mAudioRunning) {
    KeReleaseSpinLock(&mKernelClientLock, irql);
    return mRingPosition;
  }
  const ULONG frames = mBufferFrames;
  const ULONG at = mRingPosition / sizeof(LONG);
  for (ULONG c = 0; c < kClientChannels; ++c) {
    const PLONG from = mRecordHalves[c][half];
    const PLONG ring = ClientPort::mRecordBuffers[c];
    if (!(mRecordMask >> c & 1) || from == nullptr || ring == nullptr) continue;
    for (ULONG f = 0; f < frames; ++f) ring[(at + f) & (kRingSamples - 1)] = from[f];
  }
  ULONG next = mRingPosition;
  if (PQX531_CLIENT_CALLBACK callback = mClientCallback) {
    const auto position = static_cast<ULONG>(mFramesExchanged * sizeof(LONG)) & (kKernelClientRingBytes - 1);
    next = callback(kKernelClientExchange, position, static_cast<ClientPort*>(this), mClientContext);
  }
  for (ULONG c = 0; c < kClientChannels; ++c) {
    const ULONG64 bit = ULONG64{1} << c;
    const PLONG to = mPlaybackHalves[c][half];
    const PLONG ring = ClientPort::mPlaybackBuffers[c];
    if (!((copySet | mixSet) & bit) || to == nullptr || ring == nullptr) continue;
    for (ULONG f = 0; f < frames; ++f) {
      const LONG sample = ring[(at + f) & (kRingSamples - 1)];
      to[f] = (copySet & bit) ? sample : SaturatingAdd(to[f], sample);
    }
  }
  mFramesExchanged += frames;
  mRingPosition = next & (kKernelClientRingBytes - 1);
  const ULONG position = mRingPosition;
  KeReleaseSpinLock(&mKernelClientLock, irql);
  return position;
}
