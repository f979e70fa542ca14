// Host address ranges that units write into: REQUEST_ALLOCATE_ADDRESS_RANGE and
// REQUEST_FREE_ADDRESS_RANGE, and the writes they receive.
//
// A range is backed by the caller's MDL or by a FIFO of receive buffers (ADDRESS_FIFO elements on
// an interlocked list). Each write from a unit lands at its offset in the MDL, or pops a FIFO
// element and lands at its offset in the element's buffer; a write that finds no element is
// answered with an address error. The owner's notification routine then runs at DISPATCH_LEVEL,
// one write at a time per range, in the order the writes arrived. Only write access is carried
// out; ranges that answer reads or lock transactions, or that hand the request packets to their
// owner, are not.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <span>

#include "platform/bus1394/BusDriver.h"

namespace plat::bus1394 {

class AddressRange : public std::enable_shared_from_this<AddressRange> {
 public:
  AddressRange(PDEVICE_OBJECT pdo, const IRB& irb);

  // Completes the allocation IRB later: the range joins the host's address space then, and the
  // IRB gets its handle and addresses.
  static NTSTATUS Allocate(BusDriver& bus, PDEVICE_OBJECT pdo, PIRP irp, PIRB irb);
  static NTSTATUS Free(BusDriver& bus, PIRB irb);
  // The ranges a PDO still holds.
  static size_t HeldBy(const BusDriver& bus, PDEVICE_OBJECT pdo);

 private:
  struct Write {
    ULONG offset;
    ULONG length;
    PADDRESS_FIFO fifo;
  };

  sim::AsyncStatus OnWrite(BusDriver& bus, uint64_t offset, std::span<const uint8_t> data);
  void Deliver();
  void Release(BusDriver& bus);

  PDEVICE_OBJECT pdo_;
  PMDL mdl_;
  PSLIST_HEADER fifo_;
  PKSPIN_LOCK fifoLock_;
  ULONG length_;
  ULONG notify_;
  PBUS_NOTIFICATION_ROUTINE callback_;
  PVOID context_;
  uint64_t base_ = 0;
  std::deque<Write> waiting_;  // writes whose notification has not yet run
  bool delivering_ = false;
};

}  // namespace plat::bus1394
