// The device broker, as Windows' plug-and-play service: windows register for the arrival and
// removal of a device interface class, and a system thread of the machine sends each registered
// window WM_DEVICECHANGE with a DEV_BROADCAST_DEVICEINTERFACE_A record when plug and play enables
// or disables an interface of that class. Plug and play only queues the change; the broker waits
// on the windows, one send at a time, and skips a window that is gone.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "platform/win32/include/windows.h"

namespace plat::win32 {

class DeviceBroker {
 public:
  DeviceBroker();
  ~DeviceBroker();
  DeviceBroker(const DeviceBroker&) = delete;
  DeviceBroker& operator=(const DeviceBroker&) = delete;

  // A registration's handle, or null.
  HDEVNOTIFY Register(HWND hwnd, const GUID& interfaceClass, uint32_t processId);
  bool Unregister(HDEVNOTIFY handle);
  void DropProcess(uint32_t processId);

  // How the broker spells the paths it delivers (a test may ask for another letter case).
  enum class PathCase { AsIs, Upper, Lower };
  void SetPathCase(PathCase pathCase) { pathCase_ = pathCase; }

 private:
  struct Registration {
    uintptr_t id;
    HWND hwnd;
    GUID interfaceClass;
    uint32_t processId;
  };
  struct Change {
    GUID interfaceClass;
    std::string path;
    bool arrived;
  };

  void Start();
  void Run();
  void Deliver(const Change& change);

  std::vector<Registration> registrations_;
  std::deque<Change> changes_;
  uintptr_t nextId_ = 0x00C0FFE0;
  void* signal_ = nullptr;
  bool started_ = false;
  PathCase pathCase_ = PathCase::AsIs;
};

// The broker of the machine the caller runs on.
DeviceBroker& Broker();

}  // namespace plat::win32
