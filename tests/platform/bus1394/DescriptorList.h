// A list of isochronous descriptors over slots of one non-paged buffer, each slot with its own
// MDL; the last descriptor's callback notes when the list came back.
#pragma once

#include <cstring>
#include <functional>
#include <vector>

#include "platform/kernel/include/wdm.h"
#include <1394.h>

namespace bus1394test {

constexpr ULONG kDescriptorTag = plat::PoolTag("T394");
inline int gListOrder = 0;  // of the lists' callbacks, counted by the test

struct DescriptorList {
  DescriptorList(ULONG count, ULONG slot) : slotBytes(slot), d(count) {
    data = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, count * slot, kDescriptorTag));
    std::memset(data, 0, count * slot);
    for (ULONG j = 0; j < count; ++j) {
      PMDL mdl = IoAllocateMdl(data + j * slot, slot, FALSE, FALSE, nullptr);
      MmBuildMdlForNonPagedPool(mdl);
      d[j].Mdl = mdl;
      d[j].ulLength = d[j].nMaxBytesPerFrame = slot;
      d[j].ulTag = 1;
    }
    d.back().Callback = [](PVOID context1, PVOID) {
      auto* list = static_cast<DescriptorList*>(context1);
      list->callbacks += 1;
      list->irql = KeGetCurrentIrql();
      list->order = ++gListOrder;
      if (list->then) list->then(*list);
    };
    d.back().Context1 = this;
  }
  ~DescriptorList() {
    for (auto& x : d) IoFreeMdl(x.Mdl);
    ExFreePoolWithTag(data, kDescriptorTag);
  }
  DescriptorList(const DescriptorList&) = delete;
  DescriptorList& operator=(const DescriptorList&) = delete;

  uint8_t* Slot(ULONG j) { return data + j * slotBytes; }
  uint32_t Le32(ULONG j, ULONG at) {
    const uint8_t* p = Slot(j) + at;
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
  }
  void SetCycleTime(ULONG j, uint32_t word) { std::memcpy(&d[j].CycleTime, &word, 4); }

  ULONG slotBytes;
  std::vector<ISOCH_DESCRIPTOR> d;
  uint8_t* data = nullptr;
  int callbacks = 0;
  KIRQL irql = 0xFF;
  int order = 0;
  std::function<void(DescriptorList&)> then;  // runs in the callback, at DISPATCH_LEVEL
};

}  // namespace bus1394test
