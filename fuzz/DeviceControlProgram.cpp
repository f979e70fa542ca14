#include "fuzz/DeviceControlProgram.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "driver/AsioRequests.h"
#include "platform/win32/include/windows.h"
#include "sim/host/AsioHost.h"
#include "sim/host/UserClient.h"

namespace fuzzhost {

namespace {

constexpr uint32_t kMostBytes = 4096;

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool Done() const { return at_ >= size_; }
  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  uint32_t Half() { return Byte() | uint32_t{Byte()} << 8; }
  uint32_t Word() { return Half() | Half() << 16; }
  std::vector<uint8_t> Bytes(size_t n) {
    std::vector<uint8_t> out(n, 0);
    const size_t have = std::min(n, size_ - std::min(at_, size_));
    if (have != 0) std::memcpy(out.data(), data_ + at_, have);
    at_ += have;
    return out;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

void Send(HANDLE device, uint32_t code, std::vector<uint8_t> input, uint32_t outputLength) {
  // One buffer of the larger length, as a caller may well pass.
  input.resize(std::max<size_t>(input.size(), outputLength));
  DWORD returned = 0;
  DeviceIoControl(device, code, input.empty() ? nullptr : input.data(), static_cast<DWORD>(input.size()),
                  outputLength == 0 ? nullptr : input.data(), outputLength, &returned, nullptr);
}

HANDLE Open(const std::string& path) {
  return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

uint32_t RunControls(unsigned bits, const uint8_t* data, size_t size) {
  std::vector<std::string> units = host::FindUnitInterfaces();
  if (units.empty()) return 1;
  HANDLE device = Open(units.front());
  if (device == INVALID_HANDLE_VALUE) return 2;
  HANDLE other = INVALID_HANDLE_VALUE;
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  bool fromOther = false;
  Reader in(data, size);
  while (!in.Done()) {
    HANDLE to = device;
    if (fromOther) {
      if (other == INVALID_HANDLE_VALUE) other = Open(units.front());
      if (other != INVALID_HANDLE_VALUE) to = other;
      fromOther = false;
    }
    switch (in.Byte() % 5) {
      case 0: {
        const uint8_t selector = in.Byte();
        uint32_t code;
        if (selector < 200)
          code = QX531ControlCode(kQX531FirstAsioRequest + selector % 11);
        else if (selector < 240)
          code = QX531ControlCode(selector % 32);
        else
          code = in.Word();
        const uint32_t inputLength = std::min(in.Half(), kMostBytes);
        const uint32_t outputLength = std::min(in.Half(), kMostBytes);
        Send(to, code, in.Bytes(inputLength), outputLength);
        break;
      }
      case 1: {
        std::vector<uint8_t> start = host::StartInput(bits, event);
        start.resize(std::min(in.Half(), kMostBytes));
        Send(to, IOCTL_QX531_ASIO_START, start, std::min(in.Half(), kMostBytes));
        break;
      }
      case 2: {
        const uint32_t sampleBits = in.Byte();
        const uint32_t frames = in.Half();
        std::vector<uint32_t> records(in.Byte() % 20), playbacks(in.Byte() % 20);
        for (uint32_t& c : records) c = in.Byte() % 20;
        for (uint32_t& c : playbacks) c = in.Byte() % 20;
        Send(to, IOCTL_QX531_ASIO_CREATE_BUFFERS, host::CreateBuffersInput(bits, sampleBits, frames, records, playbacks),
             host::CreateBuffersReplyBytes(bits));
        break;
      }
      case 3:
        Sleep(in.Byte() % 50);
        break;
      default:
        fromOther = true;
        break;
    }
  }
  if (other != INVALID_HANDLE_VALUE) CloseHandle(other);
  if (event != nullptr) CloseHandle(event);
  CloseHandle(device);
  return 0;
}

}  // namespace fuzzhost
