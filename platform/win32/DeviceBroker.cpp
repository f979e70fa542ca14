#include "platform/win32/DeviceBroker.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>

#include "platform/win32/Desktop.h"
#include "platform/win32/KernelBridge.h"
#include "platform/win32/MessageQueue.h"
#include "platform/win32/Text.h"
#include "platform/win32/include/dbt.h"

namespace plat::win32 {

DeviceBroker::DeviceBroker() = default;

DeviceBroker::~DeviceBroker() {
  if (signal_ != nullptr) FreeSignal(signal_);
}

DeviceBroker& Broker() { return Desktop::Get().Broker(); }

void DeviceBroker::Start() {
  if (started_) return;
  started_ = true;
  signal_ = NewSignal();
  // Broker() finds this broker again only while its machine lives; the tap and the thread end
  // with that machine.
  WatchInterfaces([this](const void* classGuid, std::u16string path, bool arrived) {
    Change change{};
    std::memcpy(&change.interfaceClass, classGuid, sizeof(GUID));
    change.path = Narrow(path);
    change.arrived = arrived;
    changes_.push_back(std::move(change));
    RaiseSignal(signal_);
  });
  StartSystemThread("device broker", [this] { Run(); });
}

void DeviceBroker::Run() {
  constexpr Status kWait0 = 0;
  while (WaitSignal(signal_, -1) == kWait0) {
    while (!changes_.empty()) {
      Change change = std::move(changes_.front());
      changes_.pop_front();
      Deliver(change);
    }
  }
}

void DeviceBroker::Deliver(const Change& change) {
  std::string path = change.path;
  if (pathCase_ != PathCase::AsIs)
    for (char& c : path)
      c = static_cast<char>(pathCase_ == PathCase::Upper ? std::toupper(static_cast<unsigned char>(c))
                                                         : std::tolower(static_cast<unsigned char>(c)));
  std::vector<Registration> targets;
  for (const Registration& r : registrations_)
    if (std::memcmp(&r.interfaceClass, &change.interfaceClass, sizeof(GUID)) == 0) targets.push_back(r);
  for (const Registration& r : targets) {
    // A registration dropped while an earlier window was served is not served.
    if (std::none_of(registrations_.begin(), registrations_.end(), [&](const Registration& x) { return x.id == r.id; }))
      continue;
    if (Desktop::Get().Find(r.hwnd) == nullptr) continue;
    // The record lives for the length of the send.
    size_t size = offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name) + path.size() + 1;
    std::vector<uint8_t> bytes(std::max(size, sizeof(DEV_BROADCAST_DEVICEINTERFACE_A)), 0);
    auto* record = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_A*>(bytes.data());
    record->dbcc_size = static_cast<DWORD>(size);
    record->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    record->dbcc_classguid = change.interfaceClass;
    std::memcpy(bytes.data() + offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name), path.c_str(), path.size() + 1);
    LRESULT result = 0;
    SendTo(r.hwnd, WM_DEVICECHANGE, change.arrived ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE,
           reinterpret_cast<LPARAM>(record), SMTO_NORMAL, -1, &result);
  }
}

HDEVNOTIFY DeviceBroker::Register(HWND hwnd, const GUID& interfaceClass, uint32_t processId) {
  Start();
  Registration r{nextId_, hwnd, interfaceClass, processId};
  nextId_ += 4;
  registrations_.push_back(r);
  return reinterpret_cast<HDEVNOTIFY>(r.id);
}

bool DeviceBroker::Unregister(HDEVNOTIFY handle) {
  auto id = reinterpret_cast<uintptr_t>(handle);
  return std::erase_if(registrations_, [&](const Registration& r) { return r.id == id; }) != 0;
}

void DeviceBroker::DropProcess(uint32_t processId) {
  std::erase_if(registrations_, [&](const Registration& r) { return r.processId == processId; });
}

}  // namespace plat::win32

namespace w = plat::win32;

HDEVNOTIFY RegisterDeviceNotificationA(HANDLE hRecipient, LPVOID NotificationFilter, DWORD Flags) {
  auto* filter = static_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(NotificationFilter);
  if (filter == nullptr || Flags != DEVICE_NOTIFY_WINDOW_HANDLE || filter->dbcc_size < sizeof *filter ||
      filter->dbcc_devicetype != DBT_DEVTYP_DEVICEINTERFACE) {
    w::SetError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto hwnd = static_cast<HWND>(hRecipient);
  if (w::Desktop::Get().Checked(hwnd) == nullptr) return nullptr;
  return w::Broker().Register(hwnd, filter->dbcc_classguid, w::CurrentProcessId());
}

BOOL UnregisterDeviceNotification(HDEVNOTIFY Handle) {
  if (!w::Broker().Unregister(Handle)) {
    w::SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}
