// The Win32 half of the driver client library: finds the units by their device interface class,
// opens them, keeps which handle is which unit, and carries each request as one device I/O control.
#pragma once

#include <windows.h>

#include <span>
#include <string>
#include <vector>

#include "client/QX531BaseDriverInterface.h"

// The device interface class the kernel driver registers for every unit.
inline constexpr GUID kQX531InterfaceClass = {0xF8080C46, 0x1BDA, 0x4A20, {0x9D, 0x58, 0xD7, 0x8E, 0x62, 0x7C, 0x8F, 0xC5}};

// A flash image for one partition, and its version.
struct FlashImage {
  std::span<const uint8_t> bytes;
  uint32_t version;
};

// The images at hand for one kind of unit; null where there is none.
struct UnitFlashImages {
  const FlashImage* firmware = nullptr;
  const FlashImage* fpga = nullptr;
};

struct handleMapStruct {
  std::string devname;
  DeviceHandle handle;
};

class QX531WinDriverInterface : public QX531BaseDriverInterface {
 public:
  static constexpr int kOpenAttempts = 10;
  static constexpr DWORD kOpenRetryMs = 200;

  QX531WinDriverInterface();
  // Closes what it holds: a host that creates and releases the object again and again keeps no
  // removed unit alive.
  ~QX531WinDriverInterface() override;

  int32_t ReservedOperation() override;
  int32_t OpenDevices(int32_t mode) override;
  bool IsMainOpen() override;
  int32_t IsUnitAlive(DeviceHandle handle) override;
  int32_t CloseMain() override;
  int32_t CloseHandleOf(DeviceHandle handle) override;
  int32_t Ioctl(uint32_t request, void* buffer, uint32_t inLength, uint32_t outLength, uint32_t* returned) override;
  int32_t IoctlOf(DeviceHandle handle, uint32_t request, void* buffer, uint32_t inLength, uint32_t outLength,
                  uint32_t* returned) override;

  // Opens every present interface of the class.
  void EnumerateDevices(const GUID& interfaceClass);
  // Opens one interface path unless it is open already.
  void OpenDevicePath(const std::string& path);
  // A path whose unit went away: closes its handle, forgets its entry, and makes the next Poll
  // fetch everything again.
  void RemoveDevicePath(const std::string& path);
  void DumpHandleMap();

  // Programs one image into one partition of a unit, again from its start after a failed pass,
  // until it is finished or 20 failures were counted; true when finished. Progress goes to the
  // debugger output.
  bool ProgramFlashImage(DeviceHandle handle, uint32_t partition, std::span<const uint8_t> image);
  // Programs the main unit and then every expansion unit, in slot order, with the images at hand
  // for its kind (with `conditional`, only images newer than what the unit runs), and asks Windows
  // to restart once a unit was programmed. Returns the number of images programmed.
  uint32_t UpdateUnits(const UnitFlashImages& mainUnit, const UnitFlashImages& expansionUnit, bool conditional);

 protected:
  std::vector<handleMapStruct> mHandleMap;
  uint8_t needUpdate = 0;
  uint8_t devicePresent = 0;
  int32_t mAttachOnOpen = 0;

 private:
  bool Holds(DeviceHandle handle) const;
  uint32_t UpdateUnit(DeviceHandle handle, const UnitFlashImages& images, bool conditional, uint32_t armVersion,
                      uint32_t fpgaVersion);
  void Restart();
};
