// The child device on which the audio adapter loads: its identity, bus information and
// capabilities, and the standard bus interface with a DMA adapter whose common buffers are plain
// non-paged pool (the adapter's buffers are filled and drained by this driver, never by a bus
// master).
#pragma once

#include <wdm.h>

#include "driver/QX531PdoBase.h"

// The bus type the children report.
inline const GUID GUID_QX531_CHILD_BUS_TYPE = {
    0xD5AEA921, 0x17B5, 0x11D4, {0x87, 0x65, 0x00, 0x50, 0x04, 0xDF, 0x1A, 0x8A}};

class QX531AudioPdo : public QX531PdoBase {
 public:
  // Both identities carry a second terminator: the hardware ids are a list.
  static constexpr WCHAR kDeviceId[] = L"QX5310\\*HVN0007\0";
  static constexpr WCHAR kHardwareIds[] = L"*HVN0007\0";
  static constexpr ULONG kInstanceIdBytes = 24;
  static constexpr ULONG kMapRegisters = 8;
  static constexpr ULONG kDmaAlignment = 4;

  // Makes the device object with the child in its extension; null when it cannot be made.
  // `*status` is the child's construction status when one was made.
  static QX531AudioPdo* Create(PnpDeviceBase* parent, QX531ChildList* list, ULONG unitValue, NTSTATUS* status);

  QX531AudioPdo(ULONG stamp, const DeviceCreation& made, PnpDeviceBase* parent, QX531ChildList* list, ULONG unitValue);
  ~QX531AudioPdo() override;

  NTSTATUS Create(PIRP irp) override;
  NTSTATUS Close(PIRP irp) override;
  NTSTATUS OnQueryInterface(PIRP irp) override;
  NTSTATUS OnQueryCapabilities(PIRP irp) override;
  NTSTATUS OnQueryResources(PIRP irp) override;
  NTSTATUS OnQueryResourceRequirements(PIRP irp) override;
  NTSTATUS OnQueryId(PIRP irp) override;
  NTSTATUS OnQueryBusInformation(PIRP irp) override;
  NTSTATUS OnDeviceUsageNotification(PIRP irp) override;

  // The standard bus interface's adapter: null for a description of version 2 or above.
  static PDMA_ADAPTER GetDmaAdapter(PVOID context, PDEVICE_DESCRIPTION description, PULONG numberOfMapRegisters);

  PnpDeviceBase* mParent;
  PWCHAR mDeviceId = nullptr;
  PWCHAR mHardwareIds = nullptr;
  ULONG mUnitValue;

 private:
  NTSTATUS AnswerBusInterface(PIRP irp);
  NTSTATUS AnswerDirectInterface(PIRP irp);
};
