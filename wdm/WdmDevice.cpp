#include "wdm/WdmDevice.h"

#include "wdm/WdmAdapterCommon.h"
#include "wdm/WdmDriver.h"
#include "wdm/WdmMiniportMidi.h"
#include "wdm/WdmMiniportTopology.h"
#include "wdm/WdmMiniportWave.h"

namespace {

struct MidiSubdevice {
  PCWSTR name;
  ULONG port;
};
constexpr MidiSubdevice kMainUnitMidi[] = {{L"Midi1", 0}, {L"Midi2", 1},   {L"Midi3", 2},  {L"Midi4", 3},
                                           {L"MidiC", 4}, {L"MidiVP1", 5}, {L"MidiVP2", 6}};
constexpr WCHAR kExpansionUnitMidi[] = L"MidiKR6";
constexpr PCWSTR kWaveNames[WdmDevice::kWavePairs] = {L"WaveA1", L"WaveA2", L"WaveA3", L"WaveA4", L"WaveB1",
                                                      L"WaveB2", L"WaveB3", L"WaveB4", L"WaveC1"};
constexpr WCHAR kTopologyName[] = L"Topology";

// Physical connections between wave pair k and the topology.
constexpr ULONG kTopologyCaptureBridge = 19;  // + 2k, to the wave filter's capture bridge
constexpr ULONG kWaveCaptureBridge = 1;
constexpr ULONG kWaveRenderBridge = 3;  // to the topology's pin 2k

WdmDevice** DevicePointerOf(PDEVICE_OBJECT portClsDevice) {
  return reinterpret_cast<WdmDevice**>(static_cast<UCHAR*>(portClsDevice->DeviceExtension) +
                                       PORT_CLASS_DEVICE_EXTENSION_SIZE);
}

NTSTATUS SignalInterfaceAnswer(PDEVICE_OBJECT, PIRP, PVOID event) {
  KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

NTSTATUS WdmDevice::Create(PDEVICE_OBJECT pdo, PDEVICE_OBJECT lower, ULONG unitNumber, WdmDevice** device) {
  PAGED_CODE();
  *device = nullptr;
  NumberedName name = MakeNumberedName(WdmDriver::kDeviceNameStem, unitNumber, 10);
  if (name.Buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  DeviceCreation made;
  PVOID extension = KernelDeviceBase::CreateDeviceObject(sizeof(WdmDevice), name.Buffer, FILE_DEVICE_UNKNOWN, nullptr,
                                                         0, 0, &made);
  FreeNumberedName(&name);
  if (extension == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  auto* created = new (extension) WdmDevice(kExtensionObjectStamp, made, pdo, lower, unitNumber);
  const NTSTATUS status = created->mConstructStatus;
  if (!NT_SUCCESS(status)) {
    created->Delete();
    return status;
  }
  *device = created;
  return status;
}

void WdmDevice::BindPortClsDevice() {
  PAGED_CODE();
  mPortClsDevice = IoGetAttachedDeviceReference(mPhysicalDevice);
  ObDereferenceObject(mPortClsDevice);
  *DevicePointerOf(mPortClsDevice) = this;
}

WdmDevice* WdmDevice::FromPortClsDevice(PDEVICE_OBJECT deviceObject) {
  if (deviceObject == nullptr || deviceObject->DeviceType != FILE_DEVICE_KS ||
      deviceObject->DriverObject != DriverInstance->mDriverObject)
    return nullptr;
  return *DevicePointerOf(deviceObject);
}

WdmDevice::WdmDevice(ULONG stamp, const DeviceCreation& made, PDEVICE_OBJECT pdo, PDEVICE_OBJECT lower,
                     ULONG unitNumber)
    : PnpDeviceBase(stamp, made, pdo), mUnitNumber(unitNumber) {
  KeInitializeSpinLock(&mSlotLock);
  KeInitializeMutex(&mRateMutex, 1);
  SetDefaultPnpPolicy();
  // Port class attached its device over `lower` and detaches it at removal itself.
  mGeneralPolicy &= ~kPolicyDetachOnRemove;
  mLowerDeviceLink.LinkToLowerDevice(lower, pdo);
  mLowerLink = &mLowerDeviceLink;
}

WdmDevice::~WdmDevice() = default;

NTSTATUS WdmDevice::StartDeviceThunk(PDEVICE_OBJECT deviceObject, PIRP irp, PRESOURCELIST resources) {
  PAGED_CODE();
  WdmDevice* device = *DevicePointerOf(deviceObject);
  if (device == nullptr) return STATUS_NO_SUCH_DEVICE;
  return device->StartDevice(irp, resources);
}

// Every PnP request goes to port class; the callbacks stop before removal lets any miniport go,
// and the device goes after it.
NTSTATUS WdmDevice::Pnp(PIRP irp) {
  PAGED_CODE();
  const bool removal = IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_REMOVE_DEVICE;
  if (removal) {
    Unbind();
    *DevicePointerOf(mPortClsDevice) = nullptr;
  }
  const NTSTATUS status = PcDispatchIrp(mPortClsDevice, irp);
  if (!removal) return status;
  mPortClsDevice = nullptr;
  if (mAdapterCommon != nullptr) {
    PADAPTERCOMMON common = mAdapterCommon;
    mAdapterCommon = nullptr;
    common->Release();
  } else {
    RemoveDevice();
  }
  return status;
}

NTSTATUS WdmDevice::OnStopDevice(PIRP) {
  PAGED_CODE();
  RemoveDevice();
  return STATUS_SUCCESS;
}

NTSTATUS WdmDevice::DefaultPnp(PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(mLowerDeviceLink.mLowerDevice, irp);
}

NTSTATUS WdmDevice::DefaultPower(PIRP irp) {
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(mLowerDeviceLink.mLowerDevice, irp);
}

NTSTATUS WdmDevice::QueryDirectInterface(PIRP irp) {
  PAGED_CODE();
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->IoStatus.Information = 0;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_PNP;
  next->MinorFunction = IRP_MN_QUERY_INTERFACE;
  next->Parameters.QueryInterface.InterfaceType = &GUID_QX531_PDO_DIRECT_INTERFACE;
  next->Parameters.QueryInterface.Size = sizeof(PdoDirectInterface);
  next->Parameters.QueryInterface.Version = kPdoDirectInterfaceVersion;
  next->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(&mPdoDirectInterface);
  next->Parameters.QueryInterface.InterfaceSpecificData = nullptr;
  KEVENT answered;
  KeInitializeEvent(&answered, NotificationEvent, FALSE);
  IoSetCompletionRoutine(irp, SignalInterfaceAnswer, &answered, TRUE, TRUE, TRUE);
  NTSTATUS status = IoCallDriver(mLowerDeviceLink.mLowerDevice, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&answered, Executive, KernelMode, FALSE, nullptr);
    status = irp->IoStatus.Status;
  }
  return status;
}

NTSTATUS WdmDevice::StartDevice(PIRP irp, PRESOURCELIST resources) {
  PAGED_CODE();
  // Every miniport needs the adapter-common object, which needs the resource list.
  if (resources == nullptr) return STATUS_DEVICE_CONFIGURATION_ERROR;
  if (mBound) return STATUS_SUCCESS;
  NTSTATUS status = QueryDirectInterface(irp);
  if (!NT_SUCCESS(status)) return status;
  const PdoDirectInterface& direct = mPdoDirectInterface;
  PVOID unused1 = nullptr;
  PVOID unused2 = nullptr;
  direct.ConnectClient(direct.Context, mPhysicalDevice, &unused1, &unused2);
  direct.GetDeviceFlags(direct.Context, this, &mDeviceFlags);
  direct.RegisterCallbacks(direct.Context, this, MidiInCallback, WaveNotifyCallback);
  mBound = TRUE;

  if (mAdapterCommon == nullptr) {
    PUNKNOWN unknown = nullptr;
    status = CreateAdapterCommon(&unknown, nullptr, NonPagedPool);
    if (!NT_SUCCESS(status)) return status;
    status = unknown->QueryInterface(IID_IAdapterCommon, reinterpret_cast<void**>(&mAdapterCommon));
    unknown->Release();
    if (!NT_SUCCESS(status)) return status;
    mAdapterCommon->Init(resources, this);
  }
  PADAPTERCOMMON common = mAdapterCommon;
  common->AddRef();
  const PUNKNOWN adapter = common;

  if (IsExpansionUnit()) {
    status = InstallMidiSubdevice(kSurfacePort, kExpansionUnitMidi, irp, adapter, resources);
    common->Release();
    return status;
  }
  for (const MidiSubdevice& midi : kMainUnitMidi) {
    status = InstallMidiSubdevice(midi.port, midi.name, irp, adapter, resources);
    if (!NT_SUCCESS(status)) break;
  }
  PUNKNOWN wavePorts[kWavePairs] = {};
  PUNKNOWN topologyPort = nullptr;
  if (NT_SUCCESS(status)) {
    for (ULONG pair = 0; pair < kWavePairs; ++pair)
      status = InstallWaveSubdevice(pair, kWaveNames[pair], irp, adapter, resources, &wavePorts[pair]);
    if (NT_SUCCESS(status)) status = InstallTopology(irp, adapter, resources, &topologyPort);
  }
  if (topologyPort != nullptr) {
    for (ULONG pair = 0; pair < kWavePairs; ++pair) {
      if (wavePorts[pair] == nullptr) continue;
      PcRegisterPhysicalConnection(mPortClsDevice, topologyPort, kTopologyCaptureBridge + 2 * pair, wavePorts[pair],
                                   kWaveCaptureBridge);
      PcRegisterPhysicalConnection(mPortClsDevice, wavePorts[pair], kWaveRenderBridge, topologyPort, 2 * pair);
    }
  }
  for (PUNKNOWN port : wavePorts)
    if (port != nullptr) port->Release();
  if (topologyPort != nullptr) topologyPort->Release();
  common->Release();
  return status;
}

template <class Miniport, class Interface, ULONG N>
NTSTATUS WdmDevice::InstallSubdevice(REFCLSID portClass, MiniportFactory create, REFIID miniportInterface,
                                     Miniport* (&slots)[N], ULONG index, PCWSTR name, PIRP irp, PUNKNOWN adapter,
                                     PRESOURCELIST resources, PUNKNOWN* portUnknown) {
  PAGED_CODE();
  if (portUnknown != nullptr) *portUnknown = nullptr;
  PPORT port = nullptr;
  NTSTATUS status = PcNewPort(&port, portClass);
  if (!NT_SUCCESS(status)) return status;
  PUNKNOWN unknown = nullptr;
  status = create(&unknown, nullptr, NonPagedPool);
  if (NT_SUCCESS(status)) {
    Interface* face = nullptr;
    unknown->QueryInterface(miniportInterface, reinterpret_cast<void**>(&face));
    auto* miniport = static_cast<Miniport*>(face);
    miniport->Attach(this, index);
    face->Release();
    status = port->Init(mPortClsDevice, irp, unknown, adapter, resources);
    if (NT_SUCCESS(status)) {
      status = PcRegisterSubdevice(mPortClsDevice, const_cast<PWSTR>(name), port);
      if (!NT_SUCCESS(status)) miniport->DropPort();
    }
    if (NT_SUCCESS(status)) {
      KIRQL irql;
      KeAcquireSpinLock(&mSlotLock, &irql);
      slots[index] = miniport;
      KeReleaseSpinLock(&mSlotLock, irql);
    }
    unknown->Release();
  }
  if (NT_SUCCESS(status) && portUnknown != nullptr)
    status = port->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(portUnknown));
  port->Release();
  return status;
}

NTSTATUS WdmDevice::InstallMidiSubdevice(ULONG portNumber, PCWSTR name, PIRP irp, PUNKNOWN adapter,
                                         PRESOURCELIST resources) {
  PAGED_CODE();
  return InstallSubdevice<WdmMiniportMidi, IMiniportMidi>(CLSID_PortMidi, CreateMiniportMidi, IID_IMiniportMidi,
                                                          mMidiMiniports, portNumber, name, irp, adapter, resources,
                                                          nullptr);
}

NTSTATUS WdmDevice::InstallWaveSubdevice(ULONG pair, PCWSTR name, PIRP irp, PUNKNOWN adapter, PRESOURCELIST resources,
                                         PUNKNOWN* portUnknown) {
  PAGED_CODE();
  return InstallSubdevice<WdmMiniportWave, IMiniportWaveCyclic>(CLSID_PortWaveCyclic, CreateMiniportWave,
                                                                IID_IMiniportWaveCyclic, mWaveMiniports, pair, name,
                                                                irp, adapter, resources, portUnknown);
}

NTSTATUS WdmDevice::InstallTopology(PIRP irp, PUNKNOWN adapter, PRESOURCELIST resources, PUNKNOWN* portUnknown) {
  PAGED_CODE();
  *portUnknown = nullptr;
  PPORT port = nullptr;
  NTSTATUS status = PcNewPort(&port, CLSID_PortTopology);
  if (!NT_SUCCESS(status)) return status;
  PUNKNOWN unknown = nullptr;
  status = CreateMiniportTopology(&unknown, nullptr, NonPagedPool);
  if (NT_SUCCESS(status)) {
    status = port->Init(mPortClsDevice, irp, unknown, adapter, resources);
    if (NT_SUCCESS(status)) {
      status = PcRegisterSubdevice(mPortClsDevice, const_cast<PWSTR>(kTopologyName), port);
      if (!NT_SUCCESS(status)) {
        PMINIPORTTOPOLOGY topology = nullptr;
        unknown->QueryInterface(IID_IMiniportTopology, reinterpret_cast<void**>(&topology));
        static_cast<WdmMiniportTopology*>(topology)->DropPort();
        topology->Release();
      }
    }
    unknown->Release();
  }
  if (NT_SUCCESS(status)) status = port->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(portUnknown));
  port->Release();
  return status;
}

void WdmDevice::MidiInCallback(PVOID clientDevice, const ULONG* packet) {
  static_cast<WdmDevice*>(clientDevice)->OnMidiInEvent(*packet);
}

void WdmDevice::OnMidiInEvent(ULONG packet) {
  const ULONG cable = packet >> 28;
  if (cable >= kMidiPorts) return;
  KIRQL irql;
  KeAcquireSpinLock(&mSlotLock, &irql);
  if (WdmMiniportMidi* miniport = mMidiMiniports[cable]) miniport->OnMidiIn(packet);
  KeReleaseSpinLock(&mSlotLock, irql);
}

void WdmDevice::WaveNotifyCallback(PVOID clientDevice, ULONG pair, ULONG direction) {
  if (pair >= kWavePairs) return;
  auto* device = static_cast<WdmDevice*>(clientDevice);
  KIRQL irql;
  KeAcquireSpinLock(&device->mSlotLock, &irql);
  if (WdmMiniportWave* miniport = device->mWaveMiniports[pair]) miniport->NotifyStream(direction != 0);
  KeReleaseSpinLock(&device->mSlotLock, irql);
}

void WdmDevice::ClearMidiSlot(ULONG port, WdmMiniportMidi* miniport) {
  KIRQL irql;
  KeAcquireSpinLock(&mSlotLock, &irql);
  if (port < kMidiPorts && mMidiMiniports[port] == miniport) mMidiMiniports[port] = nullptr;
  KeReleaseSpinLock(&mSlotLock, irql);
}

void WdmDevice::ClearWaveSlot(ULONG pair, WdmMiniportWave* miniport) {
  KIRQL irql;
  KeAcquireSpinLock(&mSlotLock, &irql);
  if (pair < kWavePairs && mWaveMiniports[pair] == miniport) mWaveMiniports[pair] = nullptr;
  KeReleaseSpinLock(&mSlotLock, irql);
}

NTSTATUS WdmDevice::OpenWaveStream(ULONG rate) {
  PAGED_CODE();
  KeWaitForSingleObject(&mRateMutex, Executive, KernelMode, FALSE, nullptr);
  const bool other = mOpenWaveStreams != 0 && rate != mWaveRate;
  if (!other) {
    mWaveRate = rate;
    ++mOpenWaveStreams;
  }
  KeReleaseMutex(&mRateMutex, FALSE);
  return other ? STATUS_INVALID_DEVICE_REQUEST : STATUS_SUCCESS;
}

NTSTATUS WdmDevice::ChangeWaveRate(ULONG rate) {
  PAGED_CODE();
  KeWaitForSingleObject(&mRateMutex, Executive, KernelMode, FALSE, nullptr);
  const bool other = mOpenWaveStreams > 1 && rate != mWaveRate;
  if (!other) mWaveRate = rate;
  KeReleaseMutex(&mRateMutex, FALSE);
  return other ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
}

void WdmDevice::CloseWaveStream() {
  PAGED_CODE();
  KeWaitForSingleObject(&mRateMutex, Executive, KernelMode, FALSE, nullptr);
  --mOpenWaveStreams;
  KeReleaseMutex(&mRateMutex, FALSE);
}

ULONG WdmDevice::OpenWaveRate() {
  PAGED_CODE();
  KeWaitForSingleObject(&mRateMutex, Executive, KernelMode, FALSE, nullptr);
  const ULONG rate = mOpenWaveStreams != 0 ? mWaveRate : 0;
  KeReleaseMutex(&mRateMutex, FALSE);
  return rate;
}

// The unit driver waits for callbacks in flight before it forgets them.
void WdmDevice::Unbind() {
  PAGED_CODE();
  if (!mBound) return;
  mBound = FALSE;
  mPdoDirectInterface.RegisterCallbacks(mPdoDirectInterface.Context, nullptr, nullptr, nullptr);
}

void WdmDevice::RemoveDevice() {
  PAGED_CODE();
  Unbind();
  mPnpState |= kRemoved;
  DecrementRequestCount();
  WaitForRemoval(0);
  Delete();
}
