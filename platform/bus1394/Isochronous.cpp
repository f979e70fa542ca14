#include "platform/bus1394/Isochronous.h"

#include <algorithm>
#include <cstring>

#include "platform/kernel/Scheduler.h"
#include "platform/kernel/Verifier.h"

namespace plat::bus1394 {

namespace {

constexpr ULONG kChannels = 64;

std::optional<uint8_t> SpeedCode(ULONG speedFlags) {
  switch (speedFlags) {
    case SPEED_FLAGS_100: return 0;
    case SPEED_FLAGS_200: return 1;
    case SPEED_FLAGS_400: return 2;
    default: return std::nullopt;
  }
}

uint32_t Word(const CYCLE_TIME& t) {
  uint32_t w;
  std::memcpy(&w, &t, sizeof w);
  return w;
}

void SetWord(CYCLE_TIME* t, uint32_t w) { std::memcpy(t, &w, sizeof w); }

uint8_t* BufferOf(const ISOCH_DESCRIPTOR& d) {
  if (d.Mdl == nullptr || MmGetMdlByteCount(d.Mdl) < d.ulLength)
    Violation("an isochronous descriptor whose MDL does not cover its length");
  return static_cast<uint8_t*>(MmGetSystemAddressForMdlSafe(d.Mdl, NormalPagePriority));
}

void PutLe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

std::shared_ptr<IsochResource> Find(BusDriver& bus, HANDLE handle) {
  for (auto& r : bus.resources)
    if (r.get() == handle) return r;
  return nullptr;
}

}  // namespace

NTSTATUS AllocateBandwidth(BusDriver& bus, PDEVICE_OBJECT pdo, PIRB irb) {
  CheckIrqlAtMost(PASSIVE_LEVEL, "REQUEST_ISOCH_ALLOCATE_BANDWIDTH");
  auto& request = irb->u.IsochAllocateBandwidth;
  auto speed = SpeedCode(request.fulSpeed);
  if (!speed || request.nMaxBytesPerFrameRequested == 0) return STATUS_INVALID_PARAMETER;
  auto handle = bus.host.AllocateBandwidth(request.nMaxBytesPerFrameRequested, *speed);
  if (!handle) return STATUS_INSUFFICIENT_RESOURCES;
  bus.bandwidth[*handle] = pdo;
  request.hBandwidth = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(*handle));
  request.BytesPerFrameAvailable = request.nMaxBytesPerFrameRequested;
  request.SpeedSelected = request.fulSpeed;
  request.nBandwidthUnitsRequired = sim::Bus::BandwidthUnits(request.nMaxBytesPerFrameRequested, *speed);
  return STATUS_SUCCESS;
}

NTSTATUS FreeBandwidth(BusDriver& bus, PIRB irb) {
  auto handle = static_cast<uint32_t>(reinterpret_cast<ULONG_PTR>(irb->u.IsochFreeBandwidth.hBandwidth));
  if (bus.bandwidth.erase(handle) == 0) return STATUS_INVALID_PARAMETER;
  bus.host.FreeBandwidth(handle);
  return STATUS_SUCCESS;
}

NTSTATUS AllocateChannel(BusDriver& bus, PDEVICE_OBJECT pdo, PIRB irb) {
  CheckIrqlAtMost(PASSIVE_LEVEL, "REQUEST_ISOCH_ALLOCATE_CHANNEL");
  auto& request = irb->u.IsochAllocateChannel;
  std::optional<uint32_t> wanted;
  if (request.nRequestedChannel != ISOCH_ANY_CHANNEL) {
    if (request.nRequestedChannel >= kChannels) return STATUS_INVALID_PARAMETER;
    wanted = request.nRequestedChannel;
  }
  auto channel = bus.host.AllocateChannel(wanted);
  if (!channel) return STATUS_INSUFFICIENT_RESOURCES;
  bus.channels[*channel] = pdo;
  request.Channel = *channel;
  // Bit n: channel n is free.
  uint64_t free = 0;
  for (ULONG c = 0; c < kChannels; ++c)
    if (!bus.bus.ChannelAllocated(c)) free |= uint64_t{1} << c;
  request.ChannelsAvailable.QuadPart = static_cast<LONGLONG>(free);
  return STATUS_SUCCESS;
}

NTSTATUS FreeChannel(BusDriver& bus, PIRB irb) {
  ULONG channel = irb->u.IsochFreeChannel.nChannel;
  if (bus.channels.erase(channel) == 0) return STATUS_INVALID_PARAMETER;
  bus.host.FreeChannel(channel);
  return STATUS_SUCCESS;
}

IsochResource::IsochResource(BusDriver& bus, PDEVICE_OBJECT pdo, ULONG flags)
    : bus_(bus), pdo_(pdo), flags_(flags), talking_((flags & RESOURCE_USED_IN_TALKING) != 0) {}

IsochResource::~IsochResource() {
  if (context_ != 0) bus_.host.CloseIsoContext(context_);
}

NTSTATUS IsochResource::Allocate(BusDriver& bus, PDEVICE_OBJECT pdo, PIRB irb) {
  CheckIrqlAtMost(PASSIVE_LEVEL, "REQUEST_ISOCH_ALLOCATE_RESOURCES");
  auto& request = irb->u.IsochAllocateResources;
  const ULONG use = request.fulFlags & (RESOURCE_USED_IN_LISTENING | RESOURCE_USED_IN_TALKING);
  if ((use != RESOURCE_USED_IN_LISTENING && use != RESOURCE_USED_IN_TALKING) || request.nChannel >= kChannels ||
      !SpeedCode(request.fulSpeed))
    return STATUS_INVALID_PARAMETER;
  // Circular buffers and stripped quadlets are not carried out.
  if ((request.fulFlags & (RESOURCE_BUFFERS_CIRCULAR | RESOURCE_STRIP_ADDITIONAL_QUADLETS)) != 0 ||
      request.nQuadletsToStrip != 0)
    return STATUS_NOT_IMPLEMENTED;
  auto resource = std::make_shared<IsochResource>(bus, pdo, request.fulFlags);
  auto context = bus.host.OpenIsoContext(
      use == RESOURCE_USED_IN_TALKING ? sim::IsoContextKind::Talk : sim::IsoContextKind::Listen, request.nChannel,
      *resource);
  if (!context) return STATUS_INSUFFICIENT_RESOURCES;
  resource->context_ = *context;
  bus.resources.push_back(resource);
  request.hResource = resource.get();
  return STATUS_SUCCESS;
}

NTSTATUS IsochResource::Free(BusDriver& bus, PIRB irb) {
  auto resource = Find(bus, irb->u.IsochFreeResources.hResource);
  if (resource == nullptr) return STATUS_INVALID_PARAMETER;
  if (!resource->lists_.empty()) return STATUS_INVALID_DEVICE_STATE;
  std::erase(bus.resources, resource);
  return STATUS_SUCCESS;
}

NTSTATUS IsochResource::Request(BusDriver& bus, PIRP irp, PIRB irb) {
  // The handle sits first in each of these requests.
  auto resource = Find(bus, irb->u.IsochAttachBuffers.hResource);
  NTSTATUS status = resource != nullptr ? resource->Carry(irb) : STATUS_INVALID_PARAMETER;
  if (!NT_SUCCESS(status)) return CompleteIrp(irp, status);
  IoMarkIrpPending(irp);
  Scheduler::Current().After(bus.CompletionDelay(), [irp] { CompleteIrp(irp, STATUS_SUCCESS); }, DISPATCH_LEVEL,
                             "1394 isochronous request done");
  return STATUS_PENDING;
}

NTSTATUS IsochResource::Carry(PIRB irb) {
  switch (irb->FunctionNumber) {
    case REQUEST_ISOCH_ATTACH_BUFFERS: {
      auto& request = irb->u.IsochAttachBuffers;
      if (request.pIsochDescriptor == nullptr || request.nNumberOfDescriptors == 0) return STATUS_INVALID_PARAMETER;
      if (std::any_of(lists_.begin(), lists_.end(), [&](const List& l) { return l.first == request.pIsochDescriptor; }))
        return STATUS_INVALID_PARAMETER;
      lists_.push_back(List{request.pIsochDescriptor, request.nNumberOfDescriptors, 0, std::nullopt});
      return STATUS_SUCCESS;
    }
    case REQUEST_ISOCH_DETACH_BUFFERS: {
      auto& request = irb->u.IsochDetachBuffers;
      auto it = std::find_if(lists_.begin(), lists_.end(), [&](const List& l) { return l.first == request.pIsochDescriptor; });
      if (it == lists_.end()) return STATUS_INVALID_PARAMETER;
      lists_.erase(it);
      return STATUS_SUCCESS;
    }
    case REQUEST_ISOCH_LISTEN:
    case REQUEST_ISOCH_TALK: {
      if ((irb->FunctionNumber == REQUEST_ISOCH_TALK) != talking_) return STATUS_INVALID_PARAMETER;
      uint32_t start = Word(talking_ ? irb->u.IsochTalk.StartTime : irb->u.IsochListen.StartTime);
      bus_.host.StartIsoContext(context_, start != 0 ? std::optional<uint32_t>(start) : std::nullopt);
      return STATUS_SUCCESS;
    }
    case REQUEST_ISOCH_STOP:
      bus_.host.StopIsoContext(context_);
      return STATUS_SUCCESS;
    default:
      return STATUS_NOT_IMPLEMENTED;
  }
}

IsochResource::List* IsochResource::Current() {
  for (List& l : lists_)
    if (l.next < l.count) return &l;
  return nullptr;
}

void IsochResource::Done(List& list, ULONG index, uint64_t cycle, NTSTATUS status, bool deferred) {
  ISOCH_DESCRIPTOR& d = list.first[index];
  d.status = status;
  if (d.fulFlags & DESCRIPTOR_TIME_STAMP_ON_COMPLETION) SetWord(&d.CycleTime, sim::CycleTimeWord(cycle));
  if (d.Callback == nullptr) return;
  PBUS_ISOCH_DESCRIPTOR_ROUTINE callback = d.Callback;
  PVOID context1 = d.Context1;
  PVOID context2 = d.Context2;
  if (!deferred) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    callback(context1, context2);
    KeLowerIrql(old);
    return;
  }
  // As the controller's interrupt does: the routine runs a moment later, with what the
  // descriptor named when it was done.
  Scheduler::Current().After(0, [callback, context1, context2] { callback(context1, context2); }, DISPATCH_LEVEL,
                             "1394 isochronous descriptor callback");
}

bool IsochResource::NextPacket(uint64_t cycle, std::span<const uint8_t>* payload, uint8_t* tag) {
  List* list = Current();
  if (list == nullptr) {
    bus_.counters.isochIdleCycles += 1;
    return false;
  }
  if (list->next == 0 && !list->start) {
    const ISOCH_DESCRIPTOR& first = list->first[0];
    bool synch = (flags_ & RESOURCE_SYNCH_ON_TIME) != 0 || (first.fulFlags & DESCRIPTOR_SYNCH_ON_TIME) != 0;
    list->start = synch ? sim::ResolveStartCycle(cycle, Word(first.CycleTime)) : cycle;
  }
  if (cycle < *list->start) {
    bus_.counters.isochIdleCycles += 1;
    return false;
  }
  ULONG index = list->next++;
  const ISOCH_DESCRIPTOR& d = list->first[index];
  *payload = std::span<const uint8_t>(BufferOf(d), d.ulLength);
  *tag = static_cast<uint8_t>(d.ulTag & 3);
  bus_.counters.isochPacketsSent += 1;
  Done(*list, index, cycle, STATUS_SUCCESS, true);
  return true;
}

void IsochResource::PacketArrived(const sim::IsoPacket& packet) {
  List* list = Current();
  if (list == nullptr) {
    bus_.counters.isochPacketsMissed += 1;
    return;
  }
  const ISOCH_DESCRIPTOR& d = list->first[list->next];
  if ((d.fulFlags & DESCRIPTOR_SYNCH_ON_TAG) != 0 && (packet.header >> 14 & 3) != (d.ulTag & 3)) {
    bus_.counters.isochPacketsFiltered += 1;
    return;
  }
  ULONG index = list->next++;
  uint8_t* slot = BufferOf(d);
  const ULONG room = d.ulLength;
  uint8_t head[8];
  PutLe32(head, static_cast<uint32_t>((packet.cycle / sim::kCyclesPerSecond) & 7) << 13 |
                    static_cast<uint32_t>(packet.cycle % sim::kCyclesPerSecond));
  PutLe32(head + 4, packet.header);
  std::memcpy(slot, head, std::min<ULONG>(room, 8));
  if (room > 8) std::memcpy(slot + 8, packet.payload, std::min<ULONG>(room - 8, packet.payloadLength));
  NTSTATUS status = STATUS_SUCCESS;
  if (room < 8 || room - 8 < packet.payloadLength) {
    bus_.counters.isochPacketsOversize += 1;
    status = STATUS_BUFFER_TOO_SMALL;
  } else {
    bus_.counters.isochPacketsReceived += 1;
  }
  Done(*list, index, packet.cycle, status, true);
}

// In the removal's own course, so the lists are back before the removal request is answered.
void IsochResource::HandBack(BusDriver& bus, PDEVICE_OBJECT pdo) {
  std::vector<std::shared_ptr<IsochResource>> resources = bus.resources;
  for (auto& r : resources) {
    if (r->pdo_ != pdo) continue;
    uint64_t cycle = bus.bus.CurrentCycle();
    // Copied first: a callback may detach its list.
    std::vector<List> lists(r->lists_.begin(), r->lists_.end());
    for (List& l : r->lists_) l.next = l.count;
    for (List& l : lists)
      while (l.next < l.count) {
        ULONG index = l.next++;
        r->Done(l, index, cycle, STATUS_CANCELLED, false);
      }
  }
}

size_t IsochResource::HeldBy(const BusDriver& bus, PDEVICE_OBJECT pdo) {
  auto owned = [pdo](const auto& entry) { return entry.second == pdo; };
  return static_cast<size_t>(
      std::count_if(bus.resources.begin(), bus.resources.end(), [pdo](const auto& r) { return r->pdo_ == pdo; }) +
      std::count_if(bus.bandwidth.begin(), bus.bandwidth.end(), owned) +
      std::count_if(bus.channels.begin(), bus.channels.end(), owned));
}

}  // namespace plat::bus1394
