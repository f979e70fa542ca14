#include "driver/WdmClientState.h"

namespace {

constexpr ULONG kWidePinFirst = 17;  // pins of more than two channels start at unit channel (pin - 17) x 8
constexpr ULONG kWidePinStride = 8;
constexpr ULONG kPreRollPeriod = 512;  // periods this long or longer start with a silent period
constexpr ULONG64 kPositionLimit = 0x7FFFFFFF;

// The unit channels a pin of this format plays or records: a wide pin its block of eight, a stereo
// pin 2p and 2p + 1, a mono pin 2p alone. False when they lie outside the unit's channels.
bool PinChannels(ULONG pin, ULONG format, ULONG* first, ULONG* count) {
  const ULONG channels = format & kWdmFormatChannelsMask;
  if (channels == 0) return false;
  ULONG start;
  if (channels > 2) {
    if (pin < kWidePinFirst) return false;
    start = (pin - kWidePinFirst) * kWidePinStride;
  } else {
    start = pin * 2;
  }
  if (start >= WdmClientState::kUnitChannels || channels > WdmClientState::kUnitChannels - start) return false;
  *first = start;
  *count = channels;
  return true;
}

// Bytes of one sample, by the first of the format bits that is set; 0 for a format not copied.
ULONG SampleBytes(ULONG format) {
  if (format & kWdmFormat16Bit) return 2;
  if (format & kWdmFormat24Bit) return 3;
  if (format & kWdmFormat32Bit) return 4;
  return 0;
}

// The bytes per frame the adapter's position counts in.
ULONG FrameBytes(ULONG format) {
  const ULONG channels = format & kWdmFormatChannelsMask;
  if (format & kWdmFormat16Bit) return channels * 2;
  if (format & kWdmFormat24Bit) return channels * 3;
  return channels * 4;
}

// (at + by) modulo a cyclic buffer of `size` bytes, for `at` below `size` and `by` at most `size`,
// without overflow; a subtraction, not a division, since it runs for every frame.
ULONG Step(ULONG at, ULONG by, ULONG size) { return at >= size - by ? at - (size - by) : at + by; }

LONG SaturatingAdd(LONG a, LONG b) {
  const LONGLONG sum = static_cast<LONGLONG>(a) + b;
  if (sum > 0x7FFFFFFFLL) return 0x7FFFFFFF;
  if (sum < -0x80000000LL) return static_cast<LONG>(0x80000000u);
  return static_cast<LONG>(sum);
}

ULONG64 ChannelBits(ULONG first, ULONG count) { return ((ULONG64{1} << count) - 1) << first; }

}  // namespace

WdmClientState::WdmClientState() { KeInitializeSpinLock(&mCallbackLock); }

void WdmClientState::Reset() {
  for (auto& pin : mPins) pin[kRender] = pin[kCapture] = Pin{};
  mChannelMask[kRender] = mChannelMask[kCapture] = 0;
  mPinMask[kRender] = mPinMask[kCapture] = 0;
  mActive = 0;
  mMapsDirty = 0;
  mPreRollNotify[0] = 0;
  mPreRollNotify[1] = 0;
  mPreRollNotify[2] = 1;
}

// Callbacks

void WdmClientState::RegisterCallbacks(PVOID clientDevice, PQX531_MIDI_IN_CALLBACK midiIn,
                                       PQX531_WAVE_NOTIFY_CALLBACK waveNotify) {
  PAGED_CODE();
  KIRQL irql;
  KeAcquireSpinLock(&mCallbackLock, &irql);
  mCallbacks = Callbacks{clientDevice, midiIn, waveNotify};
  KeReleaseSpinLock(&mCallbackLock, irql);
  // A call that took the old callbacks may still be inside them.
  while (mCallsInFlight != 0) {
    LARGE_INTEGER tick;
    tick.QuadPart = -10'000;  // 1 ms
    KeDelayExecutionThread(KernelMode, FALSE, &tick);
  }
}

bool WdmClientState::Take(Callbacks* taken) {
  KIRQL irql;
  KeAcquireSpinLock(&mCallbackLock, &irql);
  *taken = mCallbacks;
  const bool any = taken->midiIn != nullptr || taken->waveNotify != nullptr;
  if (any) InterlockedIncrement(&mCallsInFlight);
  KeReleaseSpinLock(&mCallbackLock, irql);
  return any;
}

void WdmClientState::Done() { InterlockedDecrement(&mCallsInFlight); }

void WdmClientState::DeliverMidiIn(ULONG packet) {
  Callbacks callbacks;
  if (!Take(&callbacks)) return;
  if (callbacks.midiIn != nullptr) callbacks.midiIn(callbacks.client, &packet);
  Done();
}

void WdmClientState::Notify(ULONG pin, ULONG direction, ULONG frames) {
  Pin& p = mPins[pin][direction];
  p.frames += frames;
  // The adapter reduces the 32-bit byte count modulo its buffer, which a count wrapping past
  // 32 bits would throw off unless the buffer is a power of two; whole buffers are dropped first.
  if (p.size % p.bytesPerFrame == 0 && ULONG64{p.frames} * p.bytesPerFrame > kPositionLimit)
    p.frames %= p.size / p.bytesPerFrame;
  Callbacks callbacks;
  if (!Take(&callbacks)) return;
  if (callbacks.waveNotify != nullptr) callbacks.waveNotify(callbacks.client, pin, direction);
  Done();
}

// Pins

void WdmClientState::SetStreamFormat(ULONG pin, ULONG format) {
  if (pin >= kPins) return;
  Pin& p = mPins[pin][(format & kWdmFormatCapture) ? kCapture : kRender];
  const ULONG bytesPerFrame = FrameBytes(format);
  // A pin that is not running goes on from the same frame (for a stopped one, the converters'
  // delay) in the format it will run with, within the buffer's whole frames of that format.
  if (p.state < kWdmStateRun && p.bytesPerFrame != 0) {
    ULONG position = p.position / p.bytesPerFrame * bytesPerFrame;
    if (bytesPerFrame != 0 && p.size >= bytesPerFrame) position %= p.size - p.size % bytesPerFrame;
    p.position = position;
  }
  p.format = format;
  p.bytesPerFrame = bytesPerFrame;
}

ULONG WdmClientState::SetStreamBuffer(ULONG pin, UCHAR direction, PVOID buffer, ULONG size) {
  if (pin >= kPins) return size;
  Pin& p = mPins[pin][direction != 0 ? kCapture : kRender];
  p.buffer = static_cast<PUCHAR>(buffer);
  p.size = size;
  return size;
}

ULONG WdmClientState::GetStreamPosition(ULONG pin, UCHAR capture) const {
  if (pin >= kPins) return 0;
  const Pin& p = mPins[pin][capture ? kCapture : kRender];
  return p.frames * p.bytesPerFrame;
}

bool WdmClientState::SetStreamState(ULONG pin, bool capture, ULONG state, ULONG periodFrames, bool converterDelay) {
  if (pin >= kPins) return false;
  const ULONG direction = capture ? kCapture : kRender;
  bool first = true;
  for (ULONG q = 0; q < kPins && first; ++q)
    for (ULONG d = kRender; d <= kCapture; ++d)
      if ((q != pin || d != direction) && mPins[q][d].state >= kWdmStateRun) first = false;
  Pin& p = mPins[pin][direction];
  const ULONG old = p.state;
  const ULONG64 pinBit = ULONG64{1} << pin;
  bool changed = false;
  if (state == kWdmStateRun) {
    const bool longPeriod = periodFrames >= kPreRollPeriod;
    p.state = longPeriod ? kPreRollSilent : kPreRollFirst;
    mPreRollNotify[0] = mPreRollNotify[1] = longPeriod ? 1 : 0;
    ULONG firstChannel, count;
    if (old < kWdmStateRun && PinChannels(pin, p.format, &firstChannel, &count)) {
      p.channels = ChannelBits(firstChannel, count);
      mChannelMask[direction] |= p.channels;
      mPinMask[direction] |= pinBit;
      if (first && !mActive) {
        mActive = 1;
        changed = true;
      }
    }
    mMapsDirty = 1;
  } else if (state == kWdmStateStop || state == kWdmStatePause) {
    if (old >= kWdmStateRun) {
      mPinMask[direction] &= ~pinBit;
      mChannelMask[direction] &= ~p.channels;
      p.channels = 0;
    }
    p.state = state;
    if (state == kWdmStateStop) {
      p.frames = 0;
      p.position = direction == kRender && pin < 4 && converterDelay ? p.bytesPerFrame * kConverterDelayFrames : 0;
    }
    if (first && mActive) {
      mActive = 0;
      changed = true;
    }
    mMapsDirty = 1;
  } else {
    p.state = state;
  }
  return changed;
}

// The per-period copy

void WdmClientState::Advance(Pin& pin, ULONG frames) const {
  pin.position = static_cast<ULONG>((ULONG64{pin.position} + ULONG64{pin.bytesPerFrame} * frames) % pin.size);
}

void WdmClientState::CopyRender(ULONG pin, const ChannelHalf& half, ULONG64 overwrite, ULONG64 mix, ULONG frames) const {
  const Pin& p = mPins[pin][kRender];
  const ULONG sampleBytes = SampleBytes(p.format);
  // A silent first period writes silence itself: nothing is read from any buffer.
  const bool silent = p.state == kPreRollSilent && (p.format & kWdmFormatChannelsMask) <= 2;
  const ULONG size = p.size;
  for (ULONG c = 0; c < kUnitChannels; ++c) {
    const ULONG64 bit = ULONG64{1} << c;
    if (!(p.channels & bit) || !((overwrite | mix) & bit) || half.render[c] == nullptr) continue;
    LONG* out = half.render[c];
    const ULONG lane = (c - static_cast<ULONG>(__builtin_ctzll(p.channels))) * sampleBytes;
    ULONG at = static_cast<ULONG>((ULONG64{p.position} + lane) % size);
    for (ULONG f = 0; f < frames; ++f, at = Step(at, p.bytesPerFrame, size)) {
      ULONG value = 0;
      if (!silent) {
        // A sample may straddle the end of a buffer that is no whole number of frames.
        for (ULONG i = 0; i < sampleBytes; ++i) value |= static_cast<ULONG>(p.buffer[Step(at, i, size)]) << (8 * i);
        value <<= 8 * (4 - sampleBytes);
      }
      const auto sample = static_cast<LONG>(value);
      out[f] = (overwrite & bit) ? sample : SaturatingAdd(out[f], sample);
    }
  }
}

void WdmClientState::CopyCapture(ULONG pin, const ChannelHalf& half, ULONG frames) {
  Pin& p = mPins[pin][kCapture];
  const ULONG sampleBytes = SampleBytes(p.format);
  const ULONG size = p.size;
  for (ULONG c = 0; c < kUnitChannels; ++c) {
    const ULONG64 bit = ULONG64{1} << c;
    if (!(p.channels & bit) || half.capture[c] == nullptr) continue;
    const LONG* in = half.capture[c];
    const ULONG lane = (c - static_cast<ULONG>(__builtin_ctzll(p.channels))) * sampleBytes;
    ULONG at = static_cast<ULONG>((ULONG64{p.position} + lane) % size);
    for (ULONG f = 0; f < frames; ++f, at = Step(at, p.bytesPerFrame, size)) {
      const auto value = static_cast<ULONG>(in[f]);
      const ULONG skip = 4 - sampleBytes;  // the low bytes a narrower sample leaves out
      for (ULONG i = 0; i < sampleBytes; ++i) p.buffer[Step(at, i, size)] = static_cast<UCHAR>(value >> (8 * (skip + i)));
    }
  }
}

bool WdmClientState::CopyClientChannels(const ChannelHalf& half, ULONG64 overwrite, ULONG64 mix, ULONG frames) {
  // Only a pin with a copied format and a buffer of at least one frame takes part.
  auto usable = [](const Pin& p) {
    return p.buffer != nullptr && SampleBytes(p.format) != 0 && p.bytesPerFrame != 0 && p.size >= p.bytesPerFrame;
  };
  for (ULONG pin = 0; pin < kPins; ++pin)
    if ((mPinMask[kRender] >> pin & 1) && usable(mPins[pin][kRender])) CopyRender(pin, half, overwrite, mix, frames);
  for (ULONG pin = 0; pin < kPins; ++pin)
    if ((mPinMask[kCapture] >> pin & 1) && usable(mPins[pin][kCapture])) CopyCapture(pin, half, frames);

  // Each render pin takes its own pre-roll step; the others go on as usual meanwhile.
  for (ULONG pin = 0; pin < kPins; ++pin) {
    Pin& p = mPins[pin][kRender];
    if (!(mPinMask[kRender] >> pin & 1) || !usable(p)) continue;
    switch (p.state) {
      case kPreRollSilent:
        p.state = kPreRollFirst;
        if (mPreRollNotify[0]) Notify(pin, kRender, frames);
        break;
      case kPreRollFirst:
        p.state = kPreRollLast;
        Advance(p, frames);
        if (mPreRollNotify[1]) Notify(pin, kRender, frames);
        break;
      case kPreRollLast:
        p.state = kWdmStateRun;
        Advance(p, frames);
        if (mPreRollNotify[2]) Notify(pin, kRender, frames);
        break;
      case kWdmStateRun:
        Advance(p, frames);
        Notify(pin, kRender, frames);
        break;
      default:
        break;
    }
  }
  for (ULONG pin = 0; pin < kPins; ++pin) {
    Pin& p = mPins[pin][kCapture];
    if (!(mPinMask[kCapture] >> pin & 1) || !usable(p) || p.state < kWdmStateRun) continue;
    Advance(p, frames);
    Notify(pin, kCapture, frames);
  }
  return (mChannelMask[kRender] | mChannelMask[kCapture]) != 0;
}
