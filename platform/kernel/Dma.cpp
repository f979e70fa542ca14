#include "platform/kernel/Dma.h"

#include <cstring>

#include "platform/kernel/IoManager.h"
#include "platform/kernel/include/wdmguid.h"
#include "platform/kernel/Verifier.h"

namespace plat {
namespace {

constexpr ULONG kDmaTag = plat::PoolTag("Dma ");
// Logical addresses a bus master sees: below 4 GB for 32-bit devices, page aligned, never 0.
constexpr ULONGLONG kLogicalBase32 = 0x10000000;
constexpr ULONGLONG kLogicalBase64 = 0x100000000ull;
constexpr ULONG kPageSize = 4096;

struct BusMasterAdapter {
  DMA_ADAPTER adapter;  // first: the driver holds a pointer to it
  DEVICE_DESCRIPTION description;
  ULONGLONG nextLogical;
  ULONG commonBuffers;
};

BusMasterAdapter* Of(PDMA_ADAPTER a) { return reinterpret_cast<BusMasterAdapter*>(a); }

void PutAdapter(PDMA_ADAPTER a) {
  CheckIrqlAtMost(PASSIVE_LEVEL, "PutDmaAdapter");
  if (Of(a)->commonBuffers != 0) Violation("PutDmaAdapter: common buffers of the adapter are still allocated");
  ExFreePoolWithTag(a, kDmaTag);
}

PVOID AllocateCommon(PDMA_ADAPTER a, ULONG length, PPHYSICAL_ADDRESS logical, BOOLEAN) {
  CheckIrqlAtMost(PASSIVE_LEVEL, "AllocateCommonBuffer");
  BusMasterAdapter* x = Of(a);
  if (length == 0 || length > x->description.MaximumLength) return nullptr;
  PVOID p = ExAllocatePoolWithTag(NonPagedPool, length, kDmaTag);
  if (p == nullptr) return nullptr;
  std::memset(p, 0, length);
  logical->QuadPart = static_cast<LONGLONG>(x->nextLogical);
  x->nextLogical += (length + kPageSize - 1) / kPageSize * kPageSize;
  ++x->commonBuffers;
  return p;
}

void FreeCommon(PDMA_ADAPTER a, ULONG, PHYSICAL_ADDRESS, PVOID virtualAddress, BOOLEAN) {
  CheckIrqlAtMost(PASSIVE_LEVEL, "FreeCommonBuffer");
  BusMasterAdapter* x = Of(a);
  if (x->commonBuffers == 0) Violation("FreeCommonBuffer: the adapter has no common buffer");
  --x->commonBuffers;
  ExFreePoolWithTag(virtualAddress, kDmaTag);
}

ULONG Alignment(PDMA_ADAPTER) { return 1; }

DMA_OPERATIONS gBusMasterOperations = {sizeof(DMA_OPERATIONS), PutAdapter, AllocateCommon, FreeCommon, nullptr,
                                       nullptr, nullptr, nullptr, nullptr, Alignment, nullptr, nullptr,
                                       nullptr, nullptr, nullptr, nullptr};

}  // namespace

PDMA_ADAPTER NewBusMasterDmaAdapter(const DEVICE_DESCRIPTION& description, PULONG numberOfMapRegisters) {
  if (!description.Master || description.MaximumLength == 0) return nullptr;
  auto* x = static_cast<BusMasterAdapter*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(BusMasterAdapter), kDmaTag));
  if (x == nullptr) return nullptr;
  x->adapter = DMA_ADAPTER{1, sizeof(DMA_ADAPTER), &gBusMasterOperations};
  x->description = description;
  x->nextLogical = description.Dma64BitAddresses ? kLogicalBase64 : kLogicalBase32;
  x->commonBuffers = 0;
  if (numberOfMapRegisters != nullptr) *numberOfMapRegisters = (description.MaximumLength + kPageSize - 1) / kPageSize + 1;
  return &x->adapter;
}

}  // namespace plat

PDMA_ADAPTER IoGetDmaAdapter(PDEVICE_OBJECT PhysicalDeviceObject, PDEVICE_DESCRIPTION DeviceDescription,
                             PULONG NumberOfMapRegisters) {
  PAGED_CODE();
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(PhysicalDeviceObject);
  BUS_INTERFACE_STANDARD bus{};
  PIRP irp = plat::IoAllocateOwnedIrp(top->StackSize, {});
  if (irp == nullptr) {
    ObDereferenceObject(top);
    return nullptr;
  }
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = IRP_MJ_PNP;
  sp->MinorFunction = IRP_MN_QUERY_INTERFACE;
  sp->Parameters.QueryInterface.InterfaceType = &GUID_BUS_INTERFACE_STANDARD;
  sp->Parameters.QueryInterface.Size = sizeof bus;
  sp->Parameters.QueryInterface.Version = 1;
  sp->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(&bus);
  sp->Parameters.QueryInterface.InterfaceSpecificData = nullptr;
  NTSTATUS status = plat::IoCallAndWait(top, irp, nullptr);
  ObDereferenceObject(top);
  if (!NT_SUCCESS(status) || bus.GetDmaAdapter == nullptr) return nullptr;
  PDMA_ADAPTER adapter = bus.GetDmaAdapter(bus.Context, DeviceDescription, NumberOfMapRegisters);
  if (bus.InterfaceDereference != nullptr) bus.InterfaceDereference(bus.Context);
  return adapter;
}
