#include "tests/platform/bus1394/UnitTestDriver.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/kernel/PnpManager.h"

namespace bus1394test {

namespace {

constexpr ULONG kTestTag = plat::PoolTag("T394");

struct DriverState {
  uint64_t scheduler = 0;
  std::vector<std::string> events;
  std::vector<UnitDevice*> devices;
  int completions = 0;
};

DriverState& S() {
  static DriverState s;
  uint64_t serial = plat::Scheduler::Current().Serial();
  if (s.scheduler != serial) s = DriverState{serial, {}, {}, 0};
  return s;
}

std::string Instance(PDEVICE_OBJECT pdo) {
  std::u16string path = plat::PnpInstancePath(pdo);
  std::string out;
  for (char16_t c : path.substr(path.rfind(u'\\') + 1)) out += static_cast<char>(c);
  return out;
}

UnitDevice* Ext(PDEVICE_OBJECT d) { return static_cast<UnitDevice*>(d->DeviceExtension); }

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS SignalAndKeep(PDEVICE_OBJECT, PIRP, PVOID event) {
  KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Passes the IRP down and waits for the PDO to finish it; the caller completes it.
NTSTATUS ForwardAndWait(UnitDevice* dev, PIRP irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, SignalAndKeep, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(dev->lower, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  return irp->IoStatus.Status;
}

void OnBusReset(PVOID context) {
  auto* dev = static_cast<UnitDevice*>(context);
  dev->resets += 1;
  dev->resetIrql = KeGetCurrentIrql();
}

NTSTATUS RegisterReset(UnitDevice* dev, ULONG flags) {
  IRB irb{};
  irb.FunctionNumber = REQUEST_BUS_RESET_NOTIFICATION;
  irb.u.BusResetNotification.fulFlags = flags;
  irb.u.BusResetNotification.ResetRoutine = OnBusReset;
  irb.u.BusResetNotification.ResetContext = dev;
  return SendIrb(dev, &irb);
}

NTSTATUS ReadIds(UnitDevice* dev) {
  IRB irb{};
  irb.FunctionNumber = REQUEST_GET_GENERATION_COUNT;
  NTSTATUS status = SendIrb(dev, &irb);
  if (!NT_SUCCESS(status)) return status;
  dev->generation = irb.u.GetGenerationCount.GenerationCount;
  for (ULONG flags : {ULONG{0}, USE_LOCAL_NODE}) {
    irb = IRB{};
    irb.FunctionNumber = REQUEST_GET_ADDR_FROM_DEVICE_OBJECT;
    irb.u.Get1394AddressFromDeviceObject.fulFlags = flags;
    status = SendIrb(dev, &irb);
    if (!NT_SUCCESS(status)) return status;
    USHORT node = irb.u.Get1394AddressFromDeviceObject.NodeAddress.NA_Node_Number;
    (flags == 0 ? dev->nodeNumber : dev->localNodeNumber) = node;
  }
  return STATUS_SUCCESS;
}

NTSTATUS Pnp(UnitDevice* dev, PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  switch (sp->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      NTSTATUS status = ForwardAndWait(dev, irp);
      if (NT_SUCCESS(status)) status = RegisterReset(dev, REGISTER_NOTIFICATION_ROUTINE);
      if (NT_SUCCESS(status)) status = ReadIds(dev);
      S().events.push_back("start " + Instance(dev->pdo));
      return Complete(irp, status);
    }
    case IRP_MN_SURPRISE_REMOVAL:
      S().events.push_back("surprise " + Instance(dev->pdo));
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    case IRP_MN_REMOVE_DEVICE: {
      S().events.push_back("remove " + Instance(dev->pdo));
      if (dev->onRemove) dev->onRemove(dev);
      RegisterReset(dev, DEREGISTER_NOTIFICATION_ROUTINE);
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoSkipCurrentIrpStackLocation(irp);
      NTSTATUS status = IoCallDriver(dev->lower, irp);
      auto& devices = S().devices;
      devices.erase(std::remove(devices.begin(), devices.end(), dev), devices.end());
      PDEVICE_OBJECT self = dev->self;
      IoDetachDevice(dev->lower);
      dev->~UnitDevice();
      IoDeleteDevice(self);
      return status;
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    default:
      break;
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(dev->lower, irp);
}

NTSTATUS Dispatch(PDEVICE_OBJECT d, PIRP irp) {
  UnitDevice* dev = Ext(d);
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  switch (sp->MajorFunction) {
    case IRP_MJ_PNP:
      return Pnp(dev, irp);
    case IRP_MJ_POWER:
      PoStartNextPowerIrp(irp);
      IoSkipCurrentIrpStackLocation(irp);
      return PoCallDriver(dev->lower, irp);
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
      return Complete(irp, STATUS_SUCCESS);
    default:
      IoSkipCurrentIrpStackLocation(irp);
      return IoCallDriver(dev->lower, irp);
  }
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT self = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(UnitDevice), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &self);
  if (!NT_SUCCESS(status)) return status;
  auto* dev = new (self->DeviceExtension) UnitDevice{};
  dev->self = self;
  dev->pdo = pdo;
  dev->lower = IoAttachDeviceToDeviceStack(self, pdo);
  self->Flags |= DO_POWER_PAGABLE;
  self->Flags &= ~DO_DEVICE_INITIALIZING;
  S().devices.push_back(dev);
  S().events.push_back("add " + Instance(pdo));
  return STATUS_SUCCESS;
}

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& fn : driver->MajorFunction) fn = Dispatch;
  driver->DriverExtension->AddDevice = AddDevice;
  driver->DriverUnload = [](PDRIVER_OBJECT) {};
  return STATUS_SUCCESS;
}

PIRP IrbIrp(UnitDevice* dev, IRB* irb) {
  PIRP irp = IoAllocateIrp(dev->lower->StackSize, FALSE);
  if (irp == nullptr) return nullptr;
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  sp->Parameters.DeviceIoControl.IoControlCode = IOCTL_1394_CLASS;
  sp->Parameters.Others.Argument1 = irb;
  return irp;
}

IRB AsyncIrb(ULONG function, ULONG offset, PMDL mdl, ULONG length, ULONG generation) {
  IRB irb{};
  irb.FunctionNumber = function;
  irb.u.AsyncRead.DestinationAddress.IA_Destination_Offset.Off_High = 0xFFFF;
  irb.u.AsyncRead.DestinationAddress.IA_Destination_Offset.Off_Low = offset;
  irb.u.AsyncRead.nNumberOfBytesToRead = length;
  irb.u.AsyncRead.Mdl = mdl;
  irb.u.AsyncRead.ulGeneration = generation;
  return irb;
}

}  // namespace

std::vector<std::string>& Events() { return S().events; }
std::vector<UnitDevice*>& Devices() { return S().devices; }

UnitDevice* DeviceOf(uint64_t guid) {
  PDEVICE_OBJECT pdo = plat::Bus1394::PdoOf(guid);
  for (UnitDevice* dev : Devices())
    if (dev->pdo == pdo) return dev;
  return nullptr;
}

void InstallDriver() {
  plat::PnpRegisterService(u"qx1394test", Entry);
  plat::PnpBindHardwareId(u"1394\\Halvern&QX-5310", u"qx1394test");
  plat::PnpBindHardwareId(u"1394\\Halvern&KR-6", u"qx1394test");
}

NTSTATUS SendIrb(UnitDevice* dev, IRB* irb) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIRP irp = IrbIrp(dev, irb);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  IoSetCompletionRoutine(irp, SignalAndKeep, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(dev->lower, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  NTSTATUS status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  return status;
}

std::shared_ptr<PendingIrb> SendIrbAsync(UnitDevice* dev, const IRB& irb, std::function<void(PendingIrb&)> then) {
  auto pending = std::make_shared<PendingIrb>();
  pending->irb = irb;
  pending->then = std::move(then);
  PIRP irp = IrbIrp(dev, &pending->irb);
  if (irp == nullptr) {
    pending->returned = pending->status = STATUS_INSUFFICIENT_RESOURCES;
    pending->done = true;
    return pending;
  }
  // The completion keeps the record alive until it has run.
  auto* keep = new std::shared_ptr<PendingIrb>(pending);
  IoSetCompletionRoutine(irp, [](PDEVICE_OBJECT, PIRP done, PVOID context) {
    auto* record = static_cast<std::shared_ptr<PendingIrb>*>(context);
    PendingIrb& p = **record;
    p.status = done->IoStatus.Status;
    p.irql = KeGetCurrentIrql();
    p.done = true;
    p.order = ++S().completions;
    IoFreeIrp(done);
    if (p.then) p.then(p);
    delete record;
    return STATUS_MORE_PROCESSING_REQUIRED;
  }, keep, TRUE, TRUE, TRUE);
  pending->returned = IoCallDriver(dev->lower, irp);
  return pending;
}

void ResetCompletionOrder() { S().completions = 0; }

IrbBuffer::IrbBuffer(ULONG bytes) : length(bytes) {
  data = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, bytes, kTestTag));
  std::memset(data, 0, bytes);
  mdl = IoAllocateMdl(data, bytes, FALSE, FALSE, nullptr);
  MmBuildMdlForNonPagedPool(mdl);
}

IrbBuffer::~IrbBuffer() {
  IoFreeMdl(mdl);
  ExFreePoolWithTag(data, kTestTag);
}

IRB ReadIrb(ULONG offset, PMDL mdl, ULONG length, ULONG generation) {
  return AsyncIrb(REQUEST_ASYNC_READ, offset, mdl, length, generation);
}

IRB WriteIrb(ULONG offset, PMDL mdl, ULONG length, ULONG generation) {
  return AsyncIrb(REQUEST_ASYNC_WRITE, offset, mdl, length, generation);
}

uint32_t Be32(const uint8_t* p) { return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3]; }

void PutBe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

Rig::Rig(uint64_t seed, uint32_t processors) {
  sched.SetSeed(seed);
  sched.SetProcessors(processors);
  plat::Bus1394::Install(bus);
  InstallDriver();
  Settle();
}

void Rig::Shutdown() {
  Settle();
  EXPECT_TRUE(plat::PnpShutdown());
  EXPECT_EQ(plat::ObNamespaceSize(), 0u);
  EXPECT_EQ(plat::IoLiveIrps(), 0u);
}

void Rig::Plug(sim::Node& unit) {
  bus.Attach(unit);
  Settle();
}

void Rig::Unplug(sim::Node& unit) {
  bus.Detach(unit);
  Settle();
}

NTSTATUS Rig::ReadQuadlet(UnitDevice* dev, uint32_t offset, uint32_t* value) {
  IrbBuffer buffer(4);
  IRB irb = ReadIrb(offset, buffer.mdl, 4, dev->generation);
  NTSTATUS status = SendIrb(dev, &irb);
  *value = Be32(buffer.data);
  return status;
}

NTSTATUS Rig::WriteQuadlet(UnitDevice* dev, uint32_t offset, uint32_t value) {
  IrbBuffer buffer(4);
  PutBe32(buffer.data, value);
  IRB irb = WriteIrb(offset, buffer.mdl, 4, dev->generation);
  return SendIrb(dev, &irb);
}

void Rig::Refresh(UnitDevice* dev) { ASSERT_EQ(ReadIds(dev), STATUS_SUCCESS); }

}  // namespace bus1394test
