#include "platform/bus1394/AddressRanges.h"

#include <algorithm>
#include <cstring>

#include "platform/kernel/Scheduler.h"
#include "platform/kernel/Verifier.h"

namespace plat::bus1394 {

namespace {

constexpr ULONG kMaxEntryLength = 0xFFFF;  // AR_Length has 16 bits

std::shared_ptr<AddressRange> Find(BusDriver& bus, HANDLE handle) {
  for (auto& r : bus.ranges)
    if (r.get() == handle) return r;
  return nullptr;
}

}  // namespace

AddressRange::AddressRange(PDEVICE_OBJECT pdo, const IRB& irb)
    : pdo_(pdo),
      mdl_(irb.u.AllocateAddressRange.Mdl),
      fifo_(irb.u.AllocateAddressRange.FifoSListHead),
      fifoLock_(irb.u.AllocateAddressRange.FifoSpinLock),
      length_(irb.u.AllocateAddressRange.nLength),
      notify_(irb.u.AllocateAddressRange.fulNotificationOptions),
      callback_(irb.u.AllocateAddressRange.Callback),
      context_(irb.u.AllocateAddressRange.Context) {}

NTSTATUS AddressRange::Allocate(BusDriver& bus, PDEVICE_OBJECT pdo, PIRP irp, PIRB irb) {
  auto& request = irb->u.AllocateAddressRange;
  const bool backedByMdl = request.Mdl != nullptr;
  const bool backedByFifo = request.FifoSListHead != nullptr;
  if (request.nLength == 0 || request.p1394AddressRange == nullptr || (backedByMdl && backedByFifo) ||
      (request.fulNotificationOptions != NOTIFY_FLAGS_NEVER && request.Callback == nullptr) ||
      (backedByMdl && MmGetMdlByteCount(request.Mdl) < request.nLength))
    return CompleteIrp(irp, STATUS_INVALID_PARAMETER);
  if (request.fulAccessType != ACCESS_FLAGS_TYPE_WRITE || (!backedByMdl && !backedByFifo) ||
      (request.fulNotificationOptions & ~NOTIFY_FLAGS_AFTER_WRITE) != 0)
    return CompleteIrp(irp, STATUS_NOT_IMPLEMENTED);
  std::optional<uint64_t> at;
  const ADDRESS_OFFSET& required = request.Required1394Offset;
  if (required.Off_High != 0 || required.Off_Low != 0) {
    if (request.nLength > kMaxEntryLength) return CompleteIrp(irp, STATUS_INVALID_PARAMETER);
    at = uint64_t{required.Off_High} << 32 | required.Off_Low;
  }
  auto range = std::make_shared<AddressRange>(pdo, *irb);
  IoMarkIrpPending(irp);
  // The controller takes the range a little later; the caller learns its address then.
  Scheduler::Current().After(kNsPerCycle + bus.CompletionDelay(), [&bus, range, irp, irb, at] {
    std::weak_ptr<AddressRange> weak = range;
    auto base = bus.host.AllocateAddressRange(
        range->length_,
        [&bus, weak](uint8_t, uint64_t offset, std::span<const uint8_t> data) {
          auto self = weak.lock();
          return self ? self->OnWrite(bus, offset, data) : sim::AsyncStatus::AddressError;
        },
        at);
    if (!base) {
      CompleteIrp(irp, STATUS_INSUFFICIENT_RESOURCES);
      return;
    }
    range->base_ = *base;
    auto& request = irb->u.AllocateAddressRange;
    // One entry when the caller chose the offset, else one a page.
    ULONG entries = 0;
    for (ULONG done = 0; done < range->length_; ++entries) {
      ULONG piece = at ? range->length_ : std::min<ULONG>(range->length_ - done, PAGE_SIZE);
      uint64_t address = *base + done;
      request.p1394AddressRange[entries] = ADDRESS_RANGE{static_cast<USHORT>(address >> 32), static_cast<USHORT>(piece),
                                                         static_cast<ULONG>(address)};
      done += piece;
    }
    request.AddressesReturned = entries;
    request.hAddressRange = range.get();
    bus.ranges.push_back(range);
    CompleteIrp(irp, STATUS_SUCCESS);
  }, DISPATCH_LEVEL, "1394 address range allocated");
  return STATUS_PENDING;
}

sim::AsyncStatus AddressRange::OnWrite(BusDriver& bus, uint64_t offset, std::span<const uint8_t> data) {
  auto at = static_cast<ULONG>(offset);
  auto length = static_cast<ULONG>(data.size());
  PMDL target = mdl_;
  PADDRESS_FIFO element = nullptr;
  if (fifo_ != nullptr) {
    PSLIST_ENTRY entry = fifoLock_ != nullptr ? ExInterlockedPopEntrySList(fifo_, fifoLock_) : InterlockedPopEntrySList(fifo_);
    if (entry == nullptr) {
      bus.counters.rangeWritesRefused += 1;
      return sim::AsyncStatus::AddressError;
    }
    element = CONTAINING_RECORD(entry, ADDRESS_FIFO, FifoList);
    target = element->FifoMdl;
    if (target == nullptr || MmGetMdlByteCount(target) < at + length)
      Violation("an ADDRESS_FIFO element whose MDL does not cover the range");
  }
  auto* buffer = static_cast<uint8_t*>(MmGetSystemAddressForMdlSafe(target, NormalPagePriority));
  std::memcpy(buffer + at, data.data(), length);
  bus.counters.rangeWrites += 1;
  if ((notify_ & NOTIFY_FLAGS_AFTER_WRITE) == 0) return sim::AsyncStatus::Complete;
  waiting_.push_back(Write{at, length, element});
  if (!delivering_) {
    delivering_ = true;
    std::weak_ptr<AddressRange> weak = weak_from_this();
    Scheduler::Current().After(0, [weak] {
      if (auto self = weak.lock()) self->Deliver();
    }, DISPATCH_LEVEL, "1394 address range notification");
  }
  return sim::AsyncStatus::Complete;
}

// One notification at a time, in arrival order; a write that comes in while the routine runs
// waits its turn.
void AddressRange::Deliver() {
  auto keep = shared_from_this();
  while (!waiting_.empty()) {
    Write w = waiting_.front();
    waiting_.pop_front();
    NOTIFICATION_INFO info{};
    // A FIFO write's buffer is the element's: the range itself has no MDL.
    info.Mdl = w.fifo == nullptr ? mdl_ : nullptr;
    info.ulOffset = w.offset;
    info.nLength = w.length;
    info.fulNotificationOptions = NOTIFY_FLAGS_AFTER_WRITE;
    info.Context = context_;
    info.Fifo = w.fifo;
    callback_(&info);
  }
  delivering_ = false;
}

// Elements popped for writes whose notification never ran go back to the owner's list.
void AddressRange::Release(BusDriver& bus) {
  bus.host.FreeAddressRange(base_);
  for (const Write& w : waiting_) {
    if (w.fifo == nullptr) continue;
    if (fifoLock_ != nullptr)
      ExInterlockedPushEntrySList(fifo_, &w.fifo->FifoList, fifoLock_);
    else
      InterlockedPushEntrySList(fifo_, &w.fifo->FifoList);
  }
  waiting_.clear();
}

NTSTATUS AddressRange::Free(BusDriver& bus, PIRB irb) {
  auto& request = irb->u.FreeAddressRange;
  if (request.pAddressRange == nullptr) return STATUS_INVALID_PARAMETER;
  std::shared_ptr<AddressRange> range = Find(bus, *request.pAddressRange);
  if (range == nullptr) return STATUS_INVALID_PARAMETER;
  range->Release(bus);
  std::erase(bus.ranges, range);
  return STATUS_SUCCESS;
}

size_t AddressRange::HeldBy(const BusDriver& bus, PDEVICE_OBJECT pdo) {
  return static_cast<size_t>(
      std::count_if(bus.ranges.begin(), bus.ranges.end(), [pdo](const auto& r) { return r->pdo_ == pdo; }));
}

}  // namespace plat::bus1394
