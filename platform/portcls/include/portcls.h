// The port class driver as an audio adapter sees it: the adapter's entry points, the port,
// miniport and stream interfaces in their slot order, DMA channels, service groups, resource
// lists, and the filter descriptors and property requests miniports describe themselves with.
// Layouts are the 64-bit Windows ones.
#pragma once

#include "../../kernel/include/wdm.h"

#include "ks.h"
#include "ksmedia.h"
#include "punknown.h"

// Port class GUIDs.
DEFINE_GUID(CLSID_PortWaveCyclic, 0xB4C90A2A, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);
DEFINE_GUID(CLSID_PortMidi, 0xB4C90A43, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);
DEFINE_GUID(CLSID_PortTopology, 0xB4C90A32, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);
DEFINE_GUID(IID_IPort, 0xB4C90A25, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);
DEFINE_GUID(IID_IPortWaveCyclic, 0xB4C90A26, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);
DEFINE_GUID(IID_IPortMidi, 0xB4C90A40, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);
DEFINE_GUID(IID_IPortTopology, 0xB4C90A30, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);
DEFINE_GUID(IID_IMiniport, 0xB4C90A24, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);
DEFINE_GUID(IID_IMiniportWaveCyclic, 0xB4C90A27, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);
DEFINE_GUID(IID_IMiniportWaveCyclicStream, 0xB4C90A28, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);
DEFINE_GUID(IID_IMiniportMidi, 0xB4C90A41, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);
DEFINE_GUID(IID_IMiniportMidiStream, 0xB4C90A42, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);
DEFINE_GUID(IID_IMiniportTopology, 0xB4C90A31, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);
DEFINE_GUID(IID_IResourceList, 0x22C6AC60, 0x851B, 0x11D0, 0x9A, 0x7F, 0x00, 0xAA, 0x00, 0x38, 0xAC, 0xFE);
DEFINE_GUID(IID_IDmaChannel, 0x22C6AC61, 0x851B, 0x11D0, 0x9A, 0x7F, 0x00, 0xAA, 0x00, 0x38, 0xAC, 0xFE);
DEFINE_GUID(IID_IServiceSink, 0x22C6AC64, 0x851B, 0x11D0, 0x9A, 0x7F, 0x00, 0xAA, 0x00, 0x38, 0xAC, 0xFE);
DEFINE_GUID(IID_IServiceGroup, 0x22C6AC65, 0x851B, 0x11D0, 0x9A, 0x7F, 0x00, 0xAA, 0x00, 0x38, 0xAC, 0xFE);

// Resources. An audio device on a bus without ports or interrupts is started with an empty list.
enum : UCHAR {
  CmResourceTypeNull = 0,
  CmResourceTypePort = 1,
  CmResourceTypeInterrupt = 2,
  CmResourceTypeMemory = 3,
  CmResourceTypeDma = 4,
};

#pragma pack(push, 4)
struct CM_PARTIAL_RESOURCE_DESCRIPTOR {
  UCHAR Type;
  UCHAR ShareDisposition;
  USHORT Flags;
  union {
    struct {
      PHYSICAL_ADDRESS Start;
      ULONG Length;
    } Generic;
    struct {
      ULONG Level;
      ULONG Vector;
      KAFFINITY Affinity;
    } Interrupt;
    struct {
      ULONG Channel;
      ULONG Port;
      ULONG Reserved1;
    } Dma;
  } u;
};
#pragma pack(pop)
using PCM_PARTIAL_RESOURCE_DESCRIPTOR = CM_PARTIAL_RESOURCE_DESCRIPTOR*;
static_assert(sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR) == 20 && offsetof(CM_PARTIAL_RESOURCE_DESCRIPTOR, u) == 4);

struct CM_PARTIAL_RESOURCE_LIST {
  USHORT Version;
  USHORT Revision;
  ULONG Count;
  CM_PARTIAL_RESOURCE_DESCRIPTOR PartialDescriptors[1];
};
struct CM_FULL_RESOURCE_DESCRIPTOR {
  LONG InterfaceType;
  ULONG BusNumber;
  CM_PARTIAL_RESOURCE_LIST PartialResourceList;
};
struct CM_RESOURCE_LIST {
  ULONG Count;
  CM_FULL_RESOURCE_DESCRIPTOR List[1];
};
using PCM_RESOURCE_LIST = CM_RESOURCE_LIST*;
static_assert(sizeof(CM_PARTIAL_RESOURCE_LIST) == 28 && sizeof(CM_FULL_RESOURCE_DESCRIPTOR) == 36 &&
              sizeof(CM_RESOURCE_LIST) == 40);

struct IResourceList : IUnknown {
  virtual ULONG NumberOfEntries() = 0;
  virtual ULONG NumberOfEntriesOfType(UCHAR Type) = 0;
  virtual PCM_PARTIAL_RESOURCE_DESCRIPTOR FindTranslatedEntry(UCHAR Type, ULONG Index) = 0;
  virtual PCM_PARTIAL_RESOURCE_DESCRIPTOR FindUntranslatedEntry(UCHAR Type, ULONG Index) = 0;
  virtual NTSTATUS AddEntry(PCM_PARTIAL_RESOURCE_DESCRIPTOR Translated, PCM_PARTIAL_RESOURCE_DESCRIPTOR Untranslated) = 0;
  virtual NTSTATUS AddEntryFromParent(IResourceList* Parent, UCHAR Type, ULONG Index) = 0;
  virtual PCM_RESOURCE_LIST TranslatedList() = 0;
  virtual PCM_RESOURCE_LIST UntranslatedList() = 0;

 protected:
  ~IResourceList() = default;
};
using PRESOURCELIST = IResourceList*;

NTSTATUS PcNewResourceList(PRESOURCELIST* OutResourceList, PUNKNOWN OuterUnknown, POOL_TYPE PoolType,
                           PCM_RESOURCE_LIST TranslatedResources, PCM_RESOURCE_LIST UntranslatedResources);

// DMA channels. A master channel's buffer is a common buffer of the device's DMA adapter.
struct IDmaChannel : IUnknown {
  virtual NTSTATUS AllocateBuffer(ULONG BufferSize, PPHYSICAL_ADDRESS PhysicalAddressConstraint) = 0;
  virtual void FreeBuffer() = 0;
  virtual ULONG TransferCount() = 0;
  virtual ULONG MaximumBufferSize() = 0;
  virtual ULONG AllocatedBufferSize() = 0;
  virtual ULONG BufferSize() = 0;
  virtual void SetBufferSize(ULONG BufferSize) = 0;
  virtual PVOID SystemAddress() = 0;
  virtual PHYSICAL_ADDRESS PhysicalAddress() = 0;
  virtual PADAPTER_OBJECT GetAdapterObject() = 0;
  virtual void CopyTo(PVOID Destination, PVOID Source, ULONG ByteCount) = 0;
  virtual void CopyFrom(PVOID Destination, PVOID Source, ULONG ByteCount) = 0;

 protected:
  ~IDmaChannel() = default;
};
using PDMACHANNEL = IDmaChannel*;

// A slave channel drives a system DMA controller; this machine has none, so no port makes one.
struct IDmaChannelSlave : IDmaChannel {
  virtual NTSTATUS Start(ULONG MapSize, BOOLEAN WriteToDevice) = 0;
  virtual NTSTATUS Stop() = 0;
  virtual ULONG ReadCounter() = 0;
  virtual NTSTATUS WaitForTC(ULONG Timeout) = 0;

 protected:
  ~IDmaChannelSlave() = default;
};
using PDMACHANNELSLAVE = IDmaChannelSlave*;

// Service groups: a group's RequestService defers to a DPC that calls each member's
// RequestService at DISPATCH_LEVEL.
struct IServiceSink : IUnknown {
  virtual void RequestService() = 0;

 protected:
  ~IServiceSink() = default;
};
using PSERVICESINK = IServiceSink*;

struct IServiceGroup : IServiceSink {
  virtual NTSTATUS AddMember(PSERVICESINK pServiceSink) = 0;
  virtual void RemoveMember(PSERVICESINK pServiceSink) = 0;
  virtual void SupportDelayedService() = 0;
  virtual void RequestDelayedService(ULONGLONG ullDelay) = 0;
  virtual void CancelDelayedService() = 0;

 protected:
  ~IServiceGroup() = default;
};
using PSERVICEGROUP = IServiceGroup*;

NTSTATUS PcNewServiceGroup(PSERVICEGROUP* OutServiceGroup, PUNKNOWN OuterUnknown);

// Filter descriptors.
struct PCPROPERTY_REQUEST;
struct PCMETHOD_REQUEST;
struct PCEVENT_REQUEST;
using PPCPROPERTY_REQUEST = PCPROPERTY_REQUEST*;
using PCPFNPROPERTY_HANDLER = NTSTATUS (*)(PPCPROPERTY_REQUEST PropertyRequest);
using PCPFNMETHOD_HANDLER = NTSTATUS (*)(PCMETHOD_REQUEST* MethodRequest);
using PCPFNEVENT_HANDLER = NTSTATUS (*)(PCEVENT_REQUEST* EventRequest);

constexpr ULONG PCPROPERTY_ITEM_FLAG_GET = KSPROPERTY_TYPE_GET;
constexpr ULONG PCPROPERTY_ITEM_FLAG_SET = KSPROPERTY_TYPE_SET;
constexpr ULONG PCPROPERTY_ITEM_FLAG_BASICSUPPORT = KSPROPERTY_TYPE_BASICSUPPORT;

struct PCPROPERTY_ITEM {
  const GUID* Set;
  ULONG Id;
  ULONG Flags;
  PCPFNPROPERTY_HANDLER Handler;
};
struct PCMETHOD_ITEM {
  const GUID* Set;
  ULONG Id;
  ULONG Flags;
  PCPFNMETHOD_HANDLER Handler;
};
struct PCEVENT_ITEM {
  const GUID* Set;
  ULONG Id;
  ULONG Flags;
  PCPFNEVENT_HANDLER Handler;
};
using PPCPROPERTY_ITEM = PCPROPERTY_ITEM*;
static_assert(sizeof(PCPROPERTY_ITEM) == 24 && offsetof(PCPROPERTY_ITEM, Flags) == 12 &&
              offsetof(PCPROPERTY_ITEM, Handler) == 16);
static_assert(sizeof(PCMETHOD_ITEM) == 24 && sizeof(PCEVENT_ITEM) == 24);

struct PCAUTOMATION_TABLE {
  ULONG PropertyItemSize;
  ULONG PropertyCount;
  const PCPROPERTY_ITEM* Properties;
  ULONG MethodItemSize;
  ULONG MethodCount;
  const PCMETHOD_ITEM* Methods;
  ULONG EventItemSize;
  ULONG EventCount;
  const PCEVENT_ITEM* Events;
  ULONG Reserved;
};
using PPCAUTOMATION_TABLE = PCAUTOMATION_TABLE*;
static_assert(sizeof(PCAUTOMATION_TABLE) == 56 && offsetof(PCAUTOMATION_TABLE, Properties) == 8 &&
              offsetof(PCAUTOMATION_TABLE, Methods) == 24 && offsetof(PCAUTOMATION_TABLE, Events) == 40);

struct PCPIN_DESCRIPTOR {
  ULONG MaxGlobalInstanceCount;
  ULONG MaxFilterInstanceCount;
  ULONG MinFilterInstanceCount;
  const PCAUTOMATION_TABLE* AutomationTable;
  KSPIN_DESCRIPTOR KsPinDescriptor;
};
using PPCPIN_DESCRIPTOR = PCPIN_DESCRIPTOR*;
static_assert(sizeof(PCPIN_DESCRIPTOR) == 112 && offsetof(PCPIN_DESCRIPTOR, AutomationTable) == 16 &&
              offsetof(PCPIN_DESCRIPTOR, KsPinDescriptor) == 24);

struct PCNODE_DESCRIPTOR {
  ULONG Flags;
  const PCAUTOMATION_TABLE* AutomationTable;
  const GUID* Type;
  const GUID* Name;
};
using PPCNODE_DESCRIPTOR = PCNODE_DESCRIPTOR*;
static_assert(sizeof(PCNODE_DESCRIPTOR) == 32 && offsetof(PCNODE_DESCRIPTOR, Type) == 16);

// A connection's end at a filter pin has node PCFILTER_NODE and the pin's number.
constexpr ULONG PCFILTER_NODE = 0xFFFFFFFF;
struct PCCONNECTION_DESCRIPTOR {
  ULONG FromNode;
  ULONG FromNodePin;
  ULONG ToNode;
  ULONG ToNodePin;
};
using PPCCONNECTION_DESCRIPTOR = PCCONNECTION_DESCRIPTOR*;
static_assert(sizeof(PCCONNECTION_DESCRIPTOR) == 16);

struct PCFILTER_DESCRIPTOR {
  ULONG Version;
  const PCAUTOMATION_TABLE* AutomationTable;
  ULONG PinSize;
  ULONG PinCount;
  const PCPIN_DESCRIPTOR* Pins;
  ULONG NodeSize;
  ULONG NodeCount;
  const PCNODE_DESCRIPTOR* Nodes;
  ULONG ConnectionCount;
  const PCCONNECTION_DESCRIPTOR* Connections;
  ULONG CategoryCount;
  const GUID* Categories;
};
using PPCFILTER_DESCRIPTOR = PCFILTER_DESCRIPTOR*;
static_assert(sizeof(PCFILTER_DESCRIPTOR) == 80 && offsetof(PCFILTER_DESCRIPTOR, PinSize) == 16 &&
              offsetof(PCFILTER_DESCRIPTOR, Pins) == 24 && offsetof(PCFILTER_DESCRIPTOR, Nodes) == 40 &&
              offsetof(PCFILTER_DESCRIPTOR, Connections) == 56 && offsetof(PCFILTER_DESCRIPTOR, Categories) == 72);

// A property request as a handler gets it: the miniport (major target), the stream (minor
// target) or none, the node (ULONG(-1) for the filter), the item, the verb, the instance data
// after the KSPROPERTY header and the value buffer, whose size the handler sets to what it wrote.
struct PCPROPERTY_REQUEST {
  PUNKNOWN MajorTarget;
  PUNKNOWN MinorTarget;
  ULONG Node;
  const PCPROPERTY_ITEM* PropertyItem;
  ULONG Verb;
  ULONG InstanceSize;
  PVOID Instance;
  ULONG ValueSize;
  PVOID Value;
  PIRP Irp;
};
static_assert(sizeof(PCPROPERTY_REQUEST) == 72 && offsetof(PCPROPERTY_REQUEST, Node) == 16 &&
              offsetof(PCPROPERTY_REQUEST, PropertyItem) == 24 && offsetof(PCPROPERTY_REQUEST, Verb) == 32 &&
              offsetof(PCPROPERTY_REQUEST, InstanceSize) == 36 && offsetof(PCPROPERTY_REQUEST, Instance) == 40 &&
              offsetof(PCPROPERTY_REQUEST, ValueSize) == 48 && offsetof(PCPROPERTY_REQUEST, Value) == 56 &&
              offsetof(PCPROPERTY_REQUEST, Irp) == 64);

// Ports.
struct IPort : IUnknown {
  virtual NTSTATUS Init(PDEVICE_OBJECT DeviceObject, PIRP Irp, PUNKNOWN UnknownMiniport, PUNKNOWN UnknownAdapter,
                        PRESOURCELIST ResourceList) = 0;
  virtual NTSTATUS GetDeviceProperty(DEVICE_REGISTRY_PROPERTY DeviceProperty, ULONG BufferLength,
                                     PVOID PropertyBuffer, PULONG ResultLength) = 0;
  virtual NTSTATUS NewRegistryKey(PVOID* OutRegistryKey, PUNKNOWN OuterUnknown, ULONG RegistryKeyType,
                                  ACCESS_MASK DesiredAccess, PVOID ObjectAttributes, ULONG CreateOptions,
                                  PULONG Disposition) = 0;

 protected:
  ~IPort() = default;
};
using PPORT = IPort*;

struct IPortWaveCyclic : IPort {
  virtual void Notify(PSERVICEGROUP ServiceGroup) = 0;
  virtual NTSTATUS NewSlaveDmaChannel(PDMACHANNELSLAVE* DmaChannel, PUNKNOWN OuterUnknown, PRESOURCELIST ResourceList,
                                      ULONG DmaIndex, ULONG MaximumLength, BOOLEAN DemandMode, DMA_SPEED DmaSpeed) = 0;
  virtual NTSTATUS NewMasterDmaChannel(PDMACHANNEL* DmaChannel, PUNKNOWN OuterUnknown, PRESOURCELIST ResourceList,
                                       ULONG MaximumLength, BOOLEAN Dma32BitAddresses, BOOLEAN Dma64BitAddresses,
                                       DMA_WIDTH DmaWidth, DMA_SPEED DmaSpeed) = 0;

 protected:
  ~IPortWaveCyclic() = default;
};
using PPORTWAVECYCLIC = IPortWaveCyclic*;

struct IPortMidi : IPort {
  virtual void Notify(PSERVICEGROUP ServiceGroup) = 0;
  virtual void RegisterServiceGroup(PSERVICEGROUP ServiceGroup) = 0;

 protected:
  ~IPortMidi() = default;
};
using PPORTMIDI = IPortMidi*;

struct IPortTopology : IPort {
 protected:
  ~IPortTopology() = default;
};
using PPORTTOPOLOGY = IPortTopology*;

// Miniports and their streams.
struct IMiniport : IUnknown {
  virtual NTSTATUS GetDescription(PPCFILTER_DESCRIPTOR* Description) = 0;
  virtual NTSTATUS DataRangeIntersection(ULONG PinId, PKSDATARANGE DataRange, PKSDATARANGE MatchingDataRange,
                                         ULONG OutputBufferLength, PVOID ResultantFormat,
                                         PULONG ResultantFormatLength) = 0;

 protected:
  ~IMiniport() = default;
};
using PMINIPORT = IMiniport*;

struct IMiniportWaveCyclicStream : IUnknown {
  virtual NTSTATUS SetFormat(PKSDATAFORMAT DataFormat) = 0;
  virtual ULONG SetNotificationFreq(ULONG Interval, PULONG FramingSize) = 0;
  virtual NTSTATUS SetState(KSSTATE State) = 0;
  virtual NTSTATUS GetPosition(PULONG Position) = 0;
  virtual NTSTATUS NormalizePhysicalPosition(PLONGLONG PhysicalPosition) = 0;
  virtual void Silence(PVOID Buffer, ULONG ByteCount) = 0;

 protected:
  ~IMiniportWaveCyclicStream() = default;
};
using PMINIPORTWAVECYCLICSTREAM = IMiniportWaveCyclicStream*;

struct IMiniportWaveCyclic : IMiniport {
  virtual NTSTATUS Init(PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList, PPORTWAVECYCLIC Port) = 0;
  virtual NTSTATUS NewStream(PMINIPORTWAVECYCLICSTREAM* Stream, PUNKNOWN OuterUnknown, POOL_TYPE PoolType,
                             ULONG Pin, BOOLEAN Capture, PKSDATAFORMAT DataFormat, PDMACHANNEL* DmaChannel,
                             PSERVICEGROUP* ServiceGroup) = 0;

 protected:
  ~IMiniportWaveCyclic() = default;
};
using PMINIPORTWAVECYCLIC = IMiniportWaveCyclic*;

struct IMiniportMidiStream : IUnknown {
  virtual NTSTATUS SetFormat(PKSDATAFORMAT DataFormat) = 0;
  virtual NTSTATUS SetState(KSSTATE State) = 0;
  virtual NTSTATUS Read(PVOID BufferAddress, ULONG BufferLength, PULONG BytesRead) = 0;
  virtual NTSTATUS Write(PVOID BufferAddress, ULONG BytesToWrite, PULONG BytesWritten) = 0;

 protected:
  ~IMiniportMidiStream() = default;
};
using PMINIPORTMIDISTREAM = IMiniportMidiStream*;

struct IMiniportMidi : IMiniport {
  virtual NTSTATUS Init(PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList, PPORTMIDI Port,
                        PSERVICEGROUP* ServiceGroup) = 0;
  virtual void Service() = 0;
  virtual NTSTATUS NewStream(PMINIPORTMIDISTREAM* Stream, PUNKNOWN OuterUnknown, POOL_TYPE PoolType, ULONG Pin,
                             BOOLEAN Capture, PKSDATAFORMAT DataFormat, PSERVICEGROUP* ServiceGroup) = 0;

 protected:
  ~IMiniportMidi() = default;
};
using PMINIPORTMIDI = IMiniportMidi*;

struct IMiniportTopology : IMiniport {
  virtual NTSTATUS Init(PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList, PPORTTOPOLOGY Port) = 0;

 protected:
  ~IMiniportTopology() = default;
};
using PMINIPORTTOPOLOGY = IMiniportTopology*;

// The adapter driver's entry points into port class.
using PCPFNSTARTDEVICE = NTSTATUS (*)(PDEVICE_OBJECT DeviceObject, PIRP Irp, PRESOURCELIST ResourceList);

// Port class's part of the device extension of an adapter's device: the adapter's own part
// follows it.
constexpr ULONG PORT_CLASS_DEVICE_EXTENSION_SIZE = 64 * sizeof(ULONG_PTR);

// Fills the driver's dispatch table with port class's routines and keeps its add-device routine;
// the driver's unload routine is the driver's own.
NTSTATUS PcInitializeAdapterDriver(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPathName,
                                   PDRIVER_ADD_DEVICE AddDevice);
// Creates the functional device object (its extension DeviceExtensionSize bytes, at least port
// class's own) and attaches it above the PDO; its start passes the start request down first and
// then calls StartDevice with the device's resources.
NTSTATUS PcAddAdapterDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                            PCPFNSTARTDEVICE StartDevice, ULONG MaxObjects, ULONG DeviceExtensionSize);
// Port class's handling of an IRP of the adapter's device, for drivers that take a major
// function over and hand the rest back.
NTSTATUS PcDispatchIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS PcNewPort(PPORT* OutPort, REFCLSID ClassId);
// Registers the port's filter under Name (the reference string of its device interfaces).
NTSTATUS PcRegisterSubdevice(PDEVICE_OBJECT DeviceObject, PWSTR Name, PUNKNOWN Unknown);
NTSTATUS PcRegisterPhysicalConnection(PDEVICE_OBJECT DeviceObject, PUNKNOWN FromUnknown, ULONG FromPin,
                                      PUNKNOWN ToUnknown, ULONG ToPin);
