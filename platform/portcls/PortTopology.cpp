#include "platform/portcls/PortTopology.h"

#include "platform/portcls/PortMidi.h"
#include "platform/portcls/PortWaveCyclic.h"

namespace plat::pc {

NTSTATUS PortTopology::InitMiniport(PUNKNOWN unknownMiniport, PUNKNOWN unknownAdapter, PRESOURCELIST resources) {
  PVOID topology = nullptr;
  NTSTATUS status = unknownMiniport->QueryInterface(IID_IMiniportTopology, &topology);
  if (!NT_SUCCESS(status) || topology == nullptr) return STATUS_INVALID_PARAMETER;
  mTopology = static_cast<PMINIPORTTOPOLOGY>(topology);
  status = mTopology->Init(unknownAdapter, resources, this);
  if (!NT_SUCCESS(status)) {
    ReleaseAndClear(mTopology);
    return status;
  }
  mMiniport = mTopology;
  return STATUS_SUCCESS;
}

void PortTopology::ReleaseMiniport() {
  mMiniport = nullptr;
  ReleaseAndClear(mTopology);
}

}  // namespace plat::pc

NTSTATUS PcNewPort(PPORT* OutPort, REFCLSID ClassId) {
  PAGED_CODE();
  *OutPort = nullptr;
  plat::pc::PortBase* port = nullptr;
  PPORT out = nullptr;
  if (IsEqualGUID(ClassId, CLSID_PortWaveCyclic)) {
    auto* p = new (NonPagedPool) plat::pc::PortWaveCyclic();
    port = p;
    out = p;
  } else if (IsEqualGUID(ClassId, CLSID_PortMidi)) {
    auto* p = new (NonPagedPool) plat::pc::PortMidi();
    port = p;
    out = p;
  } else if (IsEqualGUID(ClassId, CLSID_PortTopology)) {
    auto* p = new (NonPagedPool) plat::pc::PortTopology();
    port = p;
    out = p;
  } else {
    return STATUS_NOT_SUPPORTED;
  }
  if (port == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  port->NonDelegatingAddRef();
  *OutPort = out;
  return STATUS_SUCCESS;
}
