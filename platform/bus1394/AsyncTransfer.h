// One asynchronous read or write IRB on its way: carried on the bus in pieces no longer than the
// unit takes in one block request (or the IRB's block size), one after another, each checked
// against the IRB's generation; the first piece that fails ends the request with its status.
#pragma once

#include <memory>
#include <span>

#include "platform/bus1394/BusDriver.h"

namespace plat::bus1394 {

class AsyncTransfer : public std::enable_shared_from_this<AsyncTransfer> {
 public:
  // Starts the IRB on the unit behind `pdo`. The IRP is pending and completes at DISPATCH_LEVEL,
  // inside this call when the bus carries the transaction out at once.
  static NTSTATUS Start(BusDriver& bus, PDEVICE_OBJECT pdo, PIRP irp, PIRB irb);
  // Ends the request now with `status`; a piece still on the bus no longer reaches it.
  void End(NTSTATUS status);

  AsyncTransfer(BusDriver& bus, PDEVICE_OBJECT pdo, PIRP irp, bool write, uint8_t* buffer, ULONG length, ULONG piece,
                uint8_t node, uint64_t offset, uint32_t generation);

 private:
  void Next();
  void PieceDone(sim::AsyncStatus status, std::span<const uint8_t> data);
  void Finish(NTSTATUS status);

  BusDriver& bus_;
  PDEVICE_OBJECT pdo_;
  PIRP irp_;
  bool write_;
  uint8_t* buffer_;
  ULONG length_;
  ULONG piece_;
  uint8_t node_;
  uint64_t offset_;
  uint32_t generation_;
  ULONG done_ = 0;
  ULONG inFlight_ = 0;
  bool ended_ = false;
};

}  // namespace plat::bus1394
