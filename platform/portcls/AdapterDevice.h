// Port class's record of an adapter's device: the functional device object it created and
// attached above the PDO, the adapter's start routine, and the subdevices and physical
// connections registered on it. It hangs off the first bytes of the device extension, the part
// that belongs to port class.
#pragma once

#include <string>
#include <vector>

#include "platform/portcls/Port.h"

namespace plat::pc {

struct Subdevice {
  std::u16string name;
  PortBase* port;  // referenced
  std::vector<GUID> categories;
  std::vector<UNICODE_STRING> links;  // one per category, from IoRegisterDeviceInterface
};

struct PhysicalConnection {
  PortBase* from;
  ULONG fromPin;
  PortBase* to;
  ULONG toPin;
};

class AdapterDevice {
 public:
  AdapterDevice(PDEVICE_OBJECT fdo, PDEVICE_OBJECT pdo, PDEVICE_OBJECT lower, PCPFNSTARTDEVICE start, ULONG maxObjects)
      : mFdo(fdo), mPdo(pdo), mLower(lower), mStart(start), mMaxObjects(maxObjects) {}

  // The record of a device that port class made; null for any other device.
  static AdapterDevice* Of(PDEVICE_OBJECT deviceObject);
  // The port class device of the PDO's stack, or null.
  static AdapterDevice* OfPdo(PDEVICE_OBJECT pdo);

  NTSTATUS Dispatch(PIRP irp);
  NTSTATUS RegisterSubdevice(const std::u16string& name, PortBase* port);
  NTSTATUS RegisterConnection(PortBase* from, ULONG fromPin, PortBase* to, ULONG toPin);
  PDEVICE_OBJECT Pdo() const { return mPdo; }
  const std::vector<Subdevice>& Subdevices() const { return mSubdevices; }
  const std::vector<PhysicalConnection>& Connections() const { return mConnections; }
  const Subdevice* Find(const std::u16string& name) const;
  // The next wave-cyclic port's place among those this start initialised, from 0.
  ULONG TakeWavePortOrdinal() { return mWavePorts++; }

 private:
  NTSTATUS Pnp(PIRP irp);
  NTSTATUS Start(PIRP irp);
  // A filter opened by its subdevice's name (an interface's reference string); the file holds
  // the port.
  NTSTATUS Create(PIRP irp);
  NTSTATUS Close(PIRP irp);
  void SurpriseRemove();
  void DisableInterfaces();
  void ReleaseSubdevices();

  PDEVICE_OBJECT mFdo;
  PDEVICE_OBJECT mPdo;
  PDEVICE_OBJECT mLower;
  PCPFNSTARTDEVICE mStart;
  ULONG mMaxObjects;
  std::vector<Subdevice> mSubdevices;
  std::vector<PhysicalConnection> mConnections;
  ULONG mOpenFiles = 0;
  bool mSurpriseRemoved = false;
  ULONG mWavePorts = 0;
};

}  // namespace plat::pc
