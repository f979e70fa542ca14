// DMA adapters: IoGetDmaAdapter asks the PDO's stack for the bus's standard interface and takes
// the adapter from the bus, which hands out common buffers from non-paged pool.
#pragma once

#include "Irp.h"

union PHYSICAL_ADDRESS {
  struct {
    ULONG LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
};
using PPHYSICAL_ADDRESS = PHYSICAL_ADDRESS*;
static_assert(sizeof(PHYSICAL_ADDRESS) == 8);

enum DMA_WIDTH { Width8Bits, Width16Bits, Width32Bits, Width64Bits, WidthNoWrap, MaximumDmaWidth };
enum DMA_SPEED { Compatible, TypeA, TypeB, TypeC, TypeF, MaximumDmaSpeed };

constexpr ULONG DEVICE_DESCRIPTION_VERSION = 0;
constexpr ULONG DEVICE_DESCRIPTION_VERSION1 = 1;
constexpr ULONG DEVICE_DESCRIPTION_VERSION2 = 2;

struct DEVICE_DESCRIPTION {
  ULONG Version;
  BOOLEAN Master;
  BOOLEAN ScatterGather;
  BOOLEAN DemandMode;
  BOOLEAN AutoInitialize;
  BOOLEAN Dma32BitAddresses;
  BOOLEAN IgnoreCount;
  BOOLEAN Reserved1;
  BOOLEAN Dma64BitAddresses;
  ULONG BusNumber;
  ULONG DmaChannel;
  LONG InterfaceType;
  DMA_WIDTH DmaWidth;
  DMA_SPEED DmaSpeed;
  ULONG MaximumLength;
  ULONG DmaPort;
};
using PDEVICE_DESCRIPTION = DEVICE_DESCRIPTION*;
static_assert(sizeof(DEVICE_DESCRIPTION) == 40 && offsetof(DEVICE_DESCRIPTION, BusNumber) == 12 &&
              offsetof(DEVICE_DESCRIPTION, MaximumLength) == 32);

struct DMA_OPERATIONS;
struct DMA_ADAPTER {
  USHORT Version;
  USHORT Size;
  DMA_OPERATIONS* DmaOperations;
};
using PDMA_ADAPTER = DMA_ADAPTER*;
using PADAPTER_OBJECT = DMA_ADAPTER*;
static_assert(sizeof(DMA_ADAPTER) == 16 && offsetof(DMA_ADAPTER, DmaOperations) == 8);

enum IO_ALLOCATION_ACTION { KeepObject = 1, DeallocateObject = 2, DeallocateObjectKeepRegisters = 3 };
struct SCATTER_GATHER_LIST;
using PSCATTER_GATHER_LIST = SCATTER_GATHER_LIST*;
using PDRIVER_CONTROL = IO_ALLOCATION_ACTION (*)(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID MapRegisterBase,
                                                 PVOID Context);
using PDRIVER_LIST_CONTROL = void (*)(PDEVICE_OBJECT DeviceObject, PIRP Irp, PSCATTER_GATHER_LIST ScatterGather,
                                      PVOID Context);

using PPUT_DMA_ADAPTER = void (*)(PDMA_ADAPTER DmaAdapter);
using PALLOCATE_COMMON_BUFFER = PVOID (*)(PDMA_ADAPTER DmaAdapter, ULONG Length, PPHYSICAL_ADDRESS LogicalAddress,
                                          BOOLEAN CacheEnabled);
using PFREE_COMMON_BUFFER = void (*)(PDMA_ADAPTER DmaAdapter, ULONG Length, PHYSICAL_ADDRESS LogicalAddress,
                                     PVOID VirtualAddress, BOOLEAN CacheEnabled);
using PALLOCATE_ADAPTER_CHANNEL = NTSTATUS (*)(PDMA_ADAPTER DmaAdapter, PDEVICE_OBJECT DeviceObject,
                                               ULONG NumberOfMapRegisters, PDRIVER_CONTROL ExecutionRoutine,
                                               PVOID Context);
using PFLUSH_ADAPTER_BUFFERS = BOOLEAN (*)(PDMA_ADAPTER DmaAdapter, PMDL Mdl, PVOID MapRegisterBase, PVOID CurrentVa,
                                           ULONG Length, BOOLEAN WriteToDevice);
using PFREE_ADAPTER_CHANNEL = void (*)(PDMA_ADAPTER DmaAdapter);
using PFREE_MAP_REGISTERS = void (*)(PDMA_ADAPTER DmaAdapter, PVOID MapRegisterBase, ULONG NumberOfMapRegisters);
using PMAP_TRANSFER = PHYSICAL_ADDRESS (*)(PDMA_ADAPTER DmaAdapter, PMDL Mdl, PVOID MapRegisterBase, PVOID CurrentVa,
                                           PULONG Length, BOOLEAN WriteToDevice);
using PGET_DMA_ALIGNMENT = ULONG (*)(PDMA_ADAPTER DmaAdapter);
using PREAD_DMA_COUNTER = ULONG (*)(PDMA_ADAPTER DmaAdapter);
using PGET_SCATTER_GATHER_LIST = NTSTATUS (*)(PDMA_ADAPTER DmaAdapter, PDEVICE_OBJECT DeviceObject, PMDL Mdl,
                                              PVOID CurrentVa, ULONG Length, PDRIVER_LIST_CONTROL ExecutionRoutine,
                                              PVOID Context, BOOLEAN WriteToDevice);
using PPUT_SCATTER_GATHER_LIST = void (*)(PDMA_ADAPTER DmaAdapter, PSCATTER_GATHER_LIST ScatterGather,
                                          BOOLEAN WriteToDevice);
using PCALCULATE_SCATTER_GATHER_LIST_SIZE = NTSTATUS (*)(PDMA_ADAPTER DmaAdapter, PMDL Mdl, PVOID CurrentVa,
                                                         ULONG Length, PULONG ScatterGatherListSize,
                                                         PULONG NumberOfMapRegisters);
using PBUILD_SCATTER_GATHER_LIST = NTSTATUS (*)(PDMA_ADAPTER DmaAdapter, PDEVICE_OBJECT DeviceObject, PMDL Mdl,
                                                PVOID CurrentVa, ULONG Length, PDRIVER_LIST_CONTROL ExecutionRoutine,
                                                PVOID Context, BOOLEAN WriteToDevice, PVOID ScatterGatherBuffer,
                                                ULONG ScatterGatherLength);
using PBUILD_MDL_FROM_SCATTER_GATHER_LIST = NTSTATUS (*)(PDMA_ADAPTER DmaAdapter, PSCATTER_GATHER_LIST ScatterGather,
                                                         PMDL OriginalMdl, PMDL* TargetMdl);

// A bus master that owns its buffer, as an audio device's common buffer is, needs only the first
// three and the alignment; the stand-in's own adapters leave the transfer slots null.
struct DMA_OPERATIONS {
  ULONG Size;
  PPUT_DMA_ADAPTER PutDmaAdapter;
  PALLOCATE_COMMON_BUFFER AllocateCommonBuffer;
  PFREE_COMMON_BUFFER FreeCommonBuffer;
  PALLOCATE_ADAPTER_CHANNEL AllocateAdapterChannel;
  PFLUSH_ADAPTER_BUFFERS FlushAdapterBuffers;
  PFREE_ADAPTER_CHANNEL FreeAdapterChannel;
  PFREE_MAP_REGISTERS FreeMapRegisters;
  PMAP_TRANSFER MapTransfer;
  PGET_DMA_ALIGNMENT GetDmaAlignment;
  PREAD_DMA_COUNTER ReadDmaCounter;
  PGET_SCATTER_GATHER_LIST GetScatterGatherList;
  PPUT_SCATTER_GATHER_LIST PutScatterGatherList;
  PCALCULATE_SCATTER_GATHER_LIST_SIZE CalculateScatterGatherList;
  PBUILD_SCATTER_GATHER_LIST BuildScatterGatherList;
  PBUILD_MDL_FROM_SCATTER_GATHER_LIST BuildMdlFromScatterGatherList;
};
using PDMA_OPERATIONS = DMA_OPERATIONS*;
static_assert(sizeof(DMA_OPERATIONS) == 128 && offsetof(DMA_OPERATIONS, AllocateCommonBuffer) == 16 &&
              offsetof(DMA_OPERATIONS, GetDmaAlignment) == 72 && offsetof(DMA_OPERATIONS, PutScatterGatherList) == 96);

using PTRANSLATE_BUS_ADDRESS = BOOLEAN (*)(PVOID Context, PHYSICAL_ADDRESS BusAddress, ULONG Length,
                                           PULONG AddressSpace, PPHYSICAL_ADDRESS TranslatedAddress);
using PGET_DMA_ADAPTER = PDMA_ADAPTER (*)(PVOID Context, PDEVICE_DESCRIPTION DeviceDescriptor,
                                          PULONG NumberOfMapRegisters);
using PGET_SET_DEVICE_DATA = ULONG (*)(PVOID Context, ULONG DataType, PVOID Buffer, ULONG Offset, ULONG Length);

struct BUS_INTERFACE_STANDARD {
  USHORT Size;
  USHORT Version;
  PVOID Context;
  PINTERFACE_REFERENCE InterfaceReference;
  PINTERFACE_DEREFERENCE InterfaceDereference;
  PTRANSLATE_BUS_ADDRESS TranslateBusAddress;
  PGET_DMA_ADAPTER GetDmaAdapter;
  PGET_SET_DEVICE_DATA SetBusData;
  PGET_SET_DEVICE_DATA GetBusData;
};
using PBUS_INTERFACE_STANDARD = BUS_INTERFACE_STANDARD*;
static_assert(sizeof(BUS_INTERFACE_STANDARD) == 64 && offsetof(BUS_INTERFACE_STANDARD, GetDmaAdapter) == 40);

// At PASSIVE_LEVEL. Null when no driver of the stack answers the standard bus interface or its
// bus gives no adapter for the description.
PDMA_ADAPTER IoGetDmaAdapter(PDEVICE_OBJECT PhysicalDeviceObject, PDEVICE_DESCRIPTION DeviceDescription,
                             PULONG NumberOfMapRegisters);

namespace plat {
// A bus driver's adapter for a bus-master device: common buffers come from non-paged pool, with
// logical addresses below 4 GB when the description asks for 32-bit addresses. Freed by its
// PutDmaAdapter; null when the description is not a bus master's or pool runs out.
PDMA_ADAPTER NewBusMasterDmaAdapter(const DEVICE_DESCRIPTION& description, PULONG numberOfMapRegisters);
}  // namespace plat
