// A driver for tests of the I/O manager: every device's extension holds the function that answers
// its IRPs (success, completed at once, when none is given).
#pragma once

#include <deque>
#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <string>

#include "platform/kernel/IoManager.h"
#include "platform/kernel/Scheduler.h"
#include "platform/kernel/include/wdm.h"
#include "platform/kernel/WideText.h"

namespace iotest {

using Handler = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

struct TestDevice {
  Handler handler;
};

inline NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

inline NTSTATUS Dispatch(PDEVICE_OBJECT dev, PIRP irp) {
  auto* t = static_cast<TestDevice*>(dev->DeviceExtension);
  if (t->handler) return t->handler(dev, irp);
  return Complete(irp, STATUS_SUCCESS);
}

inline NTSTATUS Entry(PDRIVER_OBJECT drv, PUNICODE_STRING) {
  // READ keeps the system's default, so a test can see what an unserved major function gets.
  for (UCHAR mj = 0; mj <= IRP_MJ_MAXIMUM_FUNCTION; ++mj)
    if (mj != IRP_MJ_READ) drv->MajorFunction[mj] = Dispatch;
  drv->DriverUnload = [](PDRIVER_OBJECT) {};
  return STATUS_SUCCESS;
}

// The text is kept for the rest of the test program, so the string may outlive the call.
inline UNICODE_STRING Str(const std::u16string& text) {
  static std::deque<plat::WideString> kept;
  plat::WideString& s = kept.emplace_back(text);
  return UNICODE_STRING{static_cast<USHORT>(s.size() * 2), static_cast<USHORT>(s.size() * 2), s.data()};
}

UNICODE_STRING Str(std::u16string&&) = delete;  // the string must outlive the view

inline PDEVICE_OBJECT NewDevice(PDRIVER_OBJECT drv, const std::u16string& name = {}, Handler h = {},
                                ULONG characteristics = 0) {
  UNICODE_STRING n = Str(name);
  PDEVICE_OBJECT dev = nullptr;
  NTSTATUS status = IoCreateDevice(drv, sizeof(TestDevice), name.empty() ? nullptr : &n, FILE_DEVICE_UNKNOWN,
                                   characteristics, FALSE, &dev);
  EXPECT_EQ(status, STATUS_SUCCESS);
  if (dev == nullptr) return nullptr;
  new (dev->DeviceExtension) TestDevice{std::move(h)};
  dev->Flags &= ~DO_DEVICE_INITIALIZING;
  return dev;
}

inline void SetHandler(PDEVICE_OBJECT dev, Handler h) { static_cast<TestDevice*>(dev->DeviceExtension)->handler = std::move(h); }

inline void DeleteDevice(PDEVICE_OBJECT dev) {
  static_cast<TestDevice*>(dev->DeviceExtension)->~TestDevice();
  IoDeleteDevice(dev);
}

// A machine with the test driver loaded; at the end nothing may be left in the namespace.
class Machine : public testing::Test {
 protected:
  void SetUp() override {
    NTSTATUS status;
    drv = plat::IoLoadDriver(u"iotest", Entry, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
  }
  void TearDown() override {
    if (drv != nullptr) {
      EXPECT_TRUE(plat::IoUnloadDriver(drv));
    }
    EXPECT_EQ(plat::ObNamespaceSize(), 0u);
    EXPECT_EQ(plat::IoLiveIrps(), 0u);
  }
  plat::Scheduler sched;
  PDRIVER_OBJECT drv = nullptr;
};

}  // namespace iotest
