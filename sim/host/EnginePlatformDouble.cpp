#include "sim/host/EnginePlatformDouble.h"

#include <cstring>

#include "platform/kernel/Verifier.h"

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

struct StreamObject {
  uint32_t direction;
};

uint32_t StatusOf(AsyncStatus s) {
  switch (s) {
    case AsyncStatus::Complete:
      return EnginePlatformDouble::kStatusSuccess;
    case AsyncStatus::Departed:
      return EnginePlatformDouble::kStatusDeparted;
    default:
      return EnginePlatformDouble::kStatusFailed;
  }
}

constexpr LONGLONG kSyncTimeout100ns = -100 * 10000;  // 100 ms

}  // namespace

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

void EnginePlatformDouble::ReleaseHeld(size_t index) {
  if (index >= held_.size()) plat::Violation("ReleaseHeld of a completion that is not held");
  HeldCompletion h = held_[index];
  held_.erase(held_.begin() + static_cast<std::ptrdiff_t>(index));
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  Complete(h.completion, h.context, h.status);
  KeLowerIrql(old);
}

void EnginePlatformDouble::ReleaseAllHeld() {
  while (!held_.empty()) ReleaseHeld(0);
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
  *handle = new AddressHandle{block, queued};
  return 0;
}

int32_t EnginePlatformDouble::CloseAddressHandle(PlatformHandle handle) {
  delete static_cast<AddressHandle*>(handle);
  return 0;
}

int32_t EnginePlatformDouble::AllocateIsochStreamObject(PlatformHandle* stream, uint32_t direction) {
  *stream = new StreamObject{direction};
  return 0;
}

int32_t EnginePlatformDouble::FreeIsochStreamObject(PlatformHandle stream) {
  delete static_cast<StreamObject*>(stream);
  return 0;
}

int32_t EnginePlatformDouble::AllocateFWMemorySpace(PlatformHandle* range, uint32_t, void* buffer, uint32_t length,
                                                    uint32_t* hi, uint32_t* lo) {
  bool midi = buffer == mMIDIReceiveBuffer;
  auto* bytes = static_cast<uint8_t*>(buffer);
  std::weak_ptr<int> alive = alive_;
  auto offset = host_.AllocateAddressRange(length, [this, alive, midi, bytes, length](uint64_t at, std::span<const uint8_t> data) {
    if (alive.expired() || at >= length) return;
    size_t n = std::min<size_t>(data.size(), length - at);
    std::memcpy(bytes + at, data.data(), n);
    if (midi)
      HandleMIDIReceive(static_cast<uint32_t>(data.size()));
    else
      HandleAsyncReceive(static_cast<uint32_t>(data.size()));
  });
  if (!offset) return kBusFailure;
  *range = new RangeInfo{*offset};
  *hi = static_cast<uint32_t>(*offset >> 32) & 0xFFFF;
  *lo = static_cast<uint32_t>(*offset);
  return 0;
}

int32_t EnginePlatformDouble::FreeFWMemorySpace(PlatformHandle range) {
  auto* r = static_cast<RangeInfo*>(range);
  host_.FreeAddressRange(r->offset);
  delete r;
  return 0;
}

int32_t EnginePlatformDouble::AllocateBuffer(StreamBuffer* descriptor, uint32_t length, uint32_t) {
  descriptor->mBuffer = new uint8_t[length];
  descriptor->mMapping = descriptor->mBuffer;
  return 0;
}

int32_t EnginePlatformDouble::FreeBuffer(StreamBuffer* descriptor) {
  delete[] descriptor->mBuffer;
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

bool EnginePlatformDouble::WriteAndWait(uint32_t offset, std::span<const uint8_t> data) {
  auto node = host_.NodeIdOf(guid_);
  if (!node) return false;
  struct Result {
    KEVENT done;
    AsyncStatus status = AsyncStatus::Timeout;
  };
  auto result = std::make_shared<Result>();
  KeInitializeEvent(&result->done, NotificationEvent, FALSE);
  bool sent = host_.Write(*node, Address(offset), data, mGenerationNumber, [result](AsyncStatus s) {
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
  WriteAndWait(offset, bytes);
  return 0;
}

int32_t EnginePlatformDouble::WriteBlock(PlatformHandle, uint32_t offset, const void* data, uint32_t length) {
  WriteAndWait(offset, std::span<const uint8_t>(static_cast<const uint8_t*>(data), length));
  return 0;
}

void EnginePlatformDouble::Complete(WriteCompletion completion, void* context, uint32_t status) {
  queuedCompleted_ += 1;
  completion(context, status);
}

int32_t EnginePlatformDouble::QueueWrite(uint32_t offset, std::span<const uint8_t> data, WriteCompletion completion,
                                         void* context) {
  QueuedWriteMode mode = mode_;
  if (mode == QueuedWriteMode::Refuse) return kBusFailure;
  auto node = host_.NodeIdOf(guid_);
  std::weak_ptr<int> alive = alive_;
  queuedIssued_ += 1;
  if (mode == QueuedWriteMode::Fail || !node) {
    uint32_t status = node ? kStatusFailed : kStatusDeparted;
    host_.GetBus()->Sched().After(20000, [this, alive, completion, context, status] {
      if (!alive.expired()) Complete(completion, context, status);
    });
    return 0;
  }
  bool sent = host_.Write(*node, Address(offset), data, mGenerationNumber,
                          [this, alive, mode, completion, context](AsyncStatus s) {
                            if (alive.expired()) return;
                            if (mode == QueuedWriteMode::Hold)
                              held_.push_back({completion, context, StatusOf(s)});
                            else if (mode == QueuedWriteMode::Deliver)
                              Complete(completion, context, StatusOf(s));
                          });
  if (!sent) {
    queuedIssued_ -= 1;
    return kBusFailure;
  }
  if (mode == QueuedWriteMode::Inline) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    Complete(completion, context, kStatusSuccess);
    KeLowerIrql(old);
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
