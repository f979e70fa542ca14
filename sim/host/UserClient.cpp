#include "sim/host/UserClient.h"

#include <cstring>

#include "platform/win32/include/setupapi.h"
#include "platform/win32/include/windows.h"

namespace host {

namespace {
// {F8080C46-1BDA-4A20-9D58-D78E627C8FC5}
const GUID kUnitInterfaceClass = {0xF8080C46, 0x1BDA, 0x4A20, {0x9D, 0x58, 0xD7, 0x8E, 0x62, 0x7C, 0x8F, 0xC5}};
}  // namespace

uint32_t Reply::Word(size_t index) const {
  uint32_t word = 0;
  if (4 * index + 4 <= output.size()) std::memcpy(&word, output.data() + 4 * index, sizeof word);
  return word;
}

std::vector<uint8_t> Words(std::initializer_list<uint32_t> words) {
  std::vector<uint8_t> bytes(4 * words.size());
  std::memcpy(bytes.data(), std::data(words), bytes.size());
  return bytes;
}

std::vector<std::string> FindUnitInterfaces() {
  std::vector<std::string> found;
  HDEVINFO set = SetupDiGetClassDevsA(&kUnitInterfaceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return found;
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &kUnitInterfaceClass, i, &data); ++i) {
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr);
    std::vector<char> bytes(required);
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(bytes.data());
    detail->cbSize = 8;
    if (SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, nullptr, nullptr))
      found.push_back(detail->DevicePath);
  }
  SetupDiDestroyDeviceInfoList(set);
  return found;
}

std::vector<Reply> SendControls(const std::string& path, const std::vector<Control>& controls) {
  std::vector<Reply> replies;
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return replies;
  for (const Control& c : controls) {
    // The caller's buffer is larger than it says, filled with a pattern: what the driver wrote
    // beyond the output length would show.
    std::vector<uint8_t> in = c.input;
    std::vector<uint8_t> out(c.outputLength + 16, 0xCC);
    DWORD returned = 0xFFFFFFFF;
    BOOL ok = DeviceIoControl(h, c.code, in.empty() ? nullptr : in.data(), static_cast<DWORD>(in.size()),
                              c.outputLength == 0 ? nullptr : out.data(), c.outputLength, &returned, nullptr);
    replies.push_back(Reply{ok != FALSE, ok ? 0u : static_cast<uint32_t>(GetLastError()), returned, std::move(out)});
  }
  CloseHandle(h);
  return replies;
}

Reply SendControl(const std::string& path, const Control& control) {
  std::vector<Reply> replies = SendControls(path, {control});
  return replies.empty() ? Reply{false, 0xFFFFFFFF, 0, {}} : replies.front();
}

}  // namespace host
