// What every port shares: the miniport it wraps and the filter the miniport describes, the
// adapter device it belongs to, and the filter-level requests of the pin client (data
// intersection, properties) that Windows' audio stack would send through kernel streaming.
#pragma once

#include <vector>

#include "platform/portcls/PcObject.h"

namespace plat::pc {

enum class PortKind { WaveCyclic, Midi, Topology };

// Pin `pin` of a descriptor, whose pin records are PinSize bytes apart.
const PCPIN_DESCRIPTOR& PinOf(const PCFILTER_DESCRIPTOR& descriptor, ULONG pin);

class PortBase : public CUnknown, public PoolObject {
 public:
  explicit PortBase(PortKind kind) : CUnknown(nullptr), mKind(kind) { KeInitializeMutex(&mControl, 0); }
  ~PortBase() override;

  PortKind Kind() const { return mKind; }
  bool Initialised() const { return mDescriptor != nullptr; }
  const PCFILTER_DESCRIPTOR& Descriptor() const { return *mDescriptor; }
  PDEVICE_OBJECT DeviceObject() const { return mDevice; }
  // The port's own IUnknown, as PcRegisterSubdevice and the physical connections name it.
  PUNKNOWN Identity() { return NonDelegatingUnknown(); }

  // A data intersection on one of the filter's pins, as the audio stack asks for it: with a
  // buffer length of 0 the length of the result (STATUS_BUFFER_OVERFLOW), else the format.
  NTSTATUS Intersect(ULONG pin, const KSDATARANGE* clientRange, ULONG bufferLength, PVOID result, PULONG resultLength);
  // A property request on the filter (node PCFILTER_NODE) or on one of its nodes; `valueSize`
  // is the value buffer's size in and what the handler reported out.
  NTSTATUS Property(ULONG node, const GUID& set, ULONG id, ULONG verb, PVOID instance, ULONG instanceSize,
                    PVOID value, PULONG valueSize);

  // Port class lets go of the miniport when the subdevice goes: a miniport holds its port, so
  // the two would otherwise keep each other.
  // Windows does not remove a device whose pins are open; here that is a fault of the caller.
  void ReleaseChildren();
  // The device was pulled: the open pins' streams are stepped down to stop, and every later
  // request on the filter or its pins fails with STATUS_DEVICE_REMOVED, but for closing them.
  // At PASSIVE_LEVEL.
  void SurpriseRemove();
  bool Removed() const { return mRemoved; }

  // Held across a request on a pin, so that the removal's stop never meets one half done.
  class ControlLock {
   public:
    explicit ControlLock(PortBase& port) : mPort(port) {
      KeWaitForSingleObject(&mPort.mControl, Executive, KernelMode, FALSE, nullptr);
    }
    ~ControlLock() { KeReleaseMutex(&mPort.mControl, FALSE); }
    ControlLock(const ControlLock&) = delete;
    ControlLock& operator=(const ControlLock&) = delete;

   private:
    PortBase& mPort;
  };

  // The port behind an IUnknown made by this stand-in; null for any other object.
  static PortBase* FromUnknown(PUNKNOWN unknown);

 protected:
  // IPort::Init, the same for every port: the miniport's own Init (InitMiniport) and then its
  // description, checked as port class checks it.
  NTSTATUS InitPort(PDEVICE_OBJECT deviceObject, PUNKNOWN unknownMiniport, PUNKNOWN unknownAdapter,
                    PRESOURCELIST resourceList);
  virtual NTSTATUS InitMiniport(PUNKNOWN unknownMiniport, PUNKNOWN unknownAdapter, PRESOURCELIST resourceList) = 0;
  virtual void ReleaseMiniport() = 0;
  virtual bool PinsOpen() const { return false; }
  // Under the control lock, once Removed() holds.
  virtual void StopPins() {}
  NTSTATUS GetDevicePropertyOf(DEVICE_REGISTRY_PROPERTY property, ULONG length, PVOID buffer, PULONG resultLength);

  PMINIPORT mMiniport = nullptr;  // the miniport's IMiniport, referenced once Init succeeded

 private:
  NTSTATUS DefaultIntersection(const KSDATARANGE* client, const KSDATARANGE* own, ULONG bufferLength, PVOID result,
                               PULONG resultLength);

  PortKind mKind;
  KMUTEX mControl;
  volatile bool mRemoved = false;
  PDEVICE_OBJECT mDevice = nullptr;
  const PCFILTER_DESCRIPTOR* mDescriptor = nullptr;
};

// IPort's own slots and IUnknown for the port interface I.
template <typename I>
class Port : public PortBase, public I {
 public:
  Port(PortKind kind, const IID& iid) : PortBase(kind), mIid(iid) {}
  DECLARE_STD_UNKNOWN()

  NTSTATUS Init(PDEVICE_OBJECT deviceObject, PIRP, PUNKNOWN unknownMiniport, PUNKNOWN unknownAdapter,
                PRESOURCELIST resourceList) override {
    return InitPort(deviceObject, unknownMiniport, unknownAdapter, resourceList);
  }
  NTSTATUS GetDeviceProperty(DEVICE_REGISTRY_PROPERTY property, ULONG length, PVOID buffer, PULONG resultLength) override {
    return GetDevicePropertyOf(property, length, buffer, resultLength);
  }
  // Registry keys through the port are not part of this machine.
  NTSTATUS NewRegistryKey(PVOID* out, PUNKNOWN, ULONG, ACCESS_MASK, PVOID, ULONG, PULONG) override {
    *out = nullptr;
    return STATUS_NOT_IMPLEMENTED;
  }

 private:
  const IID& mIid;
};

template <typename I>
NTSTATUS Port<I>::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (IsEqualGUID(iid, IID_IPort) || IsEqualGUID(iid, mIid)) {
    *object = static_cast<I*>(this);
    AddRef();
    return STATUS_SUCCESS;
  }
  return CUnknown::NonDelegatingQueryInterface(iid, object);
}

}  // namespace plat::pc
