#include "platform/bus1394/AsyncTransfer.h"

#include <algorithm>
#include <cstring>

namespace plat::bus1394 {

AsyncTransfer::AsyncTransfer(BusDriver& bus, PDEVICE_OBJECT pdo, PIRP irp, bool write, uint8_t* buffer, ULONG length,
                             ULONG piece, uint8_t node, uint64_t offset, uint32_t generation)
    : bus_(bus), pdo_(pdo), irp_(irp), write_(write), buffer_(buffer), length_(length), piece_(piece), node_(node),
      offset_(offset), generation_(generation) {}

NTSTATUS AsyncTransfer::Start(BusDriver& bus, PDEVICE_OBJECT pdo, PIRP irp, PIRB irb) {
  UnitPdo* unit = BusDriver::Unit(pdo);
  const bool write = irb->FunctionNumber == REQUEST_ASYNC_WRITE;
  // The read and write records share their layout.
  auto& request = irb->u.AsyncRead;
  const ULONG length = request.nNumberOfBytesToRead;
  const ULONG maxPiece = unit->identity.maxPayload;
  if (request.Mdl == nullptr || length == 0 || request.nBlockSize > maxPiece || MmGetMdlByteCount(request.Mdl) < length)
    return CompleteIrp(irp, STATUS_INVALID_PARAMETER);
  if (unit->departed) return CompleteIrp(irp, STATUS_IO_DEVICE_ERROR_1394_DEPARTED);
  auto* buffer = static_cast<uint8_t*>(MmGetSystemAddressForMdlSafe(request.Mdl, NormalPagePriority));
  if (buffer == nullptr) return CompleteIrp(irp, STATUS_INSUFFICIENT_RESOURCES);
  request.DestinationAddress.IA_Destination_ID.NA_Node_Number = unit->nodeId & 0x3F;
  request.DestinationAddress.IA_Destination_ID.NA_Bus_Number = kLocalBusNumber;
  const auto& at = request.DestinationAddress.IA_Destination_Offset;
  uint64_t offset = uint64_t{at.Off_High} << 32 | at.Off_Low;
  auto transfer = std::make_shared<AsyncTransfer>(bus, pdo, irp, write, buffer, length,
                                                  request.nBlockSize != 0 ? request.nBlockSize : maxPiece,
                                                  unit->nodeId, offset, request.ulGeneration);
  IoMarkIrpPending(irp);
  unit->transfers.push_back(transfer);
  transfer->Next();
  return STATUS_PENDING;
}

void AsyncTransfer::Next() {
  inFlight_ = std::min(piece_, length_ - done_);
  auto self = shared_from_this();
  bool sent = write_ ? bus_.host.Write(node_, offset_ + done_, std::span<const uint8_t>(buffer_ + done_, inFlight_),
                                       generation_, [self](sim::AsyncStatus s) { self->PieceDone(s, {}); })
                     : bus_.host.Read(node_, offset_ + done_, inFlight_, generation_,
                                      [self](sim::AsyncStatus s, std::span<const uint8_t> d) { self->PieceDone(s, d); });
  // The host controller would not take the request.
  if (!sent) Finish(STATUS_INSUFFICIENT_RESOURCES);
}

void AsyncTransfer::PieceDone(sim::AsyncStatus status, std::span<const uint8_t> data) {
  if (ended_) return;
  if (status != sim::AsyncStatus::Complete) return Finish(StatusOf(status));
  if (!write_) std::memcpy(buffer_ + done_, data.data(), std::min<size_t>(data.size(), inFlight_));
  done_ += inFlight_;
  if (done_ == length_) return Finish(STATUS_SUCCESS);
  Next();
}

void AsyncTransfer::Finish(NTSTATUS status) {
  ended_ = true;
  if (UnitPdo* unit = BusDriver::Unit(pdo_)) {
    auto& list = unit->transfers;
    list.erase(std::remove_if(list.begin(), list.end(), [this](const auto& t) { return t.get() == this; }), list.end());
  }
  irp_->IoStatus.Information = 0;
  CompleteIrp(irp_, status);
}

void AsyncTransfer::End(NTSTATUS status) {
  if (ended_) return;
  ended_ = true;
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  irp_->IoStatus.Information = 0;
  CompleteIrp(irp_, status);
  KeLowerIrql(old);
}

}  // namespace plat::bus1394
