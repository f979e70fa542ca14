#include "platform/portcls/ServiceGroup.h"

#include "platform/kernel/Verifier.h"

namespace plat::pc {

ServiceGroup::ServiceGroup(PUNKNOWN outer) : CUnknown(outer) {
  KeInitializeSpinLock(&mLock);
  KeInitializeDpc(&mDpc, Deferred, this);
  KeInitializeTimer(&mTimer);
}

ServiceGroup::~ServiceGroup() {
  KeCancelTimer(&mTimer);
  for (ULONG i = 0; i < mMemberCount; ++i) mMembers[i]->Release();
}

NTSTATUS ServiceGroup::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (IsEqualGUID(iid, IID_IServiceGroup) || IsEqualGUID(iid, IID_IServiceSink)) {
    *object = static_cast<IServiceGroup*>(this);
    AddRef();
    return STATUS_SUCCESS;
  }
  return CUnknown::NonDelegatingQueryInterface(iid, object);
}

// The group stays alive while its DPC is queued: the DPC drops the reference it was queued with.
void ServiceGroup::QueueOnce() {
  NonDelegatingAddRef();
  if (!KeInsertQueueDpc(&mDpc, nullptr, nullptr)) NonDelegatingRelease();
}

void ServiceGroup::RequestService() {
  CheckIrqlAtMost(DISPATCH_LEVEL, "IServiceGroup::RequestService");
  QueueOnce();
}

void ServiceGroup::Deferred(PKDPC, PVOID context, PVOID, PVOID) {
  auto* self = static_cast<ServiceGroup*>(context);
  PSERVICESINK called[kMaxMembers];
  ULONG n = 0;
  KeAcquireSpinLockAtDpcLevel(&self->mLock);
  for (; n < self->mMemberCount; ++n) {
    called[n] = self->mMembers[n];
    called[n]->AddRef();
  }
  KeReleaseSpinLockFromDpcLevel(&self->mLock);
  for (ULONG i = 0; i < n; ++i) {
    called[i]->RequestService();
    called[i]->Release();
  }
  self->NonDelegatingRelease();
}

NTSTATUS ServiceGroup::AddMember(PSERVICESINK sink) {
  if (sink == nullptr) return STATUS_INVALID_PARAMETER;
  KIRQL irql;
  KeAcquireSpinLock(&mLock, &irql);
  if (mMemberCount == kMaxMembers) {
    KeReleaseSpinLock(&mLock, irql);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  sink->AddRef();
  mMembers[mMemberCount++] = sink;
  KeReleaseSpinLock(&mLock, irql);
  return STATUS_SUCCESS;
}

void ServiceGroup::RemoveMember(PSERVICESINK sink) {
  PSERVICESINK removed = nullptr;
  KIRQL irql;
  KeAcquireSpinLock(&mLock, &irql);
  for (ULONG i = 0; i < mMemberCount; ++i) {
    if (mMembers[i] != sink) continue;
    removed = sink;
    mMembers[i] = mMembers[--mMemberCount];
    mMembers[mMemberCount] = nullptr;
    break;
  }
  KeReleaseSpinLock(&mLock, irql);
  if (removed == nullptr) Violation("IServiceGroup::RemoveMember: the sink is not a member of the group");
  removed->Release();
}

void ServiceGroup::SupportDelayedService() { mDelayedSupported = TRUE; }

// The delay is in 100-ns units, negative for relative as KeSetTimer takes it.
void ServiceGroup::RequestDelayedService(ULONGLONG delay) {
  if (!mDelayedSupported) Violation("IServiceGroup::RequestDelayedService without SupportDelayedService");
  LARGE_INTEGER due;
  due.QuadPart = static_cast<LONGLONG>(delay);
  NonDelegatingAddRef();
  if (KeSetTimer(&mTimer, due, &mDpc)) NonDelegatingRelease();  // it was set already: one reference is enough
}

void ServiceGroup::CancelDelayedService() {
  if (KeCancelTimer(&mTimer)) NonDelegatingRelease();
}

}  // namespace plat::pc

NTSTATUS PcNewServiceGroup(PSERVICEGROUP* OutServiceGroup, PUNKNOWN OuterUnknown) {
  *OutServiceGroup = nullptr;
  auto* group = new (NonPagedPool) plat::pc::ServiceGroup(OuterUnknown);
  if (group == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  group->NonDelegatingAddRef();
  *OutServiceGroup = group;
  return STATUS_SUCCESS;
}
