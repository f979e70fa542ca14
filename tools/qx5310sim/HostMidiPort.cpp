#include "tools/qx5310sim/HostMidiPort.h"

#include <utility>

#include "platform/bus1394/Bus1394.h"
#include "platform/kernel/PnpManager.h"

namespace {

constexpr ULONG kRenderPin = 0;
constexpr ULONG kCapturePin = 2;
// MIDI bytes each code index number carries.
constexpr int kBytesOfCin[16] = {0, 0, 2, 3, 3, 1, 2, 3, 3, 3, 3, 3, 2, 2, 3, 1};

// Data bytes after a channel or system common status; 0 for a message of its status alone.
uint8_t DataBytesOf(uint8_t status) {
  if (status < 0xF0) return (status & 0xE0) == 0xC0 ? 1 : 2;
  if (status == 0xF1 || status == 0xF3) return 1;
  if (status == 0xF2) return 2;
  return 0;
}

// The code index number of a complete message of `length` bytes.
uint32_t CinOf(uint8_t status, uint8_t length) {
  if (status < 0xF0) return status >> 4;
  return length == 1 ? 0x5 : length == 2 ? 0x2 : 0x3;
}

}  // namespace

HostMidiPort::HostMidiPort(uint64_t unitGuid, std::u16string subdevice, uint8_t cable)
    : unitGuid_(unitGuid), subdevice_(std::move(subdevice)), cable_(cable) {}

HostMidiPort::~HostMidiPort() { Close(); }

std::string HostMidiPort::Name() const { return std::string(subdevice_.begin(), subdevice_.end()); }

bool HostMidiPort::Open() {
  Close();
  PDEVICE_OBJECT unit = plat::Bus1394::PdoOf(unitGuid_);
  if (unit == nullptr) return false;
  const std::vector<PDEVICE_OBJECT> children = plat::PnpChildren(unit);
  if (children.size() != 1) return false;
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  filter_ = plat::KsFilter::Open(children[0], subdevice_, &status);
  if (filter_ != nullptr) in_ = plat::KsMidiPin::Open(*filter_, kCapturePin, &status);
  if (in_ != nullptr) in_->SignalReads(arrivals_);
  if (in_ != nullptr && NT_SUCCESS(in_->Run())) out_ = plat::KsMidiPin::Open(*filter_, kRenderPin, &status);
  if (out_ != nullptr && !NT_SUCCESS(out_->Run())) out_.reset();
  if (out_ == nullptr) {
    Close();
    return false;
  }
  status_ = have_ = sysExHave_ = 0;
  inSysEx_ = false;
  return true;
}

void HostMidiPort::SignalArrivals(PKEVENT event) {
  arrivals_ = event;
  if (in_ != nullptr) in_->SignalReads(event);
}

void HostMidiPort::Close() {
  out_.reset();
  in_.reset();
  filter_.reset();
}

uint32_t HostMidiPort::Packet(uint32_t cin, uint8_t b0, uint8_t b1, uint8_t b2) const {
  return (uint32_t{cable_} << 4 | cin) << 24 | uint32_t{b0} << 16 | uint32_t{b1} << 8 | b2;
}

void HostMidiPort::Parse(uint8_t byte, std::vector<uint32_t>& out) {
  if (byte >= 0xF8) {
    out.push_back(Packet(0xF, byte, 0, 0));
    return;
  }
  if (inSysEx_ && byte < 0x80) {
    sysEx_[sysExHave_++] = byte;
    if (sysExHave_ == 3) {
      out.push_back(Packet(0x4, sysEx_[0], sysEx_[1], sysEx_[2]));
      sysExHave_ = 0;
    }
    return;
  }
  if (byte == 0xF7 && inSysEx_) {
    sysEx_[sysExHave_++] = byte;
    out.push_back(Packet(0x4 + sysExHave_, sysEx_[0], sysExHave_ > 1 ? sysEx_[1] : 0, sysExHave_ > 2 ? sysEx_[2] : 0));
    inSysEx_ = false;
    sysExHave_ = 0;
    return;
  }
  if (byte >= 0x80) {
    inSysEx_ = byte == 0xF0;
    sysExHave_ = 0;
    have_ = 0;
    status_ = 0;
    if (inSysEx_) {
      sysEx_[sysExHave_++] = byte;
      return;
    }
    if (byte == 0xF6) {
      out.push_back(Packet(0x5, byte, 0, 0));
      return;
    }
    if (byte < 0xF0 || DataBytesOf(byte) != 0) status_ = byte;
    return;
  }
  if (status_ == 0) return;  // a data byte without a status
  data_[have_++] = byte;
  if (have_ < DataBytesOf(status_)) return;
  out.push_back(Packet(CinOf(status_, static_cast<uint8_t>(have_ + 1)), status_, data_[0], have_ > 1 ? data_[1] : 0));
  have_ = 0;
  // Running status holds for channel messages only.
  if (status_ >= 0xF0) status_ = 0;
}

std::vector<uint32_t> HostMidiPort::Take() {
  std::vector<uint32_t> packets;
  if (in_ == nullptr) return packets;
  NTSTATUS status = STATUS_SUCCESS;
  for (UCHAR byte : in_->Read(&status)) Parse(byte, packets);
  if (status == STATUS_DEVICE_REMOVED) Close();
  return packets;
}

bool HostMidiPort::Send(uint32_t packet) {
  if (out_ == nullptr) return false;
  std::vector<UCHAR> bytes;
  for (int i = 0; i < kBytesOfCin[packet >> 24 & 0xF]; ++i) bytes.push_back(static_cast<UCHAR>(packet >> (16 - 8 * i)));
  NTSTATUS status = STATUS_SUCCESS;
  if (out_->Write(bytes, &status)) return true;
  if (status == STATUS_DEVICE_REMOVED) Close();
  return false;
}
