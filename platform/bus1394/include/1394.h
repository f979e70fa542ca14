// The IEEE 1394 bus driver as kernel drivers see it: bus requests (IRBs) sent to a unit's device
// object in IRP_MJ_INTERNAL_DEVICE_CONTROL with IOCTL_1394_CLASS and the IRB in Argument1, the
// records they carry and their flags, in the layout of 64-bit Windows. Include it after <wdm.h>,
// as on Windows. Declared by this project.
#pragma once

#include <cstddef>

// CTL_CODE(FILE_DEVICE_UNKNOWN, 0x87, METHOD_IN_DIRECT, FILE_ANY_ACCESS)
constexpr ULONG IOCTL_1394_CLASS = 0x0022021D;

// Function numbers.
constexpr ULONG REQUEST_ASYNC_READ = 0;
constexpr ULONG REQUEST_ASYNC_WRITE = 1;
constexpr ULONG REQUEST_ISOCH_ALLOCATE_BANDWIDTH = 3;
constexpr ULONG REQUEST_ISOCH_ALLOCATE_CHANNEL = 4;
constexpr ULONG REQUEST_ISOCH_ALLOCATE_RESOURCES = 5;
constexpr ULONG REQUEST_ISOCH_ATTACH_BUFFERS = 6;
constexpr ULONG REQUEST_ISOCH_DETACH_BUFFERS = 7;
constexpr ULONG REQUEST_ISOCH_FREE_BANDWIDTH = 8;
constexpr ULONG REQUEST_ISOCH_FREE_CHANNEL = 9;
constexpr ULONG REQUEST_ISOCH_FREE_RESOURCES = 10;
constexpr ULONG REQUEST_ISOCH_LISTEN = 11;
constexpr ULONG REQUEST_ISOCH_STOP = 12;
constexpr ULONG REQUEST_ISOCH_TALK = 13;
constexpr ULONG REQUEST_ISOCH_QUERY_CYCLE_TIME = 14;
constexpr ULONG REQUEST_ALLOCATE_ADDRESS_RANGE = 17;
constexpr ULONG REQUEST_FREE_ADDRESS_RANGE = 18;
constexpr ULONG REQUEST_GET_ADDR_FROM_DEVICE_OBJECT = 20;
constexpr ULONG REQUEST_GET_SPEED_BETWEEN_DEVICES = 22;
constexpr ULONG REQUEST_GET_GENERATION_COUNT = 26;
constexpr ULONG REQUEST_BUS_RESET_NOTIFICATION = 29;

// Node address and generation requests: the host's own node instead of the unit's.
constexpr ULONG USE_LOCAL_NODE = 0x1;

// Speeds, as flags.
constexpr ULONG SPEED_FLAGS_100 = 0x01;
constexpr ULONG SPEED_FLAGS_200 = 0x02;
constexpr ULONG SPEED_FLAGS_400 = 0x04;

// Bus-reset notification registration.
constexpr ULONG REGISTER_NOTIFICATION_ROUTINE = 0x1;
constexpr ULONG DEREGISTER_NOTIFICATION_ROUTINE = 0x2;

// Host address ranges: access types and the notifications asked for.
constexpr ULONG ACCESS_FLAGS_TYPE_READ = 0x1;
constexpr ULONG ACCESS_FLAGS_TYPE_WRITE = 0x2;
constexpr ULONG ACCESS_FLAGS_TYPE_LOCK = 0x4;
constexpr ULONG NOTIFY_FLAGS_NEVER = 0x0;
constexpr ULONG NOTIFY_FLAGS_AFTER_READ = 0x1;
constexpr ULONG NOTIFY_FLAGS_AFTER_WRITE = 0x2;
constexpr ULONG NOTIFY_FLAGS_AFTER_LOCK = 0x4;

// Isochronous channels, resources and descriptors.
constexpr ULONG ISOCH_ANY_CHANNEL = 0xFFFFFFFF;
constexpr ULONG RESOURCE_USED_IN_LISTENING = 0x01;
constexpr ULONG RESOURCE_USED_IN_TALKING = 0x02;
constexpr ULONG RESOURCE_BUFFERS_CIRCULAR = 0x04;
constexpr ULONG RESOURCE_STRIP_ADDITIONAL_QUADLETS = 0x08;
constexpr ULONG RESOURCE_TIME_STAMP_ON_COMPLETION = 0x10;
constexpr ULONG RESOURCE_SYNCH_ON_TIME = 0x20;
constexpr ULONG RESOURCE_USE_PACKET_BASED = 0x40;
constexpr ULONG DESCRIPTOR_SYNCH_ON_SY = 0x01;
constexpr ULONG DESCRIPTOR_SYNCH_ON_TAG = 0x02;
constexpr ULONG DESCRIPTOR_SYNCH_ON_TIME = 0x04;
constexpr ULONG DESCRIPTOR_TIME_STAMP_ON_COMPLETION = 0x10;

struct NODE_ADDRESS {
  USHORT NA_Node_Number : 6;
  USHORT NA_Bus_Number : 10;
};
using PNODE_ADDRESS = NODE_ADDRESS*;
static_assert(sizeof(NODE_ADDRESS) == 2);

struct ADDRESS_OFFSET {
  USHORT Off_High;
  ULONG Off_Low;
};
using PADDRESS_OFFSET = ADDRESS_OFFSET*;
static_assert(sizeof(ADDRESS_OFFSET) == 8 && offsetof(ADDRESS_OFFSET, Off_Low) == 4);

struct IO_ADDRESS {
  NODE_ADDRESS IA_Destination_ID;
  ADDRESS_OFFSET IA_Destination_Offset;
};
using PIO_ADDRESS = IO_ADDRESS*;
static_assert(sizeof(IO_ADDRESS) == 12 && offsetof(IO_ADDRESS, IA_Destination_Offset) == 4);

struct ADDRESS_RANGE {
  USHORT AR_Off_High;
  USHORT AR_Length;
  ULONG AR_Off_Low;
};
using PADDRESS_RANGE = ADDRESS_RANGE*;
static_assert(sizeof(ADDRESS_RANGE) == 8 && offsetof(ADDRESS_RANGE, AR_Off_Low) == 4);

// One receive buffer of a FIFO-backed address range.
struct ADDRESS_FIFO {
  SLIST_ENTRY FifoList;
  PMDL FifoMdl;
};
using PADDRESS_FIFO = ADDRESS_FIFO*;
static_assert(sizeof(ADDRESS_FIFO) == 32 && offsetof(ADDRESS_FIFO, FifoMdl) == 16);

// A 1394 CYCLE_TIME register word.
struct CYCLE_TIME {
  ULONG CL_CycleOffset : 12;
  ULONG CL_CycleCount : 13;
  ULONG CL_SecondCount : 7;
};
using PCYCLE_TIME = CYCLE_TIME*;
static_assert(sizeof(CYCLE_TIME) == 4);

// What the bus driver hands an address range's notification routine, at DISPATCH_LEVEL.
struct NOTIFICATION_INFO {
  PMDL Mdl;                      // the range's MDL, for a range backed by one
  ULONG ulOffset;                // of the access, inside the range
  ULONG nLength;
  ULONG fulNotificationOptions;  // the kind of access: NOTIFY_FLAGS_AFTER_*
  PVOID Context;
  PADDRESS_FIFO Fifo;            // the element that took a write into a FIFO-backed range
  PVOID RequestPacket;
  PMDL ResponseMdl;
  PVOID* ResponsePacket;
  PULONG ResponseLength;
  PKEVENT* ResponseEvent;
  ULONG ResponseCode;
};
using PNOTIFICATION_INFO = NOTIFICATION_INFO*;
static_assert(sizeof(NOTIFICATION_INFO) == 88 && offsetof(NOTIFICATION_INFO, Fifo) == 32 &&
              offsetof(NOTIFICATION_INFO, ResponseCode) == 80);

using PBUS_NOTIFICATION_ROUTINE = void (*)(PNOTIFICATION_INFO NotificationInfo);
using PBUS_ISOCH_DESCRIPTOR_ROUTINE = void (*)(PVOID Context1, PVOID Context2);
using PBUS_BUS_RESET_NOTIFICATION = void (*)(PVOID Context);

// One packet of an isochronous buffer list.
struct ISOCH_DESCRIPTOR {
  ULONG fulFlags;
  PMDL Mdl;
  ULONG ulLength;
  ULONG nMaxBytesPerFrame;
  ULONG ulSynch;
  ULONG ulTag;
  CYCLE_TIME CycleTime;
  PBUS_ISOCH_DESCRIPTOR_ROUTINE Callback;
  PVOID Context1;
  PVOID Context2;
  NTSTATUS status;
  ULONG_PTR DeviceReserved[8];
  ULONG_PTR BusReserved[8];
  ULONG_PTR PortReserved[16];
};
using PISOCH_DESCRIPTOR = ISOCH_DESCRIPTOR*;
static_assert(sizeof(ISOCH_DESCRIPTOR) == 328 && offsetof(ISOCH_DESCRIPTOR, Mdl) == 8 &&
              offsetof(ISOCH_DESCRIPTOR, CycleTime) == 32 && offsetof(ISOCH_DESCRIPTOR, Callback) == 40 &&
              offsetof(ISOCH_DESCRIPTOR, status) == 64 && offsetof(ISOCH_DESCRIPTOR, DeviceReserved) == 72 &&
              offsetof(ISOCH_DESCRIPTOR, PortReserved) == 200);

constexpr int IRB_BUS_RESERVED_SZ = 8;
constexpr int IRB_PORT_RESERVED_SZ = 8;
constexpr int kMaxSpeedDestinations = 64;

struct IRB {
  ULONG FunctionNumber;
  ULONG Flags;
  ULONG_PTR BusReserved[IRB_BUS_RESERVED_SZ];
  ULONG_PTR PortReserved[IRB_PORT_RESERVED_SZ];
  union {
    struct {
      IO_ADDRESS DestinationAddress;
      ULONG nNumberOfBytesToRead;
      ULONG nBlockSize;
      ULONG fulFlags;
      PMDL Mdl;
      ULONG ulGeneration;
      UCHAR chPriority;
      UCHAR nSpeed;
      UCHAR tCode;
      UCHAR Reserved;
      ULONG ElapsedTime;
    } AsyncRead;
    struct {
      IO_ADDRESS DestinationAddress;
      ULONG nNumberOfBytesToWrite;
      ULONG nBlockSize;
      ULONG fulFlags;
      PMDL Mdl;
      ULONG ulGeneration;
      UCHAR chPriority;
      UCHAR nSpeed;
      UCHAR tCode;
      UCHAR Reserved;
      ULONG ElapsedTime;
    } AsyncWrite;
    struct {
      ULONG nMaxBytesPerFrameRequested;
      ULONG fulSpeed;
      HANDLE hBandwidth;
      ULONG BytesPerFrameAvailable;
      ULONG SpeedSelected;
      ULONG nBandwidthUnitsRequired;
    } IsochAllocateBandwidth;
    struct {
      ULONG nRequestedChannel;
      ULONG Channel;
      LARGE_INTEGER ChannelsAvailable;
    } IsochAllocateChannel;
    struct {
      ULONG fulSpeed;
      ULONG fulFlags;
      ULONG nChannel;
      ULONG nMaxBytesPerFrame;
      ULONG nNumberOfBuffers;
      ULONG nMaxBufferSize;
      ULONG nQuadletsToStrip;
      HANDLE hResource;
    } IsochAllocateResources;
    struct {
      HANDLE hResource;
      ULONG nNumberOfDescriptors;
      PISOCH_DESCRIPTOR pIsochDescriptor;
    } IsochAttachBuffers;
    struct {
      HANDLE hResource;
      ULONG nNumberOfDescriptors;
      PISOCH_DESCRIPTOR pIsochDescriptor;
    } IsochDetachBuffers;
    struct {
      HANDLE hBandwidth;
    } IsochFreeBandwidth;
    struct {
      ULONG nChannel;
    } IsochFreeChannel;
    struct {
      HANDLE hResource;
    } IsochFreeResources;
    struct {
      HANDLE hResource;
      ULONG fulFlags;
      CYCLE_TIME StartTime;
    } IsochListen;
    struct {
      HANDLE hResource;
      ULONG fulFlags;
    } IsochStop;
    struct {
      HANDLE hResource;
      ULONG fulFlags;
      CYCLE_TIME StartTime;
    } IsochTalk;
    struct {
      CYCLE_TIME CycleTime;
    } IsochQueryCycleTime;
    struct {
      PMDL Mdl;
      ULONG fulFlags;
      ULONG nLength;
      ULONG MaxSegmentSize;
      ULONG fulAccessType;
      ULONG fulNotificationOptions;
      PBUS_NOTIFICATION_ROUTINE Callback;
      PVOID Context;
      ADDRESS_OFFSET Required1394Offset;
      PSLIST_HEADER FifoSListHead;
      PKSPIN_LOCK FifoSpinLock;
      ULONG AddressesReturned;
      PADDRESS_RANGE p1394AddressRange;
      HANDLE hAddressRange;
      PVOID DeviceExtension;
    } AllocateAddressRange;
    struct {
      ULONG nAddressesToFree;
      PADDRESS_RANGE p1394AddressRange;
      PHANDLE pAddressRange;
      PVOID DeviceExtension;
    } FreeAddressRange;
    struct {
      ULONG fulFlags;
      NODE_ADDRESS NodeAddress;
    } Get1394AddressFromDeviceObject;
    struct {
      ULONG fulFlags;
      ULONG ulNumberOfDestinations;
      PDEVICE_OBJECT hDestinationDeviceObjects[kMaxSpeedDestinations];
      ULONG fulSpeed;
    } GetMaxSpeedBetweenDevices;
    struct {
      ULONG GenerationCount;
    } GetGenerationCount;
    struct {
      ULONG fulFlags;
      PBUS_BUS_RESET_NOTIFICATION ResetRoutine;
      PVOID ResetContext;
    } BusResetNotification;
  } u;
};
using PIRB = IRB*;
static_assert(sizeof(IRB) == 664 && offsetof(IRB, BusReserved) == 8 && offsetof(IRB, u) == 136);
static_assert(offsetof(IRB, u.AsyncRead.nNumberOfBytesToRead) == 148 && offsetof(IRB, u.AsyncRead.Mdl) == 160 &&
              offsetof(IRB, u.AsyncRead.ulGeneration) == 168);
static_assert(offsetof(IRB, u.AllocateAddressRange.Callback) == 168 &&
              offsetof(IRB, u.AllocateAddressRange.Required1394Offset) == 184 &&
              offsetof(IRB, u.AllocateAddressRange.AddressesReturned) == 208 &&
              offsetof(IRB, u.AllocateAddressRange.hAddressRange) == 224);
static_assert(offsetof(IRB, u.IsochAttachBuffers.pIsochDescriptor) == 152 &&
              offsetof(IRB, u.GetMaxSpeedBetweenDevices.fulSpeed) == 656);
