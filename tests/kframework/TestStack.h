// A synthetic two-layer stack: a function device of the framework over a PDO of the test bus.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "kframework/KernelDriverBase.h"
#include "kframework/PnpDeviceBase.h"
#include "platform/kernel/PnpTestBus.h"
#include "platform/kernel/Scheduler.h"
#include "platform/kernel/WideText.h"

namespace kfwtest {

inline const GUID kTestInterface = {0x3C0E7A51, 0x2B9D, 0x4E60, {0x8F, 0x14, 0x6A, 0x27, 0xD1, 0x90, 0x5B, 0xC3}};
inline const std::u16string kFunctionId = u"QXTEST\\FUNC";

// The function device: PnP and power go down; CREATE completes here, CLOSE and CLEANUP go down
// (as the unit driver's do); device control either completes at once or is kept as a "stream"
// that holds its count until the device stops it.
class TestFdo : public PnpDeviceBase {
 public:
  TestFdo(ULONG stamp, PDEVICE_OBJECT pdo, PCWSTR name)
      : PnpDeviceBase(stamp, pdo, name, FILE_DEVICE_UNKNOWN, &kTestInterface, 0, DO_BUFFERED_IO) {
    if (!NT_SUCCESS(mConstructStatus)) return;
    mConstructStatus = mLink.AttachToStack(this, pdo);
    mLowerLink = &mLink;
    SetDefaultPnpPolicy();
  }

  NTSTATUS DefaultPnp(PIRP irp) override {
    IoSkipCurrentIrpStackLocation(irp);
    return PassDown(irp);
  }
  NTSTATUS DefaultPower(PIRP irp) override {
    PoStartNextPowerIrp(irp);
    IoCopyCurrentIrpStackLocationToNext(irp);
    return PassPowerDown(irp);
  }
  NTSTATUS Create(PIRP irp) override { return CompleteRequest(irp, createStatus); }
  NTSTATUS Close(PIRP irp) override { return DefaultPnp(irp); }
  NTSTATUS CleanUp(PIRP irp) override { return DefaultPnp(irp); }
  NTSTATUS DeviceControl(PIRP irp) override {
    served.push_back(IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode);
    servedAt = KeGetCurrentIrql();
    if (queueInDeviceQueue) {
      IoMarkIrpPending(irp);
      KeInsertDeviceQueue(&mDeviceObject->DeviceQueue, &irp->Tail.Overlay.DeviceQueueEntry);
      return STATUS_PENDING;
    }
    if (keepAsStream) {
      IoMarkIrpPending(irp);
      streams.push_back(irp);
      return STATUS_PENDING;
    }
    irp->IoStatus.Information = 0;
    return CompleteRequest(irp, STATUS_SUCCESS);
  }
  NTSTATUS OnRemoveDevice(PIRP irp) override {
    if (stopStreamsOnRemove) StopStreams();
    return PnpDeviceBase::OnRemoveDevice(irp);
  }
  NTSTATUS OnQueryStopDevice(PIRP irp) override {
    return NT_SUCCESS(queryStatus) ? PnpDeviceBase::OnQueryStopDevice(irp) : queryStatus;
  }
  NTSTATUS OnQueryRemoveDevice(PIRP irp) override {
    return NT_SUCCESS(queryStatus) ? PnpDeviceBase::OnQueryRemoveDevice(irp) : queryStatus;
  }
  void StopStreams() {
    for (PIRP irp : streams) CompleteRequest(irp, STATUS_CANCELLED);
    streams.clear();
  }

  LowerDeviceLink mLink;
  NTSTATUS createStatus = STATUS_SUCCESS;
  NTSTATUS queryStatus = STATUS_SUCCESS;
  bool keepAsStream = false;
  bool stopStreamsOnRemove = true;
  bool queueInDeviceQueue = false;
  KIRQL servedAt = 0xFF;
  std::vector<ULONG> served;
  std::vector<PIRP> streams;
};

// Set by the driver's AddDevice: the last function device made, and what to make next.
inline TestFdo* gLastFdo = nullptr;
inline bool gPowerPolicy = false;
inline bool gWake = false;

class TestDriver : public KernelDriverBase {
 public:
  NTSTATUS AddDevice(PDEVICE_OBJECT pdo) override {
    NumberedName name = MakeNumberedName(L"QxTestFdo", mAdded++, 10);
    TestFdo* fdo = KernelNew<TestFdo>(NonPagedPool, pdo, name.Buffer);
    FreeNumberedName(&name);
    if (fdo == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = fdo->mConstructStatus;
    if (!NT_SUCCESS(status)) {
      fdo->mLink.Detach();
      fdo->Delete();
      return status;
    }
    if (gPowerPolicy) fdo->SetDefaultPowerPolicy(gWake ? TRUE : FALSE);
    gLastFdo = fdo;
    return STATUS_SUCCESS;
  }
  ULONG mAdded = 0;
};

inline NTSTATUS TestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
  return FrameworkDriverEntry<TestDriver>(driver, path);
}

inline ULONG Ioctl(ULONG n) { return CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800 + n, METHOD_BUFFERED, FILE_ANY_ACCESS); }

class Stack : public testing::Test {
 public:
  void Plug(plat::TestBusChild child = {kFunctionId, u"1"}) {
    plat::PnpRegisterService(u"qxtestfdo", TestDriverEntry);
    plat::PnpBindHardwareId(kFunctionId, u"qxtestfdo");
    gLastFdo = nullptr;
    pdo = plat::TestBus::Plug(child);
    fdo = gLastFdo;
  }
  void SetUp() override { Plug(); }
  void TearDown() override {
    for (PFILE_OBJECT f : files) plat::IoCloseFile(f);
    EXPECT_TRUE(plat::PnpShutdown());
    EXPECT_EQ(plat::ObNamespaceSize(), 0u);
    EXPECT_EQ(plat::IoLiveIrps(), 0u);
    EXPECT_EQ(DriverInstance, nullptr);
    gPowerPolicy = gWake = false;
  }

  PDEVICE_OBJECT Fdo() const { return fdo->mDeviceObject; }
  std::u16string FdoName() const { return plat::ToU16(fdo->mDeviceName); }

  PFILE_OBJECT Open(NTSTATUS expect = STATUS_SUCCESS) {
    PFILE_OBJECT file = nullptr;
    EXPECT_EQ(plat::IoOpenFile(FdoName(), &file), expect);
    if (file != nullptr) files.push_back(file);
    return file;
  }
  void Close(PFILE_OBJECT file) {
    files.erase(std::find(files.begin(), files.end(), file));
    plat::IoCloseFile(file);
  }
  std::shared_ptr<plat::IoRequest> Send(UCHAR major, UCHAR minor, PFILE_OBJECT file = nullptr) {
    auto r = plat::IoSend(Fdo(), major, minor, file);
    sched.RunUntilIdle();
    return r;
  }
  std::shared_ptr<plat::IoRequest> Control(PFILE_OBJECT file, ULONG n = 1) {
    auto r = plat::IoSend(Fdo(), IRP_MJ_DEVICE_CONTROL, 0, file, [n](PIO_STACK_LOCATION sp) {
      sp->Parameters.DeviceIoControl.IoControlCode = Ioctl(n);
    });
    sched.RunUntilIdle();
    return r;
  }
  size_t EnabledInterfaces() {
    PWSTR list = nullptr;
    EXPECT_EQ(IoGetDeviceInterfaces(&kTestInterface, nullptr, 0, &list), STATUS_SUCCESS);
    size_t n = 0;
    for (PWSTR p = list; *p != 0; p += plat::WideLength(p) + 1) ++n;
    ExFreePool(list);
    return n;
  }

  plat::Scheduler sched;
  PDEVICE_OBJECT pdo = nullptr;
  TestFdo* fdo = nullptr;
  std::vector<PFILE_OBJECT> files;
};

}  // namespace kfwtest
