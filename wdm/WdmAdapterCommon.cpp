#include "wdm/WdmAdapterCommon.h"

#include "kframework/KernelUtil.h"
#include "wdm/WdmDevice.h"

WdmAdapterCommon::WdmAdapterCommon(PUNKNOWN outerUnknown) : CUnknown(outerUnknown) { KeInitializeMutex(&mStateMutex, 1); }

WdmAdapterCommon::~WdmAdapterCommon() {
  if (mDevice != nullptr) mDevice->OnStopDevice(nullptr);
}

NTSTATUS WdmAdapterCommon::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (IsEqualGUID(iid, IID_IAdapterCommon)) {
    *object = static_cast<IAdapterCommon*>(this);
    AddRef();
    return STATUS_SUCCESS;
  }
  return CUnknown::NonDelegatingQueryInterface(iid, object);
}

NTSTATUS WdmAdapterCommon::Init(PRESOURCELIST, WdmDevice* device) {
  PAGED_CODE();
  mDevice = device;
  return STATUS_SUCCESS;
}

void WdmAdapterCommon::SetStreamState(ULONG pair, BOOLEAN capture, ULONG state) {
  PAGED_CODE();
  KeWaitForSingleObject(&mStateMutex, Executive, KernelMode, FALSE, nullptr);
  const PdoDirectInterface& direct = mDevice->Direct();
  direct.SetStreamState(direct.Context, pair, capture, state);
  KeReleaseMutex(&mStateMutex, FALSE);
}

NTSTATUS CreateAdapterCommon(PUNKNOWN* unknown, PUNKNOWN outerUnknown, POOL_TYPE poolType) {
  PAGED_CODE();
  *unknown = nullptr;
  auto* common = new (poolType) WdmAdapterCommon(outerUnknown);
  if (common == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  // The object's IUnknown, whose calls go to the outer unknown when there is one.
  *unknown = static_cast<PADAPTERCOMMON>(common);
  (*unknown)->AddRef();
  return STATUS_SUCCESS;
}
