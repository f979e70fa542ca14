#include "platform/portcls/AdapterDevice.h"

#include <algorithm>
#include <new>

#include "platform/kernel/Verifier.h"
#include "platform/portcls/Installer.h"
#include "platform/portcls/ResourceList.h"
#include "platform/kernel/WideText.h"

namespace plat::pc {
namespace {

constexpr ULONG kExtensionSignature = plat::PoolTag("PcDx");

// Port class's own bytes at the start of the extension.
struct ExtensionHeader {
  ULONG signature;
  AdapterDevice* device;
};
static_assert(sizeof(ExtensionHeader) <= PORT_CLASS_DEVICE_EXTENSION_SIZE);

std::u16string Upper(std::u16string s) {
  for (auto& c : s)
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  return s;
}

NTSTATUS SignalStarted(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// The interface classes of a subdevice: the filter's own categories, or the audio category with
// render and capture for the directions of its streaming pins, or topology for a topology port.
std::vector<GUID> CategoriesOf(const PortBase& port) {
  const PCFILTER_DESCRIPTOR& d = port.Descriptor();
  if (d.CategoryCount != 0) return std::vector<GUID>(d.Categories, d.Categories + d.CategoryCount);
  std::vector<GUID> out{KSCATEGORY_AUDIO};
  if (port.Kind() == PortKind::Topology) {
    out.push_back(KSCATEGORY_TOPOLOGY);
    return out;
  }
  bool render = false;
  bool capture = false;
  for (ULONG i = 0; i < d.PinCount; ++i) {
    const KSPIN_DESCRIPTOR& ks = PinOf(d, i).KsPinDescriptor;
    if (ks.Communication != KSPIN_COMMUNICATION_SINK && ks.Communication != KSPIN_COMMUNICATION_BOTH) continue;
    render = render || ks.DataFlow == KSPIN_DATAFLOW_IN;
    capture = capture || ks.DataFlow == KSPIN_DATAFLOW_OUT;
  }
  if (render) out.push_back(KSCATEGORY_RENDER);
  if (capture) out.push_back(KSCATEGORY_CAPTURE);
  return out;
}

}  // namespace

AdapterDevice* AdapterDevice::Of(PDEVICE_OBJECT deviceObject) {
  // Port class makes its devices of type FILE_DEVICE_KS; an adapter may route a major function
  // through a routine of its own and still hand its IRPs to PcDispatchIrp.
  if (deviceObject == nullptr || deviceObject->DeviceType != FILE_DEVICE_KS || deviceObject->DeviceExtension == nullptr)
    return nullptr;
  auto* header = static_cast<ExtensionHeader*>(deviceObject->DeviceExtension);
  return header->signature == kExtensionSignature ? header->device : nullptr;
}

AdapterDevice* AdapterDevice::OfPdo(PDEVICE_OBJECT pdo) {
  for (PDEVICE_OBJECT d = pdo; d != nullptr; d = d->AttachedDevice)
    if (AdapterDevice* device = Of(d)) return device;
  return nullptr;
}

const Subdevice* AdapterDevice::Find(const std::u16string& name) const {
  std::u16string wanted = Upper(name);
  for (const Subdevice& s : mSubdevices)
    if (Upper(s.name) == wanted) return &s;
  return nullptr;
}

NTSTATUS AdapterDevice::RegisterSubdevice(const std::u16string& name, PortBase* port) {
  PAGED_CODE();
  if (name.empty() || !port->Initialised() || port->DeviceObject() != mFdo) return STATUS_INVALID_PARAMETER;
  if (Find(name) != nullptr) return STATUS_OBJECT_NAME_COLLISION;
  if (std::any_of(mSubdevices.begin(), mSubdevices.end(), [&](const Subdevice& s) { return s.port == port; }))
    return STATUS_OBJECT_NAME_COLLISION;
  if (mSubdevices.size() >= mMaxObjects) return STATUS_INSUFFICIENT_RESOURCES;

  Subdevice sub{name, port, CategoriesOf(*port), {}};
  plat::WideString reference(name);
  UNICODE_STRING ref{static_cast<USHORT>(reference.size() * sizeof(WCHAR)),
                     static_cast<USHORT>(reference.size() * sizeof(WCHAR)), reference.data()};
  NTSTATUS status = STATUS_SUCCESS;
  for (const GUID& category : sub.categories) {
    UNICODE_STRING link{};
    status = IoRegisterDeviceInterface(mPdo, &category, &ref, &link);
    if (!NT_SUCCESS(status)) break;
    sub.links.push_back(link);
    status = IoSetDeviceInterfaceState(&link, TRUE);
    if (!NT_SUCCESS(status)) break;
  }
  if (!NT_SUCCESS(status)) {
    for (UNICODE_STRING& link : sub.links) {
      IoSetDeviceInterfaceState(&link, FALSE);
      RtlFreeUnicodeString(&link);
    }
    return status;
  }
  InstallFriendlyNames(mFdo->DriverObject, name, sub.links);
  port->Identity()->AddRef();
  mSubdevices.push_back(std::move(sub));
  return STATUS_SUCCESS;
}

NTSTATUS AdapterDevice::RegisterConnection(PortBase* from, ULONG fromPin, PortBase* to, ULONG toPin) {
  PAGED_CODE();
  auto registered = [&](PortBase* p) {
    return std::any_of(mSubdevices.begin(), mSubdevices.end(), [&](const Subdevice& s) { return s.port == p; });
  };
  if (from == to || !registered(from) || !registered(to)) return STATUS_INVALID_PARAMETER;
  if (fromPin >= from->Descriptor().PinCount || toPin >= to->Descriptor().PinCount) return STATUS_INVALID_PARAMETER;
  if (PinOf(from->Descriptor(), fromPin).KsPinDescriptor.DataFlow != KSPIN_DATAFLOW_OUT ||
      PinOf(to->Descriptor(), toPin).KsPinDescriptor.DataFlow != KSPIN_DATAFLOW_IN)
    return STATUS_INVALID_PARAMETER;
  for (const PhysicalConnection& c : mConnections)
    if (c.from == from && c.fromPin == fromPin && c.to == to && c.toPin == toPin) return STATUS_OBJECT_NAME_COLLISION;
  mConnections.push_back(PhysicalConnection{from, fromPin, to, toPin});
  return STATUS_SUCCESS;
}

void AdapterDevice::DisableInterfaces() {
  for (Subdevice& s : mSubdevices)
    for (UNICODE_STRING& link : s.links) IoSetDeviceInterfaceState(&link, FALSE);
}

// The subdevices' ports go, newest first: their miniports, and with the last one the adapter's
// own objects, are released here.
void AdapterDevice::ReleaseSubdevices() {
  mConnections.clear();
  while (!mSubdevices.empty()) {
    Subdevice s = std::move(mSubdevices.back());
    mSubdevices.pop_back();
    for (UNICODE_STRING& link : s.links) RtlFreeUnicodeString(&link);
    s.port->ReleaseChildren();
    s.port->Identity()->Release();
  }
}

// The pulled device's filters stay until their files close; what is open stops now.
void AdapterDevice::SurpriseRemove() {
  PAGED_CODE();
  mSurpriseRemoved = true;
  for (Subdevice& s : mSubdevices) s.port->SurpriseRemove();
}

NTSTATUS AdapterDevice::Create(PIRP irp) {
  PAGED_CODE();
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  if (mSurpriseRemoved) return Complete(irp, STATUS_DELETE_PENDING);
  std::u16string name = plat::U16(file->FileName.Buffer, file->FileName.Length / sizeof(WCHAR));
  if (!name.empty() && name.front() == u'\\') name.erase(0, 1);
  const Subdevice* sub = Find(name);
  if (sub == nullptr) return Complete(irp, STATUS_OBJECT_NAME_NOT_FOUND);
  sub->port->Identity()->AddRef();
  file->FsContext = sub->port;
  ++mOpenFiles;
  return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS AdapterDevice::Close(PIRP irp) {
  PAGED_CODE();
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  auto* port = static_cast<PortBase*>(file->FsContext);
  file->FsContext = nullptr;
  if (port != nullptr) {
    port->Identity()->Release();
    --mOpenFiles;
  }
  return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS AdapterDevice::Start(PIRP irp) {
  PAGED_CODE();
  KEVENT started;
  KeInitializeEvent(&started, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, SignalStarted, &started, TRUE, TRUE, TRUE);
  NTSTATUS status = IoCallDriver(mLower, irp);
  if (status == STATUS_PENDING) KeWaitForSingleObject(&started, Executive, KernelMode, FALSE, nullptr);
  status = irp->IoStatus.Status;
  if (NT_SUCCESS(status)) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    PRESOURCELIST resources = nullptr;
    status = PcNewResourceList(&resources, nullptr, PagedPool,
                               static_cast<PCM_RESOURCE_LIST>(sp->Parameters.StartDevice.AllocatedResourcesTranslated),
                               static_cast<PCM_RESOURCE_LIST>(sp->Parameters.StartDevice.AllocatedResources));
    if (NT_SUCCESS(status)) {
      mWavePorts = 0;
      status = mStart(mFdo, irp, resources);
      resources->Release();
    }
  }
  return Complete(irp, status);
}

NTSTATUS AdapterDevice::Pnp(PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  switch (sp->MinorFunction) {
    case IRP_MN_START_DEVICE:
      return Start(irp);
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    case IRP_MN_SURPRISE_REMOVAL:
      DisableInterfaces();
      SurpriseRemove();
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    case IRP_MN_REMOVE_DEVICE: {
      if (mOpenFiles != 0) Violation("the adapter's device was removed while a filter of it is open");
      DisableInterfaces();
      ReleaseSubdevices();
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoSkipCurrentIrpStackLocation(irp);
      NTSTATUS status = IoCallDriver(mLower, irp);
      PDEVICE_OBJECT fdo = mFdo;
      IoDetachDevice(mLower);
      static_cast<ExtensionHeader*>(fdo->DeviceExtension)->signature = 0;
      delete this;
      IoDeleteDevice(fdo);
      return status;
    }
    default:
      break;
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(mLower, irp);
}

NTSTATUS AdapterDevice::Dispatch(PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  switch (sp->MajorFunction) {
    case IRP_MJ_PNP:
      return Pnp(irp);
    case IRP_MJ_POWER:
      PoStartNextPowerIrp(irp);
      IoSkipCurrentIrpStackLocation(irp);
      return PoCallDriver(mLower, irp);
    case IRP_MJ_SYSTEM_CONTROL:
      IoSkipCurrentIrpStackLocation(irp);
      return IoCallDriver(mLower, irp);
    case IRP_MJ_CREATE:
      return Create(irp);
    case IRP_MJ_CLEANUP:
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MJ_CLOSE:
      return Close(irp);
    default:
      // Past the open, the pin client calls the ports directly rather than through kernel-streaming
      // requests.
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

}  // namespace plat::pc

using plat::pc::AdapterDevice;

NTSTATUS PcInitializeAdapterDriver(PDRIVER_OBJECT DriverObject, PUNICODE_STRING, PDRIVER_ADD_DEVICE AddDevice) {
  PAGED_CODE();
  if (DriverObject == nullptr || AddDevice == nullptr) return STATUS_INVALID_PARAMETER;
  for (auto& routine : DriverObject->MajorFunction) routine = PcDispatchIrp;
  DriverObject->DriverExtension->AddDevice = AddDevice;
  return STATUS_SUCCESS;
}

NTSTATUS PcAddAdapterDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                            PCPFNSTARTDEVICE StartDevice, ULONG MaxObjects, ULONG DeviceExtensionSize) {
  PAGED_CODE();
  if (DeviceExtensionSize == 0) DeviceExtensionSize = PORT_CLASS_DEVICE_EXTENSION_SIZE;
  if (DriverObject == nullptr || PhysicalDeviceObject == nullptr || StartDevice == nullptr || MaxObjects == 0 ||
      DeviceExtensionSize < PORT_CLASS_DEVICE_EXTENSION_SIZE)
    return STATUS_INVALID_PARAMETER;
  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS status = IoCreateDevice(DriverObject, DeviceExtensionSize, nullptr, FILE_DEVICE_KS, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(fdo, PhysicalDeviceObject);
  if (lower == nullptr) {
    IoDeleteDevice(fdo);
    return STATUS_NO_SUCH_DEVICE;
  }
  auto* device = new (std::nothrow) AdapterDevice(fdo, PhysicalDeviceObject, lower, StartDevice, MaxObjects);
  if (device == nullptr) {
    IoDetachDevice(lower);
    IoDeleteDevice(fdo);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  *static_cast<plat::pc::ExtensionHeader*>(fdo->DeviceExtension) = {plat::pc::kExtensionSignature, device};
  fdo->StackSize = static_cast<CHAR>(lower->StackSize + 1);
  fdo->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS PcDispatchIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  AdapterDevice* device = AdapterDevice::Of(DeviceObject);
  if (device != nullptr) return device->Dispatch(Irp);
  // Another device of the adapter's driver, such as a named one of its own: nothing to do here.
  return plat::pc::Complete(Irp, STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS PcRegisterSubdevice(PDEVICE_OBJECT DeviceObject, PWSTR Name, PUNKNOWN Unknown) {
  PAGED_CODE();
  AdapterDevice* device = AdapterDevice::Of(DeviceObject);
  plat::pc::PortBase* port = plat::pc::PortBase::FromUnknown(Unknown);
  if (device == nullptr || port == nullptr || Name == nullptr) return STATUS_INVALID_PARAMETER;
  return device->RegisterSubdevice(plat::U16(Name), port);
}

NTSTATUS PcRegisterPhysicalConnection(PDEVICE_OBJECT DeviceObject, PUNKNOWN FromUnknown, ULONG FromPin,
                                      PUNKNOWN ToUnknown, ULONG ToPin) {
  PAGED_CODE();
  AdapterDevice* device = AdapterDevice::Of(DeviceObject);
  plat::pc::PortBase* from = plat::pc::PortBase::FromUnknown(FromUnknown);
  plat::pc::PortBase* to = plat::pc::PortBase::FromUnknown(ToUnknown);
  if (device == nullptr || from == nullptr || to == nullptr) return STATUS_INVALID_PARAMETER;
  return device->RegisterConnection(from, FromPin, to, ToPin);
}
