// One adapter device per audio child device: it binds to the unit driver through the child's
// direct-call table, registers the unit's MIDI, wave and topology subdevices with port class,
// carries the unit driver's MIDI-in and period callbacks to the miniports, and goes with the
// child's removal.
#pragma once

#include <portcls.h>

#include "driver/PdoDirectInterface.h"
#include "kframework/PnpDeviceBase.h"
#include "wdm/WdmAdapterCommon.h"

class WdmMiniportMidi;
class WdmMiniportWave;

class WdmDevice : public PnpDeviceBase {
 public:
  static constexpr ULONG kMidiPorts = 7;
  static constexpr ULONG kWavePairs = 9;
  // Port class's 512 bytes, then the pointer to the device.
  static constexpr ULONG kPortClsExtensionSize = PORT_CLASS_DEVICE_EXTENSION_SIZE + sizeof(PVOID);
  // The MIDI port of an expansion unit: its surface, "MidiKR6".
  static constexpr ULONG kSurfacePort = 4;
  // Removal must never detach the stack below port class's device: this device attached nothing.
  static constexpr ULONG kPolicyDetachOnRemove = 0x10;

  // Makes the named device object with the device in its extension, for the stack whose top is
  // `lower`. PASSIVE_LEVEL.
  static NTSTATUS Create(PDEVICE_OBJECT pdo, PDEVICE_OBJECT lower, ULONG unitNumber, WdmDevice** device);
  // Port class's device, just attached above the PDO, gets the pointer to this device.
  void BindPortClsDevice();
  // The device of one of this driver's port class devices, or null.
  static WdmDevice* FromPortClsDevice(PDEVICE_OBJECT deviceObject);
  static NTSTATUS StartDeviceThunk(PDEVICE_OBJECT deviceObject, PIRP irp, PRESOURCELIST resources);

  WdmDevice(ULONG stamp, const DeviceCreation& made, PDEVICE_OBJECT pdo, PDEVICE_OBJECT lower, ULONG unitNumber);
  ~WdmDevice() override;

  NTSTATUS Pnp(PIRP irp) override;
  // Teardown: reached from the adapter-common object's destructor, or from removal when the
  // device never got one.
  NTSTATUS OnStopDevice(PIRP irp) override;
  NTSTATUS DefaultPnp(PIRP irp) override;
  NTSTATUS DefaultPower(PIRP irp) override;
  virtual NTSTATUS StartDevice(PIRP irp, PRESOURCELIST resources);

  // The unit driver's callbacks, at DISPATCH_LEVEL.
  static void MidiInCallback(PVOID clientDevice, const ULONG* packet);
  static void WaveNotifyCallback(PVOID clientDevice, ULONG pair, ULONG direction);
  void OnMidiInEvent(ULONG packet);

  // A miniport leaves its slot as it dies, under the lock the callbacks take.
  void ClearMidiSlot(ULONG port, WdmMiniportMidi* miniport);
  void ClearWaveSlot(ULONG pair, WdmMiniportWave* miniport);

  // The adapter's wave streams share the unit's one clock: a stream opens, or changes its rate,
  // only at the rate of the others open. PASSIVE_LEVEL.
  NTSTATUS OpenWaveStream(ULONG rate);
  NTSTATUS ChangeWaveRate(ULONG rate);
  void CloseWaveStream();
  // The rate of the open wave streams; 0 when none is open.
  ULONG OpenWaveRate();

  const PdoDirectInterface& Direct() const { return mPdoDirectInterface; }
  bool IsExpansionUnit() const { return (mDeviceFlags & kWdmDeviceExpansionUnit) != 0; }

  WdmMiniportMidi* mMidiMiniports[kMidiPorts] = {};
  WdmMiniportWave* mWaveMiniports[kWavePairs] = {};
  ULONG mUnitNumber;
  LowerDeviceLink mLowerDeviceLink;
  PdoDirectInterface mPdoDirectInterface{};
  PDEVICE_OBJECT mPortClsDevice = nullptr;
  ULONG mDeviceFlags = 0;
  BOOLEAN mBound = FALSE;
  // Held from the first start to the removal, so that the device never goes inside its start.
  PADAPTERCOMMON mAdapterCommon = nullptr;
  KSPIN_LOCK mSlotLock = 0;
  KMUTEX mRateMutex;
  ULONG mOpenWaveStreams = 0;
  ULONG mWaveRate = 0;

 private:
  NTSTATUS QueryDirectInterface(PIRP irp);
  using MiniportFactory = NTSTATUS (*)(PUNKNOWN* unknown, PUNKNOWN outerUnknown, POOL_TYPE poolType);
  // A MIDI or wave subdevice: its port, its miniport attached at `index`, the port's Init and the
  // registration; the miniport's slot is set only once the registration succeeded. The port's
  // IUnknown is returned when asked for.
  template <class Miniport, class Interface, ULONG N>
  NTSTATUS InstallSubdevice(REFCLSID portClass, MiniportFactory create, REFIID miniportInterface, Miniport* (&slots)[N],
                            ULONG index, PCWSTR name, PIRP irp, PUNKNOWN adapter, PRESOURCELIST resources,
                            PUNKNOWN* portUnknown);
  NTSTATUS InstallMidiSubdevice(ULONG port, PCWSTR name, PIRP irp, PUNKNOWN adapter, PRESOURCELIST resources);
  NTSTATUS InstallWaveSubdevice(ULONG pair, PCWSTR name, PIRP irp, PUNKNOWN adapter, PRESOURCELIST resources,
                                PUNKNOWN* portUnknown);
  NTSTATUS InstallTopology(PIRP irp, PUNKNOWN adapter, PRESOURCELIST resources, PUNKNOWN* portUnknown);
  void Unbind();
  void RemoveDevice();
};
