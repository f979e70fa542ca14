// A small driver on the framework, built twice from this source as two images: each answers
// what the framework's process-wide state is in its own image. PROBE_NAME and PROBE_TAG come from
// the build.
#include "tests/kframework/images/ProbeDriver.h"

#include <cstring>
#include <string>

#include "kframework/KernelDriverBase.h"
#include "kframework/PnpDeviceBase.h"
#include "platform/kernel/RegistryHive.h"

namespace {

ULONG gConstructorsRun = 0;

std::u16string EventsKey() { return std::u16string(probe::kEventsKey) + u"\\" + PROBE_NAME; }

ULONG ReadCount(std::u16string_view value) {
  plat::RegistryValue found;
  ULONG n = 0;
  if (NT_SUCCESS(plat::RegistryHive::QueryValue(EventsKey(), value, &found)) && found.data.size() == sizeof n)
    std::memcpy(&n, found.data.data(), sizeof n);
  return n;
}

// Counted where the test still reads it once this image is gone.
void Count(std::u16string_view event) {
  ULONG n = ReadCount(event);
  plat::RegistryHive::CreateKey(EventsKey());
  plat::RegistryHive::SetDword(EventsKey(), event, n + 1);
}

NTSTATUS ConstructProbe() {
  ++gConstructorsRun;
  return RegisterStaticDestructor([] { Count(u"StaticDestructors"); });
}
StaticInit gProbeInit(ConstructProbe);

class ProbeDevice : public PnpDeviceBase {
 public:
  ProbeDevice(ULONG stamp, PDEVICE_OBJECT pdo)
      : PnpDeviceBase(stamp, pdo, nullptr, FILE_DEVICE_UNKNOWN, &probe::kInterface, 0, DO_BUFFERED_IO) {
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
  NTSTATUS Create(PIRP irp) override { return CompleteRequest(irp, STATUS_SUCCESS); }
  NTSTATUS Close(PIRP irp) override { return CompleteRequest(irp, STATUS_SUCCESS); }
  NTSTATUS CleanUp(PIRP irp) override { return CompleteRequest(irp, STATUS_SUCCESS); }
  NTSTATUS DeviceControl(PIRP irp) override {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->Parameters.DeviceIoControl.IoControlCode != probe::kIoctlState ||
        sp->Parameters.DeviceIoControl.OutputBufferLength < sizeof(probe::State))
      return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST);
    probe::State state{};
    state.constructorsRun = gConstructorsRun;
    state.derivedPoolTag = DerivedPoolTag;
    state.dosDevicesPrefix = UseDosDevicesPrefix;
    state.instanceIsOwn = DriverInstance->mDriverObject == mDeviceObject->DriverObject ? TRUE : FALSE;
    const UNICODE_STRING& path = DriverInstance->mRegistryPath;
    ULONG chars = path.Length / sizeof(WCHAR);
    ULONG from = chars;
    while (from > 0 && path.Buffer[from - 1] != u'\\') --from;
    for (ULONG i = 0; from + i < chars && i + 1 < 32; ++i) state.service[i] = path.Buffer[from + i];
    state.processId = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(PsGetCurrentProcessId()));
    state.is32 = IoIs32bitProcess(irp) ? 1 : 0;
    state.requestorMode = static_cast<ULONG>(irp->RequestorMode);
    std::memcpy(irp->AssociatedIrp.SystemBuffer, &state, sizeof state);
    irp->IoStatus.Information = sizeof state;
    return CompleteRequest(irp, STATUS_SUCCESS);
  }

  LowerDeviceLink mLink;
};

class ProbeDriver : public KernelDriverBase {
 public:
  NTSTATUS DriverEntry(PUNICODE_STRING) override {
    PAGED_CODE();
    DerivedPoolTag = PROBE_TAG;
    Count(u"Entries");
    return ReadCount(u"FailEntry") != 0 ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
  }
  void Unload() override {
    PAGED_CODE();
    Count(u"Unloads");
    KernelDriverBase::Unload();
  }
  NTSTATUS AddDevice(PDEVICE_OBJECT pdo) override {
    PAGED_CODE();
    auto* device = KernelNew<ProbeDevice>(NonPagedPool, pdo);
    if (device == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = device->mConstructStatus;
    if (!NT_SUCCESS(status)) {
      device->mLink.Detach();
      device->Delete();
    }
    return status;
  }
};

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  return FrameworkDriverEntry<ProbeDriver>(DriverObject, RegistryPath);
}
