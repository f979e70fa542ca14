// Isochronous bandwidth, channels and resources, and the descriptor lists attached to them.
//
// A resource holds one of the controller's contexts (the controller has few: "no resources" when
// none is left) for listening or talking on its channel. Its lists are used strictly in the order
// they were attached, one packet per descriptor, each descriptor read when the bus reaches it: a
// talking list starts at the cycle its first descriptor names when the resource is synchronised
// on time, and each packet is taken from the descriptor's buffer at its cycle; a received packet
// lands in the descriptor's buffer as the time stamp (cycle in bits 0-12, the low bits of the
// second above), the isochronous header as a little-endian quadlet, then the payload. A packet
// larger than the buffer uses its descriptor up all the same, flagged with an error status. A
// descriptor with a callback has it called at DISPATCH_LEVEL once it is done. A finished list
// stays attached until it is detached; stopping leaves every list attached to be detached.
#pragma once

#include <deque>
#include <memory>
#include <optional>

#include "platform/bus1394/BusDriver.h"

namespace plat::bus1394 {

// Bandwidth and channels through a unit's PDO.
NTSTATUS AllocateBandwidth(BusDriver& bus, PDEVICE_OBJECT pdo, PIRB irb);
NTSTATUS FreeBandwidth(BusDriver& bus, PIRB irb);
NTSTATUS AllocateChannel(BusDriver& bus, PDEVICE_OBJECT pdo, PIRB irb);
NTSTATUS FreeChannel(BusDriver& bus, PIRB irb);

class IsochResource final : public sim::IsoContextOwner, public std::enable_shared_from_this<IsochResource> {
 public:
  IsochResource(BusDriver& bus, PDEVICE_OBJECT pdo, ULONG flags);
  ~IsochResource();

  static NTSTATUS Allocate(BusDriver& bus, PDEVICE_OBJECT pdo, PIRB irb);
  static NTSTATUS Free(BusDriver& bus, PIRB irb);
  // Attach, detach, listen, talk and stop take effect now and complete later at DISPATCH_LEVEL.
  static NTSTATUS Request(BusDriver& bus, PIRP irp, PIRB irb);
  // The unit left: every list of its resources that is not yet done is handed back, each
  // remaining descriptor with STATUS_CANCELLED and its callback called.
  static void HandBack(BusDriver& bus, PDEVICE_OBJECT pdo);
  // What a PDO still holds: resources, bandwidth and channels.
  static size_t HeldBy(const BusDriver& bus, PDEVICE_OBJECT pdo);

  bool NextPacket(uint64_t cycle, std::span<const uint8_t>* payload, uint8_t* tag) override;
  void PacketArrived(const sim::IsoPacket& packet) override;

 private:
  struct List {
    PISOCH_DESCRIPTOR first;
    ULONG count;
    ULONG next = 0;
    std::optional<uint64_t> start;  // talking: the cycle read from the first descriptor
  };

  NTSTATUS Carry(PIRB irb);
  List* Current();
  // `deferred`: the callback runs a moment later, as the controller's interrupt would have it.
  void Done(List& list, ULONG index, uint64_t cycle, NTSTATUS status, bool deferred);

  BusDriver& bus_;
  PDEVICE_OBJECT pdo_;
  ULONG flags_;
  uint32_t context_ = 0;
  bool talking_;
  std::deque<List> lists_;
};

}  // namespace plat::bus1394
