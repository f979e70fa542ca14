// A small port class adapter, its own image: a wave-cyclic, a MIDI and a topology miniport with
// made-up filters. Its wave streams make their positions from the clock and are notified by a
// periodic timer, as a device's interrupt would; its MIDI render stream loops into its capture
// stream through a small FIFO; its topology nodes keep what is set. What it sees goes into the
// registry for the tests to read.
#include "tests/platform/portcls/images/TestAdapter.h"

#include <cstring>
#include <string>

#include "platform/kernel/RegistryHive.h"
#include "platform/portcls/include/portcls.h"
#include "platform/portcls/include/stdunk.h"

namespace {

constexpr ULONG kTag = plat::PoolTag("PcTA");

std::u16string Widen(const char* s) { return std::u16string(s, s + std::strlen(s)); }

// Passive-level record of a miniport call, one line each.
void Log(const char* line) {
  plat::RegistryValue old;
  std::u16string text;
  if (NT_SUCCESS(plat::RegistryHive::QueryValue(testadapter::kEventsKey, u"Log", &old)) && old.data.size() >= 2)
    text.assign(reinterpret_cast<const char16_t*>(old.data.data()), old.data.size() / 2 - 1);
  text += Widen(line);
  text += u'\n';
  plat::RegistryHive::CreateKey(testadapter::kEventsKey);
  plat::RegistryHive::SetString(testadapter::kEventsKey, u"Log", text);
}

void Record(const char16_t* name, ULONG value) {
  plat::RegistryHive::CreateKey(testadapter::kEventsKey);
  plat::RegistryHive::SetDword(testadapter::kEventsKey, name, value);
}

struct PoolBase {
  static void* operator new(size_t size, POOL_TYPE pool) noexcept { return ExAllocatePoolWithTag(pool, size, kTag); }
  static void operator delete(void* p) { ExFreePoolWithTag(p, kTag); }
  static void operator delete(void* p, POOL_TYPE) { ExFreePoolWithTag(p, kTag); }
};

// The device's clock: a periodic timer that notifies every running wave stream

struct Notifier {
  KSPIN_LOCK lock;
  KTIMER timer;
  KDPC dpc;
  PPORTWAVECYCLIC port[2];
  PSERVICEGROUP group[2];
  ULONG running;
  ULONG ticks;
};
Notifier gNotifier;

void NotifierDpc(PKDPC, PVOID, PVOID, PVOID) {
  KeAcquireSpinLockAtDpcLevel(&gNotifier.lock);
  ++gNotifier.ticks;
  for (int i = 0; i < 2; ++i)
    if (gNotifier.port[i] != nullptr) gNotifier.port[i]->Notify(gNotifier.group[i]);
  KeReleaseSpinLockFromDpcLevel(&gNotifier.lock);
}

void NotifierStart(int slot, PPORTWAVECYCLIC port, PSERVICEGROUP group, ULONG intervalMs) {
  KIRQL irql;
  KeAcquireSpinLock(&gNotifier.lock, &irql);
  gNotifier.port[slot] = port;
  gNotifier.group[slot] = group;
  bool first = gNotifier.running++ == 0;
  KeReleaseSpinLock(&gNotifier.lock, irql);
  if (first) {
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(intervalMs) * 10000;
    KeSetTimerEx(&gNotifier.timer, due, static_cast<LONG>(intervalMs), &gNotifier.dpc);
  }
}

void NotifierStop(int slot) {
  KIRQL irql;
  KeAcquireSpinLock(&gNotifier.lock, &irql);
  gNotifier.port[slot] = nullptr;
  gNotifier.group[slot] = nullptr;
  bool last = --gNotifier.running == 0;
  KeReleaseSpinLock(&gNotifier.lock, irql);
  if (last) KeCancelTimer(&gNotifier.timer);
}

// The wave-cyclic miniport.

KSDATARANGE_AUDIO gPcmRange = {
    {{sizeof(KSDATARANGE_AUDIO), 0, 0, 0, KSDATAFORMAT_TYPE_AUDIO, KSDATAFORMAT_SUBTYPE_PCM,
      KSDATAFORMAT_SPECIFIER_WAVEFORMATEX}},
    2, 16, 16, 44100, 48000};
KSDATARANGE gAnalogRange = {{sizeof(KSDATARANGE), 0, 0, 0, KSDATAFORMAT_TYPE_AUDIO, KSDATAFORMAT_SUBTYPE_ANALOG,
                             KSDATAFORMAT_SPECIFIER_NONE}};
PKSDATARANGE gPcmRanges[] = {reinterpret_cast<PKSDATARANGE>(&gPcmRange)};
PKSDATARANGE gAnalogRanges[] = {&gAnalogRange};

PCPIN_DESCRIPTOR gWavePins[] = {
    {1, 1, 0, nullptr, {0, nullptr, 0, nullptr, 1, gPcmRanges, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_SINK, &KSCATEGORY_AUDIO, nullptr, {0}}},
    {0, 0, 0, nullptr, {0, nullptr, 0, nullptr, 1, gAnalogRanges, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_NONE, &KSCATEGORY_AUDIO, nullptr, {0}}},
    {1, 1, 0, nullptr, {0, nullptr, 0, nullptr, 1, gPcmRanges, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_SINK, &KSCATEGORY_AUDIO, nullptr, {0}}},
    {0, 0, 0, nullptr, {0, nullptr, 0, nullptr, 1, gAnalogRanges, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_NONE, &KSCATEGORY_AUDIO, nullptr, {0}}},
};
PCNODE_DESCRIPTOR gWaveNodes[] = {{0, nullptr, &KSNODETYPE_ADC, nullptr}, {0, nullptr, &KSNODETYPE_DAC, nullptr}};
PCCONNECTION_DESCRIPTOR gWaveConnections[] = {
    {PCFILTER_NODE, 1, 0, 1}, {0, 0, PCFILTER_NODE, 0}, {PCFILTER_NODE, 2, 1, 1}, {1, 0, PCFILTER_NODE, 3}};
PCFILTER_DESCRIPTOR gWaveFilter = {0, nullptr, sizeof(PCPIN_DESCRIPTOR), 4, gWavePins, sizeof(PCNODE_DESCRIPTOR), 2,
                                   gWaveNodes, 4, gWaveConnections, 0, nullptr};

class WaveMiniport;

class WaveStream final : public CUnknown, public IMiniportWaveCyclicStream, public PoolBase {
 public:
  WaveStream(WaveMiniport* miniport, bool capture, PDMACHANNEL dma, PSERVICEGROUP group);
  ~WaveStream() override;
  DECLARE_STD_UNKNOWN()

  NTSTATUS SetFormat(PKSDATAFORMAT format) override;
  ULONG SetNotificationFreq(ULONG interval, PULONG framingSize) override;
  NTSTATUS SetState(KSSTATE state) override;
  NTSTATUS GetPosition(PULONG position) override;
  NTSTATUS NormalizePhysicalPosition(PLONGLONG position) override {
    *position = 10000000LL / mBlockAlign * *position / mRate;
    return STATUS_SUCCESS;
  }
  void Silence(PVOID buffer, ULONG bytes) override { std::memset(buffer, 0, bytes); }
  PSERVICEGROUP Group() const { return mGroup; }

 private:
  WaveMiniport* mMiniport;
  bool mCapture;
  PDMACHANNEL mDma;
  PSERVICEGROUP mGroup;
  KSSTATE mState = KSSTATE_STOP;
  ULONG mRate = 48000;
  ULONG mBlockAlign = 4;
  ULONG mInterval = 10;
  ULONGLONG mRunSince = 0;   // interrupt time of the last run
  ULONGLONG mBytesBefore = 0;  // bytes played before it
};

class WaveMiniport final : public CUnknown, public IMiniportWaveCyclic, public PoolBase {
 public:
  WaveMiniport() : CUnknown(nullptr) {}
  ~WaveMiniport() override {
    Log("wave: destroyed");
    for (PDMACHANNEL& d : mDma)
      if (d != nullptr) d->Release();
    if (mPort != nullptr) mPort->Release();
  }
  DECLARE_STD_UNKNOWN()

  NTSTATUS GetDescription(PPCFILTER_DESCRIPTOR* description) override {
    *description = &gWaveFilter;
    return STATUS_SUCCESS;
  }
  NTSTATUS DataRangeIntersection(ULONG pin, PKSDATARANGE client, PKSDATARANGE, ULONG length, PVOID result,
                                 PULONG resultLength) override {
    if (client->Specifier == KSDATAFORMAT_SPECIFIER_NONE) return STATUS_NOT_IMPLEMENTED;
    auto* c = reinterpret_cast<PKSDATARANGE_AUDIO>(client);
    Log(length == 0 ? "wave: intersect 0" : "wave: intersect sized");
    *resultLength = sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE);
    if (length == 0) return STATUS_BUFFER_OVERFLOW;
    if (length < *resultLength) return STATUS_BUFFER_TOO_SMALL;
    if (mStreams[pin == testadapter::kWaveCapturePin ? 0 : 1] != nullptr) return STATUS_NO_MATCH;
    ULONG rate = c->MaximumSampleFrequency < 48000 ? c->MaximumSampleFrequency : 48000;
    if (rate < c->MinimumSampleFrequency || rate < 44100 || c->MinimumBitsPerSample > 16) return STATUS_NO_MATCH;
    auto* f = static_cast<KSDATAFORMAT_WAVEFORMATEXTENSIBLE*>(result);
    *f = {};
    f->DataFormat = *client;
    f->DataFormat.FormatSize = sizeof *f;
    f->DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    WAVEFORMATEXTENSIBLE& w = f->WaveFormatExt;
    w.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    w.Format.nChannels = static_cast<USHORT>(c->MaximumChannels < 2 ? c->MaximumChannels : 2);
    w.Format.nSamplesPerSec = rate;
    w.Format.wBitsPerSample = 16;
    w.Format.nBlockAlign = static_cast<USHORT>(w.Format.nChannels * 2);
    w.Format.nAvgBytesPerSec = w.Format.nBlockAlign * rate;
    w.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    w.Samples.wValidBitsPerSample = 16;
    w.dwChannelMask = w.Format.nChannels == 2 ? KSAUDIO_SPEAKER_STEREO : KSAUDIO_SPEAKER_MONO;
    w.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    f->DataFormat.SampleSize = w.Format.nBlockAlign;
    return STATUS_SUCCESS;
  }
  NTSTATUS Init(PUNKNOWN, PRESOURCELIST resources, PPORTWAVECYCLIC port) override {
    PAGED_CODE();
    if (resources == nullptr) return STATUS_DEVICE_CONFIGURATION_ERROR;
    mPort = port;
    mPort->AddRef();
    for (PDMACHANNEL& d : mDma) {
      NTSTATUS status = port->NewMasterDmaChannel(&d, nullptr, resources, testadapter::kWaveBufferBytes, TRUE, FALSE,
                                                  Width32Bits, MaximumDmaSpeed);
      if (NT_SUCCESS(status)) status = d->AllocateBuffer(testadapter::kWaveBufferBytes, nullptr);
      if (!NT_SUCCESS(status)) return status;  // the destructor lets go of what was had
    }
    // The capture buffer holds a ramp, so what is recorded can be told apart.
    auto* capture = static_cast<UCHAR*>(mDma[0]->SystemAddress());
    for (ULONG i = 0; i < testadapter::kWaveBufferBytes; ++i) capture[i] = static_cast<UCHAR>(i);
    Log("wave: init");
    return STATUS_SUCCESS;
  }
  NTSTATUS NewStream(PMINIPORTWAVECYCLICSTREAM* stream, PUNKNOWN, POOL_TYPE pool, ULONG pin, BOOLEAN capture,
                     PKSDATAFORMAT, PDMACHANNEL* dma, PSERVICEGROUP* group) override {
    PAGED_CODE();
    *stream = nullptr;
    int slot = capture ? 0 : 1;
    if (mStreams[slot] != nullptr || (capture && pin != testadapter::kWaveCapturePin)) return STATUS_INVALID_DEVICE_REQUEST;
    PSERVICEGROUP g = nullptr;
    NTSTATUS status = PcNewServiceGroup(&g, nullptr);
    if (!NT_SUCCESS(status)) return status;
    auto* s = new (pool) WaveStream(this, capture != FALSE, mDma[slot], g);
    g->Release();
    if (s == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    s->AddRef();
    mStreams[slot] = s;
    mDma[slot]->AddRef();
    *dma = mDma[slot];
    s->Group()->AddRef();
    *group = s->Group();
    *stream = s;
    Log(capture ? "wave: new capture stream" : "wave: new render stream");
    return STATUS_SUCCESS;
  }

  PPORTWAVECYCLIC Port() const { return mPort; }
  void Gone(bool capture) { mStreams[capture ? 0 : 1] = nullptr; }

 private:
  PPORTWAVECYCLIC mPort = nullptr;
  PDMACHANNEL mDma[2] = {};  // capture, render
  WaveStream* mStreams[2] = {};
};

WaveStream::WaveStream(WaveMiniport* miniport, bool capture, PDMACHANNEL dma, PSERVICEGROUP group)
    : CUnknown(nullptr), mMiniport(miniport), mCapture(capture), mDma(dma), mGroup(group) {
  mMiniport->AddRef();
  mDma->AddRef();
  mGroup->AddRef();
}

WaveStream::~WaveStream() {
  Log(mCapture ? "wave: capture stream destroyed" : "wave: render stream destroyed");
  mMiniport->Gone(mCapture);
  mGroup->Release();
  mDma->Release();
  mMiniport->Release();
}

NTSTATUS WaveStream::SetFormat(PKSDATAFORMAT format) {
  PAGED_CODE();
  if (mState == KSSTATE_RUN) return STATUS_INVALID_DEVICE_REQUEST;
  if (format->FormatSize < sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX)) return STATUS_INVALID_PARAMETER;
  auto* w = &reinterpret_cast<PKSDATAFORMAT_WAVEFORMATEX>(format)->WaveFormatEx;
  if (w->wBitsPerSample != 16 || w->nChannels == 0 || w->nChannels > 2) return STATUS_INVALID_PARAMETER;
  mRate = w->nSamplesPerSec;
  mBlockAlign = w->nBlockAlign;
  Log("wave: set format");
  return STATUS_SUCCESS;
}

ULONG WaveStream::SetNotificationFreq(ULONG interval, PULONG framingSize) {
  PAGED_CODE();
  mInterval = interval;
  *framingSize = mRate * interval / 1000 * mBlockAlign;
  Log("wave: notification frequency");
  return interval;
}

NTSTATUS WaveStream::SetState(KSSTATE state) {
  PAGED_CODE();
  static const char* const kNames[] = {"wave: stop", "wave: acquire", "wave: pause", "wave: run"};
  Log(kNames[state]);
  int slot = mCapture ? 0 : 1;
  if (state == KSSTATE_RUN) {
    mRunSince = KeQueryInterruptTime();
    NotifierStart(slot, mMiniport->Port(), mGroup, mInterval);
  } else if (mState == KSSTATE_RUN) {
    NotifierStop(slot);
    mBytesBefore += (KeQueryInterruptTime() - mRunSince) * mRate / 10000000 * mBlockAlign;
  }
  if (state == KSSTATE_STOP) mBytesBefore = 0;
  mState = state;
  return STATUS_SUCCESS;
}

// Where the device is in the cyclic buffer: the frames the clock has counted while running.
NTSTATUS WaveStream::GetPosition(PULONG position) {
  ULONGLONG bytes = mBytesBefore;
  if (mState == KSSTATE_RUN) bytes += (KeQueryInterruptTime() - mRunSince) * mRate / 10000000 * mBlockAlign;
  *position = static_cast<ULONG>(bytes % mDma->BufferSize());
  return STATUS_SUCCESS;
}

NTSTATUS WaveStream::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (IsEqualGUID(iid, IID_IMiniportWaveCyclicStream)) {
    *object = static_cast<IMiniportWaveCyclicStream*>(this);
    AddRef();
    return STATUS_SUCCESS;
  }
  return CUnknown::NonDelegatingQueryInterface(iid, object);
}

NTSTATUS WaveMiniport::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (IsEqualGUID(iid, IID_IMiniport) || IsEqualGUID(iid, IID_IMiniportWaveCyclic)) {
    *object = static_cast<IMiniportWaveCyclic*>(this);
    AddRef();
    return STATUS_SUCCESS;
  }
  return CUnknown::NonDelegatingQueryInterface(iid, object);
}

// The MIDI miniport: what the render stream takes comes back on the capture stream

KSDATARANGE_MUSIC gMidiRange = {{{sizeof(KSDATARANGE_MUSIC), 0, 0, 0, KSDATAFORMAT_TYPE_MUSIC,
                                  KSDATAFORMAT_SUBTYPE_MIDI, KSDATAFORMAT_SPECIFIER_NONE}},
                                KSMUSIC_TECHNOLOGY_PORT, 0, 0, 0xFFFF};
KSDATARANGE gMidiBusRange = {{sizeof(KSDATARANGE), 0, 0, 0, KSDATAFORMAT_TYPE_MUSIC, KSDATAFORMAT_SUBTYPE_MIDI_BUS,
                              KSDATAFORMAT_SPECIFIER_NONE}};
PKSDATARANGE gMidiRanges[] = {reinterpret_cast<PKSDATARANGE>(&gMidiRange)};
PKSDATARANGE gMidiBusRanges[] = {&gMidiBusRange};
PCPIN_DESCRIPTOR gMidiPins[] = {
    {1, 1, 0, nullptr, {0, nullptr, 0, nullptr, 1, gMidiRanges, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_SINK, &KSCATEGORY_AUDIO, nullptr, {0}}},
    {0, 0, 0, nullptr, {0, nullptr, 0, nullptr, 1, gMidiBusRanges, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_NONE, &KSCATEGORY_AUDIO, nullptr, {0}}},
    {1, 1, 0, nullptr, {0, nullptr, 0, nullptr, 1, gMidiRanges, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_SINK, &KSCATEGORY_AUDIO, nullptr, {0}}},
    {0, 0, 0, nullptr, {0, nullptr, 0, nullptr, 1, gMidiBusRanges, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_NONE, &KSCATEGORY_AUDIO, nullptr, {0}}},
};
PCCONNECTION_DESCRIPTOR gMidiConnections[] = {{PCFILTER_NODE, 0, PCFILTER_NODE, 1}, {PCFILTER_NODE, 3, PCFILTER_NODE, 2}};
PCFILTER_DESCRIPTOR gMidiFilter = {0, nullptr, sizeof(PCPIN_DESCRIPTOR), 4, gMidiPins, sizeof(PCNODE_DESCRIPTOR), 0,
                                   nullptr, 2, gMidiConnections, 0, nullptr};

class MidiMiniport;

class MidiStream final : public CUnknown, public IMiniportMidiStream, public PoolBase {
 public:
  MidiStream(MidiMiniport* miniport, bool capture);
  ~MidiStream() override;
  DECLARE_STD_UNKNOWN()
  NTSTATUS SetFormat(PKSDATAFORMAT) override { return STATUS_SUCCESS; }
  NTSTATUS SetState(KSSTATE state) override;
  NTSTATUS Read(PVOID buffer, ULONG length, PULONG read) override;
  NTSTATUS Write(PVOID buffer, ULONG length, PULONG written) override;

 private:
  MidiMiniport* mMiniport;
  bool mCapture;
};

class MidiMiniport final : public CUnknown, public IMiniportMidi, public PoolBase {
 public:
  MidiMiniport() : CUnknown(nullptr) { KeInitializeSpinLock(&mLock); }
  ~MidiMiniport() override {
    Record(u"MidiServices", mServices);
    Log("midi: destroyed");
    if (mGroup != nullptr) mGroup->Release();
    if (mPort != nullptr) mPort->Release();
  }
  DECLARE_STD_UNKNOWN()

  NTSTATUS GetDescription(PPCFILTER_DESCRIPTOR* description) override {
    *description = &gMidiFilter;
    return STATUS_SUCCESS;
  }
  NTSTATUS DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID, PULONG) override {
    return STATUS_NOT_IMPLEMENTED;
  }
  NTSTATUS Init(PUNKNOWN, PRESOURCELIST, PPORTMIDI port, PSERVICEGROUP* group) override {
    PAGED_CODE();
    *group = nullptr;
    NTSTATUS status = PcNewServiceGroup(&mGroup, nullptr);
    if (!NT_SUCCESS(status)) return status;
    mPort = port;
    mPort->AddRef();
    mGroup->AddRef();
    *group = mGroup;
    port->RegisterServiceGroup(mGroup);
    Log("midi: init");
    return STATUS_SUCCESS;
  }
  void Service() override { InterlockedIncrement(reinterpret_cast<volatile LONG*>(&mServices)); }
  NTSTATUS NewStream(PMINIPORTMIDISTREAM* stream, PUNKNOWN, POOL_TYPE pool, ULONG, BOOLEAN capture, PKSDATAFORMAT,
                     PSERVICEGROUP* group) override {
    PAGED_CODE();
    *stream = nullptr;
    auto* s = new (pool) MidiStream(this, capture != FALSE);
    if (s == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    s->AddRef();
    *stream = s;
    if (capture) {
      mGroup->AddRef();
      *group = mGroup;
    } else {
      *group = nullptr;
    }
    Log(capture ? "midi: new capture stream" : "midi: new render stream");
    return STATUS_SUCCESS;
  }

  // The loop, under its spin lock at any IRQL up to DISPATCH_LEVEL.
  ULONG Put(const UCHAR* bytes, ULONG n) {
    KIRQL irql;
    KeAcquireSpinLock(&mLock, &irql);
    ULONG room = testadapter::kMidiLoopBytes - mHeld;
    ULONG put = n < room ? n : room;
    std::memcpy(mLoop + mHeld, bytes, put);
    mHeld += put;
    KeReleaseSpinLock(&mLock, irql);
    if (put != 0) mPort->Notify(mGroup);
    return put;
  }
  ULONG Take(UCHAR* bytes, ULONG n) {
    KIRQL irql;
    KeAcquireSpinLock(&mLock, &irql);
    ULONG take = n < mHeld ? n : mHeld;
    std::memcpy(bytes, mLoop, take);
    std::memmove(mLoop, mLoop + take, mHeld - take);
    mHeld -= take;
    KeReleaseSpinLock(&mLock, irql);
    return take;
  }

 private:
  PPORTMIDI mPort = nullptr;
  PSERVICEGROUP mGroup = nullptr;
  KSPIN_LOCK mLock;
  UCHAR mLoop[testadapter::kMidiLoopBytes];
  ULONG mHeld = 0;
  volatile ULONG mServices = 0;
};

MidiStream::MidiStream(MidiMiniport* miniport, bool capture) : CUnknown(nullptr), mMiniport(miniport), mCapture(capture) {
  mMiniport->AddRef();
}

MidiStream::~MidiStream() { mMiniport->Release(); }

NTSTATUS MidiStream::SetState(KSSTATE state) {
  static const char* const kNames[] = {"midi: stop", "midi: acquire", "midi: pause", "midi: run"};
  Log(kNames[state]);
  return STATUS_SUCCESS;
}

NTSTATUS MidiStream::Read(PVOID buffer, ULONG length, PULONG read) {
  *read = 0;
  if (!mCapture) return STATUS_INVALID_DEVICE_REQUEST;
  *read = mMiniport->Take(static_cast<UCHAR*>(buffer), length);
  return STATUS_SUCCESS;
}

NTSTATUS MidiStream::Write(PVOID buffer, ULONG length, PULONG written) {
  *written = 0;
  if (mCapture) return STATUS_INVALID_DEVICE_REQUEST;
  *written = mMiniport->Put(static_cast<const UCHAR*>(buffer), length);
  return STATUS_SUCCESS;
}

NTSTATUS MidiStream::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (IsEqualGUID(iid, IID_IMiniportMidiStream)) {
    *object = static_cast<IMiniportMidiStream*>(this);
    AddRef();
    return STATUS_SUCCESS;
  }
  return CUnknown::NonDelegatingQueryInterface(iid, object);
}

NTSTATUS MidiMiniport::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (IsEqualGUID(iid, IID_IMiniport) || IsEqualGUID(iid, IID_IMiniportMidi)) {
    *object = static_cast<IMiniportMidi*>(this);
    AddRef();
    return STATUS_SUCCESS;
  }
  return CUnknown::NonDelegatingQueryInterface(iid, object);
}

// The topology miniport: a volume node and a mute node that keep what is set

class TopologyMiniport;
TopologyMiniport* TopologyOf(PPCPROPERTY_REQUEST request);

NTSTATUS VolumeHandler(PPCPROPERTY_REQUEST request);
NTSTATUS MuteHandler(PPCPROPERTY_REQUEST request);

PCPROPERTY_ITEM gVolumeItems[] = {{&KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL,
                                   PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_SET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT,
                                   VolumeHandler}};
PCPROPERTY_ITEM gMuteItems[] = {{&KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE,
                                 PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_SET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT,
                                 MuteHandler}};
PCAUTOMATION_TABLE gVolumeTable = {sizeof(PCPROPERTY_ITEM), 1, gVolumeItems, 0, 0, nullptr, 0, 0, nullptr, 0};
PCAUTOMATION_TABLE gMuteTable = {sizeof(PCPROPERTY_ITEM), 1, gMuteItems, 0, 0, nullptr, 0, 0, nullptr, 0};
PCPIN_DESCRIPTOR gTopologyPins[] = {
    {0, 0, 0, nullptr, {0, nullptr, 0, nullptr, 1, gAnalogRanges, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_NONE, &KSCATEGORY_AUDIO, nullptr, {0}}},
    {0, 0, 0, nullptr, {0, nullptr, 0, nullptr, 1, gAnalogRanges, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_NONE, &KSCATEGORY_AUDIO, nullptr, {0}}},
};
PCNODE_DESCRIPTOR gTopologyNodes[] = {{0, &gVolumeTable, &KSNODETYPE_VOLUME, nullptr}, {0, &gMuteTable, &KSNODETYPE_MUTE, nullptr}};
PCCONNECTION_DESCRIPTOR gTopologyConnections[] = {{PCFILTER_NODE, 0, 0, 1}, {0, 0, 1, 1}, {1, 0, PCFILTER_NODE, 1}};
PCFILTER_DESCRIPTOR gTopologyFilter = {0, nullptr, sizeof(PCPIN_DESCRIPTOR), 2, gTopologyPins, sizeof(PCNODE_DESCRIPTOR),
                                       2, gTopologyNodes, 3, gTopologyConnections, 0, nullptr};

class TopologyMiniport final : public CUnknown, public IMiniportTopology, public PoolBase {
 public:
  TopologyMiniport() : CUnknown(nullptr) {}
  ~TopologyMiniport() override {
    Log("topology: destroyed");
    if (mPort != nullptr) mPort->Release();
  }
  DECLARE_STD_UNKNOWN()
  NTSTATUS GetDescription(PPCFILTER_DESCRIPTOR* description) override {
    *description = &gTopologyFilter;
    return STATUS_SUCCESS;
  }
  NTSTATUS DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID, PULONG) override {
    return STATUS_NOT_IMPLEMENTED;
  }
  NTSTATUS Init(PUNKNOWN, PRESOURCELIST, PPORTTOPOLOGY port) override {
    PAGED_CODE();
    mPort = port;
    mPort->AddRef();
    Log("topology: init");
    return STATUS_SUCCESS;
  }

  LONG mVolume[2] = {0, 0};  // 1/65536 dB per channel
  LONG mMute = 0;

 private:
  PPORTTOPOLOGY mPort = nullptr;
};

NTSTATUS TopologyMiniport::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (IsEqualGUID(iid, IID_IMiniport) || IsEqualGUID(iid, IID_IMiniportTopology)) {
    *object = static_cast<IMiniportTopology*>(this);
    AddRef();
    return STATUS_SUCCESS;
  }
  return CUnknown::NonDelegatingQueryInterface(iid, object);
}

TopologyMiniport* TopologyOf(PPCPROPERTY_REQUEST request) {
  return static_cast<TopologyMiniport*>(reinterpret_cast<PMINIPORTTOPOLOGY>(request->MajorTarget));
}

constexpr LONG kVolumeMinimum = -96 * 65536;
constexpr LONG kVolumeStep = 65536 / 2;

// Basic support with a buffer for the description (or only the access flags); `full` is the size
// of the whole description with its member lists.
NTSTATUS BasicSupport(PPCPROPERTY_REQUEST request, ULONG valueType, ULONG full, ULONG memberLists) {
  constexpr ULONG kAccess = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT;
  if (request->ValueSize >= sizeof(KSPROPERTY_DESCRIPTION)) {
    auto* d = static_cast<PKSPROPERTY_DESCRIPTION>(request->Value);
    *d = {};
    d->AccessFlags = kAccess;
    d->DescriptionSize = full;
    d->PropTypeSet.Set = KSPROPTYPESETID_General;
    d->PropTypeSet.Id = valueType;
    d->MembersListCount = memberLists;
    request->ValueSize = sizeof(KSPROPERTY_DESCRIPTION);
    return STATUS_SUCCESS;
  }
  if (request->ValueSize >= sizeof(ULONG)) {
    *static_cast<PULONG>(request->Value) = kAccess;
    request->ValueSize = sizeof(ULONG);
    return STATUS_SUCCESS;
  }
  return STATUS_BUFFER_TOO_SMALL;
}

NTSTATUS VolumeHandler(PPCPROPERTY_REQUEST request) {
  if (request->Node != testadapter::kVolumeNode) return STATUS_INVALID_PARAMETER;
  TopologyMiniport* m = TopologyOf(request);
  if (request->Verb & KSPROPERTY_TYPE_BASICSUPPORT) {
    constexpr ULONG kFull = sizeof(KSPROPERTY_DESCRIPTION) + sizeof(KSPROPERTY_MEMBERSHEADER) + sizeof(KSPROPERTY_STEPPING_LONG);
    if (request->ValueSize >= kFull) {
      auto* bytes = static_cast<UCHAR*>(request->Value);
      BasicSupport(request, VT_I4, kFull, 1);
      auto* header = reinterpret_cast<PKSPROPERTY_MEMBERSHEADER>(bytes + sizeof(KSPROPERTY_DESCRIPTION));
      *header = {KSPROPERTY_MEMBER_STEPPEDRANGES, sizeof(KSPROPERTY_STEPPING_LONG), 1, 0};
      auto* range = reinterpret_cast<PKSPROPERTY_STEPPING_LONG>(header + 1);
      *range = {};
      range->SteppingDelta = kVolumeStep;
      range->Bounds.SignedMinimum = kVolumeMinimum;
      range->Bounds.SignedMaximum = 0;
      request->ValueSize = kFull;
      return STATUS_SUCCESS;
    }
    return BasicSupport(request, VT_I4, kFull, 1);
  }
  if (request->InstanceSize < sizeof(LONG) || request->ValueSize < sizeof(LONG)) return STATUS_BUFFER_TOO_SMALL;
  LONG channel = *static_cast<PLONG>(request->Instance);
  if (channel < 0 || channel > 1) return STATUS_INVALID_PARAMETER;
  if (request->Verb & KSPROPERTY_TYPE_GET) {
    *static_cast<PLONG>(request->Value) = m->mVolume[channel];
    request->ValueSize = sizeof(LONG);
    return STATUS_SUCCESS;
  }
  LONG value = *static_cast<PLONG>(request->Value);
  if (value < kVolumeMinimum || value > 0) return STATUS_INVALID_PARAMETER;
  m->mVolume[channel] = value / kVolumeStep * kVolumeStep;
  return STATUS_SUCCESS;
}

NTSTATUS MuteHandler(PPCPROPERTY_REQUEST request) {
  if (request->Node != testadapter::kMuteNode) return STATUS_INVALID_PARAMETER;
  TopologyMiniport* m = TopologyOf(request);
  if (request->Verb & KSPROPERTY_TYPE_BASICSUPPORT) return BasicSupport(request, VT_BOOL, sizeof(KSPROPERTY_DESCRIPTION), 0);
  if (request->ValueSize < sizeof(LONG)) return STATUS_BUFFER_TOO_SMALL;
  if (request->Verb & KSPROPERTY_TYPE_GET) {
    *static_cast<PLONG>(request->Value) = m->mMute;
    request->ValueSize = sizeof(LONG);
    return STATUS_SUCCESS;
  }
  m->mMute = *static_cast<PLONG>(request->Value) != 0 ? 1 : 0;
  return STATUS_SUCCESS;
}

// The driver.

template <typename Miniport>
NTSTATUS Install(PDEVICE_OBJECT fdo, PIRP irp, PRESOURCELIST resources, REFCLSID portClass, PWSTR name, PPORT* kept) {
  PPORT port = nullptr;
  NTSTATUS status = PcNewPort(&port, portClass);
  if (!NT_SUCCESS(status)) return status;
  auto* miniport = new (NonPagedPool) Miniport();
  if (miniport == nullptr) {
    port->Release();
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  miniport->AddRef();
  PUNKNOWN unknown = static_cast<IMiniport*>(miniport);
  status = port->Init(fdo, irp, unknown, nullptr, resources);
  if (NT_SUCCESS(status)) status = PcRegisterSubdevice(fdo, name, port);
  miniport->Release();
  if (NT_SUCCESS(status) && kept != nullptr) {
    *kept = port;
    return status;
  }
  port->Release();
  return status;
}

NTSTATUS StartDevice(PDEVICE_OBJECT fdo, PIRP irp, PRESOURCELIST resources) {
  PAGED_CODE();
  Record(u"StartedWithResources", resources != nullptr ? 1 : 0);
  PPORT wave = nullptr;
  PPORT topology = nullptr;
  WCHAR waveName[] = L"Wave";
  WCHAR midiName[] = L"Midi";
  WCHAR topologyName[] = L"Topology";
  NTSTATUS status = Install<WaveMiniport>(fdo, irp, resources, CLSID_PortWaveCyclic, waveName, &wave);
  if (NT_SUCCESS(status)) status = Install<MidiMiniport>(fdo, irp, resources, CLSID_PortMidi, midiName, nullptr);
  if (NT_SUCCESS(status)) status = Install<TopologyMiniport>(fdo, irp, resources, CLSID_PortTopology, topologyName, &topology);
  if (NT_SUCCESS(status)) {
    // The wave filter again, under its name in other letters and under a new name.
    WCHAR again[] = L"WAVE";
    WCHAR other[] = L"Wave2";
    Record(u"DuplicateStatus", static_cast<ULONG>(PcRegisterSubdevice(fdo, again, wave)));
    Record(u"SecondNameStatus", static_cast<ULONG>(PcRegisterSubdevice(fdo, other, wave)));
    Record(u"ConnectionStatus", static_cast<ULONG>(PcRegisterPhysicalConnection(fdo, wave, 3, topology, 0)));
  }
  if (wave != nullptr) wave->Release();
  if (topology != nullptr) topology->Release();
  Record(u"StartStatus", static_cast<ULONG>(status));
  return status;
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PAGED_CODE();
  return PcAddAdapterDevice(driver, pdo, StartDevice, 4, 0);
}

void Unload(PDRIVER_OBJECT) {
  PAGED_CODE();
  plat::RegistryValue old;
  ULONG n = 0;
  if (NT_SUCCESS(plat::RegistryHive::QueryValue(testadapter::kEventsKey, u"Unloads", &old)) && old.data.size() == 4)
    std::memcpy(&n, old.data.data(), 4);
  Record(u"Unloads", n + 1);
}

}  // namespace

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  PAGED_CODE();
  KeInitializeSpinLock(&gNotifier.lock);
  KeInitializeTimer(&gNotifier.timer);
  KeInitializeDpc(&gNotifier.dpc, NotifierDpc, nullptr);
  // Set before port class takes the dispatch table: it leaves the unload routine alone.
  driver->DriverUnload = Unload;
  return PcInitializeAdapterDriver(driver, registryPath, AddDevice);
}
