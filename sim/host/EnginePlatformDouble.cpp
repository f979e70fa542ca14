#include "sim/host/EnginePlatformDouble.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>

#include "platform/kernel/Verifier.h"
#include "unit/ChannelRows.h"

namespace sim {
namespace {

// The unit table is shared by every unit of the process, so its lock is too.
KSPIN_LOCK gUnitTableLock = 0;

// A host window: the range on the bus and the engine buffer its writes land in.
struct RangeInfo {
  uint64_t offset;
};

struct AddressHandle {
  uint32_t block;
  uint32_t queued;
};

constexpr uint32_t kNoChannel = 64;

// What plug-in allocates comes from non-paged pool under the tag the driver uses, so that pool
// failures reach it as they will reach the driver.
constexpr ULONG kPoolTag = PoolTag("Wdm ");

template <class T, class... Args>
T* PoolNew(Args... args) {
  void* p = ExAllocatePoolWithTag(NonPagedPool, sizeof(T), kPoolTag);
  return p != nullptr ? new (p) T{args...} : nullptr;
}

template <class T>
void PoolDelete(T* object) {
  if (object == nullptr) return;
  object->~T();
  ExFreePoolWithTag(object, kPoolTag);
}
constexpr size_t kMidiRecordBytes = 8;

constexpr int32_t kStreamFailure = 99;
constexpr uint8_t kSpeedS400 = 2;  // as the unit's speed registers take it
constexpr uint32_t kStartDelayCycles = 4096;
constexpr uint32_t kIdleWaits = 50;
constexpr LONGLONG kIdleWait100ns = -5 * 10000;  // 5 ms

// Adds n cycles to a cycle-time word, carrying into the seconds, which wrap after 127.
uint32_t AddCycles(uint32_t word, uint32_t n) {
  uint32_t cycle = (word >> 12 & 0x1FFF) + n;
  uint32_t seconds = word >> 25;
  seconds += cycle / kCyclesPerSecond;
  cycle %= kCyclesPerSecond;
  return (seconds % kCycleTimeSeconds) << 25 | cycle << 12 | (word & 0xFFF);
}

// The stream switches go out as queued writes whose completion nobody waits for.
int32_t SwitchWritten(void*, uint32_t) { return 0; }

// The status a queued write completes with, as the 1394 bus driver reports the outcome.
uint32_t StatusOf(AsyncStatus s) {
  switch (s) {
    case AsyncStatus::Complete: return static_cast<uint32_t>(STATUS_SUCCESS);
    case AsyncStatus::Departed:
    case AsyncStatus::StaleGeneration: return static_cast<uint32_t>(STATUS_IO_DEVICE_ERROR_1394_DEPARTED);
    case AsyncStatus::Timeout: return static_cast<uint32_t>(STATUS_IO_TIMEOUT);
    case AsyncStatus::Busy: return static_cast<uint32_t>(STATUS_DEVICE_BUSY);
    case AsyncStatus::TypeError: return static_cast<uint32_t>(STATUS_INVALID_DEVICE_REQUEST);
    case AsyncStatus::AddressError: return static_cast<uint32_t>(STATUS_INVALID_ADDRESS);
    case AsyncStatus::DataError: return static_cast<uint32_t>(STATUS_DEVICE_DATA_ERROR);
  }
  return EnginePlatformDouble::kStatusFailed;
}

constexpr LONGLONG kSyncTimeout100ns = -100 * 10000;  // 100 ms

Steering SteeringOf(QueuedWriteMode mode) {
  switch (mode) {
    case QueuedWriteMode::Hold: return {TransactionMode::HoldResponse};
    case QueuedWriteMode::Inline: return {TransactionMode::Immediate};
    case QueuedWriteMode::Refuse: return {TransactionMode::Refuse};
    case QueuedWriteMode::Fail: return {TransactionMode::Fail, AsyncStatus::DataError};
    case QueuedWriteMode::Deliver: break;
  }
  return {TransactionMode::Deliver};
}

constexpr size_t kClientHalfBytes = ::kChannelArrayEntries * sizeof(uint32_t);
constexpr std::align_val_t kRowAlignment{kCacheLineBytes};

}  // namespace

// One direction's isochronous resources on the host node.
struct EnginePlatformDouble::StreamObject {
  uint32_t direction;
  bool allocated = false;
  bool started = false;
  uint32_t channel = kNoChannel;
  uint32_t bandwidth = 0;
};

EnginePlatformDouble::EnginePlatformDouble(HostNode& host, uint64_t unitGuid, DoubleSettingsStore& store)
    : host_(host), guid_(unitGuid), store_(store) {
  std::weak_ptr<int> alive = alive_;
  resetListener_ = host_.AddResetListener([this, alive](uint32_t) {
    if (alive.expired()) return;
    // Like the Windows layer, handle the reset at PASSIVE_LEVEL on a worker thread.
    auto* item = new WORK_QUEUE_ITEM;
    struct Ctx {
      EnginePlatformDouble* self;
      std::weak_ptr<int> alive;
      WORK_QUEUE_ITEM* item;
    };
    auto* ctx = new Ctx{this, alive, item};
    ExInitializeWorkItem(item, [](PVOID p) {
      auto* c = static_cast<Ctx*>(p);
      if (!c->alive.expired()) c->self->OnBusReset();
      delete c->item;
      delete c;
    }, ctx);
    ExQueueWorkItem(item, CriticalWorkQueue);
  });
}

EnginePlatformDouble::~EnginePlatformDouble() { host_.RemoveResetListener(resetListener_); }

void EnginePlatformDouble::OnBusReset() {
  PAGED_CODE();
  ExtractNodeAndGenerationIDs();
  HandleBusReset();
}

size_t EnginePlatformDouble::HeldCount() const { return host_.GetBus() != nullptr ? host_.GetBus()->HeldCount() : 0; }

void EnginePlatformDouble::ReleaseHeld(size_t index) {
  if (index >= HeldCount()) plat::Violation("ReleaseHeld of a completion that is not held");
  host_.GetBus()->ReleaseHeld(index);
}

void EnginePlatformDouble::ReleaseAllHeld() {
  while (HeldCount() != 0) ReleaseHeld(0);
}

int32_t EnginePlatformDouble::ReadPreferences(PreferencesBlock* block, uint32_t) {
  if (!store_.block) return kBusFailure;
  *block = *store_.block;
  return 0;
}

int32_t EnginePlatformDouble::WritePreferences(const PreferencesBlock* block, uint32_t) {
  store_.block = *block;
  store_.writes += 1;
  return 0;
}

int32_t EnginePlatformDouble::PlatformQueryBus() { return host_.NodeIdOf(guid_) ? 0 : kBusFailure; }

int32_t EnginePlatformDouble::ExtractNodeAndGenerationIDs() {
  auto node = host_.NodeIdOf(guid_);
  if (!node) return kBusFailure;
  mNodeNum = *node;
  mlocalNodeNum = host_.NodeId();
  mGenerationNumber = host_.Generation();
  return 0;
}

int32_t EnginePlatformDouble::GetRegisterBase() {
  mRegBaseAddress = 0;
  return 0;
}

int32_t EnginePlatformDouble::OpenAddressHandle(PlatformHandle* handle, uint32_t block, uint32_t queued, uint32_t) {
  auto* h = PoolNew<AddressHandle>(block, queued);
  if (h == nullptr) return kBusFailure;
  *handle = h;
  return 0;
}

int32_t EnginePlatformDouble::CloseAddressHandle(PlatformHandle handle) {
  PoolDelete(static_cast<AddressHandle*>(handle));
  return 0;
}

int32_t EnginePlatformDouble::AllocateIsochStreamObject(PlatformHandle* stream, uint32_t direction) {
  auto* object = PoolNew<StreamObject>(direction & 1);
  if (object == nullptr) return kBusFailure;
  streamObjects_[direction & 1] = object;
  *stream = object;
  return 0;
}

int32_t EnginePlatformDouble::FreeIsochStreamObject(PlatformHandle stream) {
  auto* object = static_cast<StreamObject*>(stream);
  if (object == nullptr) return 0;
  FreeIsochStream(object, object->direction);
  if (streamObjects_[object->direction] == object) streamObjects_[object->direction] = nullptr;
  PoolDelete(object);
  return 0;
}

uint32_t EnginePlatformDouble::RecordChannel() const { return mRecordChannel; }
uint32_t EnginePlatformDouble::PlaybackChannel() const { return mPlaybackChannel; }

int32_t EnginePlatformDouble::AllocateIsochStream(PlatformHandle stream, uint32_t direction) {
  auto* object = static_cast<StreamObject*>(stream);
  if (object == nullptr) return kStreamFailure;
  if (object->allocated) return 0;
  const bool record = direction == 0;
  uint8_t* const* slotsA = record ? mRecordSlotsA : mPlaybackSlotsA;
  uint8_t* const* slotsB = record ? mRecordSlotsB : mPlaybackSlotsB;
  if (slotsA[0] == nullptr || slotsB[0] == nullptr) {
    LogString("   *** Failed isoch memory allocation \n");
    return kStreamFailure;
  }
  const uint32_t size = record ? kRecordSlotPitch : kPlaybackSlotPitch;
  auto bandwidth = host_.AllocateBandwidth(size, kSpeedS400);
  if (!bandwidth) {
    LogLabelHex("   *** Failed bandwidth allocation ", kStatusFailed);
    return kStreamFailure;
  }
  auto channel = host_.AllocateChannel();
  if (!channel) {
    LogLabelHex("   *** Failed isoch channel allocation ", kStatusFailed);
    host_.FreeBandwidth(*bandwidth);
    return kStreamFailure;
  }
  std::weak_ptr<int> alive = alive_;
  for (uint32_t letter = 0; letter < 2; ++letter) {
    const uint32_t which = (record ? kRecordA : kPlaybackA) + letter;
    StreamList& l = lists_[which];
    uint8_t* const* slots = letter == 0 ? slotsA : slotsB;
    for (uint32_t j = 0; j < kPacketsPerList; ++j) l.buffers[j] = IsoBuffer{slots[j], size};
    l.list.buffers = l.buffers;
    l.list.count = 0;
    l.list.startCycleTime.reset();
    l.list.done = [this, alive, which](IsoList&) {
      if (!alive.expired()) ListDone(which);
    };
    l.busy = false;
  }
  object->channel = *channel;
  object->bandwidth = *bandwidth;
  object->allocated = true;
  if (record) {
    SetRecordIsochChannel(*channel, kSpeedS400);
  } else {
    SetPlaybackIsochChannel(*channel, kSpeedS400);
  }
  return 0;
}

int32_t EnginePlatformDouble::StartIsochStreams() {
  StreamObject* record = streamObjects_[0];
  StreamObject* playback = streamObjects_[1];
  if (record == nullptr || playback == nullptr || !record->allocated || !playback->allocated) return kStreamFailure;
  running_ = true;
  startTime_ = plat::Scheduler::Current().Now();
  lockTime_.reset();
  const uint32_t start = AddCycles(host_.CycleTime() & 0xFFFFF000, kStartDelayCycles);
  mPlaybackSchedule[0] = start;
  mPlaybackSchedule[1] = AddCycles(start, mRecordPacketsA);
  schedule_ = AddCycles(mPlaybackSchedule[1], mRecordPacketsB);
  playbackEnd_ = ResolveStartCycle(host_.GetBus() != nullptr ? host_.GetBus()->CurrentCycle() : 0, schedule_);
  Attach(kRecordA, mRecordPacketsA, nullptr);
  Attach(kRecordB, mRecordPacketsB, nullptr);
  Attach(kPlaybackA, mPlaybackPacketsA, mPlaybackLengthsA);
  Attach(kPlaybackB, mPlaybackPacketsB, mPlaybackLengthsB);
  host_.Listen(record->channel, start);
  EnableRecordStream(SwitchWritten, nullptr);
  record->started = true;
  EnablePlaybackStream(SwitchWritten, nullptr);
  host_.Talk(playback->channel, start);
  playback->started = true;
  return 0;
}

// Every list taken off the bus still reports back, as the bus driver's detach completion does, in
// the order the lists would have finished: handed back in any other order, the engine takes them
// for a completion-order fault and asks for re-initialisation. A list whose completion was already
// queued reports by itself.
int32_t EnginePlatformDouble::StopIsochStreams() {
  running_ = false;
  StreamObject* record = streamObjects_[0];
  StreamObject* playback = streamObjects_[1];
  if (record != nullptr && record->started) {
    DisableRecordStream(SwitchWritten, nullptr);
    host_.StopListen(record->channel);
    record->started = false;
  }
  if (playback != nullptr && playback->started) {
    playback->started = false;
    host_.StopTalk(playback->channel);
    DisablePlaybackStream(SwitchWritten, nullptr);
  }
  std::array<uint32_t, 4> order = {kRecordA, kRecordB, kPlaybackA, kPlaybackB};
  std::sort(order.begin(), order.end(),
            [this](uint32_t a, uint32_t b) { return lists_[a].attachOrder < lists_[b].attachOrder; });
  std::weak_ptr<int> alive = alive_;
  for (uint32_t which : order) {
    if (!host_.Detach(lists_[which].list)) continue;
    plat::Scheduler::Current().After(0, [this, alive, which] {
      if (!alive.expired()) ListDone(which);
    });
  }
  return 0;
}

int32_t EnginePlatformDouble::WaitIsochIdle() {
  auto busy = [this] {
    return std::any_of(std::begin(lists_), std::end(lists_), [](const StreamList& l) { return l.busy; });
  };
  for (uint32_t i = 0; i < kIdleWaits && busy(); ++i) {
    LARGE_INTEGER interval;
    interval.QuadPart = kIdleWait100ns;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
  }
  return 0;
}

int32_t EnginePlatformDouble::FreeIsochStream(PlatformHandle stream, uint32_t direction) {
  auto* object = static_cast<StreamObject*>(stream);
  if (object == nullptr || !object->allocated) return 0;
  const bool record = (direction & 1) == 0;
  if (object->started) {
    if (record) {
      host_.StopListen(object->channel);
    } else {
      host_.StopTalk(object->channel);
    }
    object->started = false;
  }
  for (uint32_t letter = 0; letter < 2; ++letter) {
    StreamList& l = lists_[(record ? kRecordA : kPlaybackA) + letter];
    if (host_.Detach(l.list)) l.busy = false;
  }
  host_.FreeChannel(object->channel);
  host_.FreeBandwidth(object->bandwidth);
  object->channel = kNoChannel;
  object->bandwidth = 0;
  object->allocated = false;
  return 0;
}

int32_t EnginePlatformDouble::RequeueBuffers(uint32_t list, uint32_t recordPackets, uint32_t playbackPackets,
                                             const uint32_t* lengths) {
  if (!running_) return 0;
  list &= 1;
  Attach(kRecordA + list, recordPackets, nullptr);
  // A list whose turn has passed (the stream stalled while a unit was away) goes out after the one
  // before it, or at once: it is scheduled, and stamped, where it really starts.
  const uint64_t now = host_.GetBus() != nullptr ? host_.GetBus()->CurrentCycle() : 0;
  const uint64_t start = std::max(ResolveStartCycle(now, schedule_), playbackEnd_);
  if (start != ResolveStartCycle(now, schedule_)) schedule_ = CycleTimeWord(start);
  mPlaybackSchedule[list] = schedule_;
  playbackEnd_ = start + playbackPackets;
  schedule_ = AddCycles(schedule_, playbackPackets);
  Attach(kPlaybackA + list, playbackPackets, lengths);
  return 0;
}

bool EnginePlatformDouble::Attach(uint32_t which, uint32_t count, const uint32_t* lengths) {
  StreamList& l = lists_[which];
  const bool playback = which >= kPlaybackA;
  StreamObject* object = streamObjects_[playback ? 1 : 0];
  if (l.busy || object == nullptr || count == 0 || count > kPacketsPerList) {
    ++streams_.attachRefused;
    LogLabelHex("   *** Failed isoch add buffer list ", kStatusFailed);
    return false;
  }
  l.list.count = count;
  if (playback) {
    for (uint32_t j = 0; j < count; ++j) l.buffers[j].length = lengths[j];
    l.list.startCycleTime = mPlaybackSchedule[which & 1];
  }
  const bool attached =
      playback ? host_.AttachTransmit(object->channel, l.list) : host_.AttachReceive(object->channel, l.list);
  if (!attached) {
    ++streams_.attachRefused;
    LogLabelHex("   *** Failed isoch add buffer list ", kStatusFailed);
    return false;
  }
  l.busy = true;
  l.attachOrder = ++attachCount_;
  return true;
}

// A completion that arrives after its stream was freed no longer reaches the engine, whose packet
// slots may be gone.
void EnginePlatformDouble::ListDone(uint32_t which) {
  lists_[which].busy = false;
  StreamObject* object = streamObjects_[which >= kPlaybackA ? 1 : 0];
  if (object == nullptr || !object->allocated) return;
  ++streams_.listsDone[which];
  switch (which) {
    case kRecordA:
      HandleInputBufferACallback();
      break;
    case kRecordB:
      HandleInputBufferBCallback();
      break;
    case kPlaybackA:
      HandleOutputBufferACallback();
      break;
    default:
      HandleOutputBufferBCallback();
      break;
  }
}

void EnginePlatformDouble::RowsFree::operator()(uint8_t* rows) const { ::operator delete[](rows, kRowAlignment); }

uint32_t* EnginePlatformDouble::ClientRow(uint32_t row, uint32_t half) {
  if (row >= kClientRows || half > 1) plat::Violation("ClientRow of a row or half that a client does not have");
  if (!clientRows_) {
    const size_t bytes = ChannelRowsBytes(kClientRows, 2 * kClientHalfBytes);
    clientRows_.reset(static_cast<uint8_t*>(::operator new[](bytes, kRowAlignment)));
    std::memset(clientRows_.get(), 0, bytes);
  }
  return reinterpret_cast<uint32_t*>(clientRows_.get() + ChannelHalfOffset(row, half, kClientHalfBytes));
}

void EnginePlatformDouble::AttachClientBuffers(uint32_t half, std::span<uint32_t* const> record,
                                               std::span<const uint32_t* const> playback) {
  half &= 1;
  for (uint32_t k = 0; k < ::kMaxStreamChannels; ++k) {
    clientRecord_[half][k] = k < record.size() ? record[k] : nullptr;
    clientPlayback_[half][k] = k < playback.size() ? playback[k] : nullptr;
  }
}

void EnginePlatformDouble::DetachClientBuffers() {
  std::fill(&clientRecord_[0][0], &clientRecord_[0][0] + 2 * ::kMaxStreamChannels, nullptr);
  std::fill(&clientPlayback_[0][0], &clientPlayback_[0][0] + 2 * ::kMaxStreamChannels, nullptr);
}

// A half whose record buffer does not match the stream is skipped whole; the playback half is
// packed only when it matches too, after the clients have seen the record half. Lists handed back
// after a stop were cut short, and what they seem to hold is left over from earlier passes.
void EnginePlatformDouble::ConvertBufferPair(uint32_t list, BufferDescriptor* record, BufferDescriptor* playback) {
  if (!running_) return;
  const uint32_t half = list & 1;
  if (record->mFrames != BufferFrames()) ++streams_.badHalves;
  if (!RecordBufferMatches(*record)) return;
  uint32_t* destinations[kInputArrays];
  destinations[0] = mStatusIndex;
  for (uint32_t k = 0; k < mInputChannels; ++k) {
    destinations[k + 1] = clientRecord_[half][k] != nullptr ? clientRecord_[half][k] : ConverterScratch();
  }
  destinations[mInputChannels + 1] = mStatusValue;
  UnpackInputChannels(*record, destinations);
  ++streams_.halves;
  if (!lockTime_ && LockState() == 2) lockTime_ = plat::Scheduler::Current().Now() - startTime_;
  if (halfCallback_) halfCallback_(half, record->mFrames);
  if (PlaybackBufferMatches(*playback)) {
    const uint32_t* const* silence = SilentOutputArrays();
    const uint32_t* sources[kOutputArrays];
    for (uint32_t k = 0; k < kOutputArrays; ++k) {
      const uint32_t* client = k < ::kMaxStreamChannels ? clientPlayback_[half][k] : nullptr;
      sources[k] = client != nullptr ? client : silence[k];
    }
    PackOutputChannels(*playback, sources);
  } else {
    ++streams_.playbackSkipped;
  }
  HandleStatusWords(record->mFrames);
}

int32_t EnginePlatformDouble::AllocateFWMemorySpace(PlatformHandle* range, uint32_t, void* buffer, uint32_t length,
                                                    uint32_t* hi, uint32_t* lo) {
  bool midi = buffer == mMIDIReceiveBuffer;
  auto* bytes = static_cast<uint8_t*>(buffer);
  std::weak_ptr<int> alive = alive_;
  auto offset = host_.AllocateAddressRange(length, [this, alive, midi, bytes, length](uint64_t, std::span<const uint8_t> data) {
    if (alive.expired()) return;
    if (midi)
      OnMIDIReceiveWrite(bytes, length, data);
    else
      OnAsyncReceiveWrite(bytes, length, data);
  });
  if (!offset) return kBusFailure;
  auto* r = PoolNew<RangeInfo>(*offset);
  if (r == nullptr) {
    host_.FreeAddressRange(*offset);
    return kBusFailure;
  }
  *range = r;
  *hi = static_cast<uint32_t>(*offset >> 32) & 0xFFFF;
  *lo = static_cast<uint32_t>(*offset);
  return 0;
}

// Whatever offset the unit wrote at, the engine reads the records from the start of its buffer,
// each record's event quadlet turned from bus order into host order.
void EnginePlatformDouble::OnMIDIReceiveWrite(uint8_t* buffer, uint32_t room, std::span<const uint8_t> data) {
  if (data.size() % kMidiRecordBytes != 0) return;
  const size_t n = std::min<size_t>(data.size(), room);
  std::memcpy(buffer, data.data(), n);
  for (size_t at = 0; at + kMidiRecordBytes <= n; at += kMidiRecordBytes) {
    const uint8_t* b = buffer + at;
    const uint32_t event = uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | b[3];
    std::memcpy(buffer + at, &event, sizeof event);
  }
  HandleMIDIReceive(static_cast<uint32_t>(n));
}

void EnginePlatformDouble::OnAsyncReceiveWrite(uint8_t* buffer, uint32_t room, std::span<const uint8_t> data) {
  const size_t n = std::min<size_t>(data.size(), room);
  std::memcpy(buffer, data.data(), n);
  HandleAsyncReceive(static_cast<uint32_t>(n));
}

int32_t EnginePlatformDouble::FreeFWMemorySpace(PlatformHandle range) {
  auto* r = static_cast<RangeInfo*>(range);
  host_.FreeAddressRange(r->offset);
  PoolDelete(r);
  return 0;
}

int32_t EnginePlatformDouble::AllocateBuffer(StreamBuffer* descriptor, uint32_t length, uint32_t) {
  descriptor->mBuffer = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, length, kPoolTag));
  descriptor->mMapping = descriptor->mBuffer;
  return descriptor->mBuffer != nullptr ? 0 : kBusFailure;
}

int32_t EnginePlatformDouble::FreeBuffer(StreamBuffer* descriptor) {
  if (descriptor->mBuffer != nullptr) ExFreePoolWithTag(descriptor->mBuffer, kPoolTag);
  descriptor->mBuffer = nullptr;
  descriptor->mMapping = nullptr;
  return 0;
}

int32_t EnginePlatformDouble::DeliverMIDIInEvent(uint32_t event) {
  midiIn_.push_back(event);
  return 0;
}

int32_t EnginePlatformDouble::OnPanelRequest() {
  panelRequests_ += 1;
  return 0;
}

uint64_t EnginePlatformDouble::Address(uint32_t offset) const {
  return (uint64_t{0xFFFF} << 32) + uint64_t{mRegBaseAddress} + offset;
}

uint32_t EnginePlatformDouble::ReadQuadlet(PlatformHandle, uint32_t offset) {
  auto node = host_.NodeIdOf(guid_);
  if (!node) return 0;
  struct Result {
    KEVENT done;
    AsyncStatus status = AsyncStatus::Timeout;
    uint8_t bytes[4] = {};
  };
  auto result = std::make_shared<Result>();
  KeInitializeEvent(&result->done, NotificationEvent, FALSE);
  bool sent = host_.Read(*node, Address(offset), 4, mGenerationNumber, [result](AsyncStatus s, std::span<const uint8_t> data) {
    result->status = s;
    if (s == AsyncStatus::Complete && data.size() >= 4) std::memcpy(result->bytes, data.data(), 4);
    KeSetEvent(&result->done, IO_NO_INCREMENT, FALSE);
  });
  if (!sent) return 0;
  LARGE_INTEGER timeout;
  timeout.QuadPart = kSyncTimeout100ns;
  if (KeWaitForSingleObject(&result->done, Executive, KernelMode, FALSE, &timeout) != STATUS_SUCCESS) return 0;
  if (result->status != AsyncStatus::Complete) return 0;
  const uint8_t* b = result->bytes;
  return uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | b[3];
}

bool EnginePlatformDouble::WriteAndWait(uint64_t address, std::span<const uint8_t> data) {
  auto node = host_.NodeIdOf(guid_);
  if (!node) return false;
  struct Result {
    KEVENT done;
    AsyncStatus status = AsyncStatus::Timeout;
  };
  auto result = std::make_shared<Result>();
  KeInitializeEvent(&result->done, NotificationEvent, FALSE);
  bool sent = host_.Write(*node, address, data, mGenerationNumber, [result](AsyncStatus s) {
    result->status = s;
    KeSetEvent(&result->done, IO_NO_INCREMENT, FALSE);
  });
  if (!sent) return false;
  LARGE_INTEGER timeout;
  timeout.QuadPart = kSyncTimeout100ns;
  if (KeWaitForSingleObject(&result->done, Executive, KernelMode, FALSE, &timeout) != STATUS_SUCCESS) return false;
  return result->status == AsyncStatus::Complete;
}

int32_t EnginePlatformDouble::WriteQuadlet(PlatformHandle, uint32_t offset, uint32_t value) {
  uint8_t bytes[4] = {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
                      static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
  WriteAndWait(Address(offset), bytes);
  return 0;
}

// As the bus driver carries a write whose block size is left 0: in pieces of the largest payload,
// one after the other, stopping at the first that fails.
int32_t EnginePlatformDouble::WriteBlock(PlatformHandle, uint32_t offset, const void* data, uint32_t length) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  if (length <= kMaxAsyncPayload) {
    WriteAndWait(Address(offset), std::span<const uint8_t>(bytes, length));
    return 0;
  }
  for (uint64_t done = 0; done < length; done += kMaxAsyncPayload) {
    const auto piece = static_cast<size_t>(std::min<uint64_t>(kMaxAsyncPayload, length - done));
    if (!WriteAndWait(Address(offset) + done, std::span<const uint8_t>(bytes + done, piece))) return kBusFailure;
  }
  return 0;
}

void EnginePlatformDouble::Complete(WriteCompletion completion, void* context, uint32_t status) {
  queuedCompleted_ += 1;
  completion(context, status);
}

int32_t EnginePlatformDouble::QueueWrite(uint32_t offset, std::span<const uint8_t> data, WriteCompletion completion,
                                         void* context) {
  const Steering steering = SteeringOf(mode_);
  if (steering.mode == TransactionMode::Refuse) return kBusFailure;
  auto node = host_.NodeIdOf(guid_);
  std::weak_ptr<int> alive = alive_;
  queuedIssued_ += 1;
  if (!node) {
    host_.GetBus()->Sched().After(20000, [this, alive, completion, context] {
      if (!alive.expired()) Complete(completion, context, kStatusDeparted);
    });
    return 0;
  }
  bool sent = host_.Write(*node, Address(offset), data, mGenerationNumber,
                          [this, alive, completion, context](AsyncStatus s) {
                            if (!alive.expired()) Complete(completion, context, StatusOf(s));
                          },
                          &steering);
  if (!sent) {
    queuedIssued_ -= 1;
    return kBusFailure;
  }
  return 0;
}

int32_t EnginePlatformDouble::WriteQuadletAsync(PlatformHandle, uint32_t offset, const uint32_t* value,
                                                WriteCompletion completion, void* context) {
  uint32_t v = *value;
  uint8_t bytes[4] = {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
                      static_cast<uint8_t>(v)};
  return QueueWrite(offset, bytes, completion, context);
}

int32_t EnginePlatformDouble::WriteBlockAsync(PlatformHandle, uint32_t offset, const void* data, uint32_t length,
                                              WriteCompletion completion, void* context) {
  return QueueWrite(offset, std::span<const uint8_t>(static_cast<const uint8_t*>(data), length), completion, context);
}

PKSPIN_LOCK EnginePlatformDouble::LockOf(EngineLock lock) {
  auto index = static_cast<size_t>(lock);
  if (index >= kEngineLocks) plat::Violation("an engine lock the platform does not know");
  return lock == EngineLock::UnitTable ? &gUnitTableLock : &unitLocks_[index];
}

void EnginePlatformDouble::AcquireEngineLock(EngineLock lock) {
  KeAcquireSpinLock(LockOf(lock), &heldIrql_[static_cast<size_t>(lock)]);
}

void EnginePlatformDouble::ReleaseEngineLock(EngineLock lock) {
  KeReleaseSpinLock(LockOf(lock), heldIrql_[static_cast<size_t>(lock)]);
}

}  // namespace sim
