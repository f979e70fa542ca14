// A service group: RequestService queues the group's DPC (or a delayed one through its timer),
// which calls every member's RequestService at DISPATCH_LEVEL. The group and each member called
// are referenced while the DPC runs, so a member removed meanwhile is still alive for its call.
#pragma once

#include "platform/portcls/PcObject.h"

namespace plat::pc {

class ServiceGroup final : public CUnknown, public IServiceGroup, public PoolObject {
 public:
  explicit ServiceGroup(PUNKNOWN outer);
  ~ServiceGroup() override;
  DECLARE_STD_UNKNOWN()

  void RequestService() override;
  NTSTATUS AddMember(PSERVICESINK sink) override;
  void RemoveMember(PSERVICESINK sink) override;
  void SupportDelayedService() override;
  void RequestDelayedService(ULONGLONG delay) override;
  void CancelDelayedService() override;

  static constexpr ULONG kMaxMembers = 16;

 private:
  static void Deferred(PKDPC dpc, PVOID context, PVOID, PVOID);
  void QueueOnce();

  KSPIN_LOCK mLock;
  PSERVICESINK mMembers[kMaxMembers] = {};
  ULONG mMemberCount = 0;
  KDPC mDpc;
  KTIMER mTimer;
  BOOLEAN mDelayedSupported = FALSE;
};

}  // namespace plat::pc
