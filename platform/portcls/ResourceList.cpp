#include "platform/portcls/ResourceList.h"

#include <cstring>

namespace plat::pc {

NTSTATUS ResourceList::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (IsEqualGUID(iid, IID_IResourceList)) {
    *object = static_cast<IResourceList*>(this);
    AddRef();
    return STATUS_SUCCESS;
  }
  return CUnknown::NonDelegatingQueryInterface(iid, object);
}

NTSTATUS ResourceList::Fill(PCM_RESOURCE_LIST translated, PCM_RESOURCE_LIST untranslated) {
  auto take = [](PCM_RESOURCE_LIST list, std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR>& into) {
    if (list == nullptr || list->Count == 0) return;
    const CM_PARTIAL_RESOURCE_LIST& partial = list->List[0].PartialResourceList;
    into.assign(partial.PartialDescriptors, partial.PartialDescriptors + partial.Count);
  };
  take(translated, mTranslated);
  take(untranslated, mUntranslated);
  return mTranslated.size() == mUntranslated.size() ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

ULONG ResourceList::NumberOfEntries() { return static_cast<ULONG>(mTranslated.size()); }

ULONG ResourceList::NumberOfEntriesOfType(UCHAR type) {
  ULONG n = 0;
  for (const auto& d : mTranslated) n += d.Type == type ? 1 : 0;
  return n;
}

PCM_PARTIAL_RESOURCE_DESCRIPTOR ResourceList::Find(std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR>& list, UCHAR type,
                                                   ULONG index) {
  for (auto& d : list)
    if (d.Type == type && index-- == 0) return &d;
  return nullptr;
}

PCM_PARTIAL_RESOURCE_DESCRIPTOR ResourceList::FindTranslatedEntry(UCHAR type, ULONG index) {
  return Find(mTranslated, type, index);
}

PCM_PARTIAL_RESOURCE_DESCRIPTOR ResourceList::FindUntranslatedEntry(UCHAR type, ULONG index) {
  return Find(mUntranslated, type, index);
}

NTSTATUS ResourceList::AddEntry(PCM_PARTIAL_RESOURCE_DESCRIPTOR translated, PCM_PARTIAL_RESOURCE_DESCRIPTOR untranslated) {
  PAGED_CODE();
  if (translated == nullptr || untranslated == nullptr) return STATUS_INVALID_PARAMETER;
  mTranslated.push_back(*translated);
  mUntranslated.push_back(*untranslated);
  return STATUS_SUCCESS;
}

NTSTATUS ResourceList::AddEntryFromParent(IResourceList* parent, UCHAR type, ULONG index) {
  PAGED_CODE();
  if (parent == nullptr) return STATUS_INVALID_PARAMETER;
  PCM_PARTIAL_RESOURCE_DESCRIPTOR t = parent->FindTranslatedEntry(type, index);
  PCM_PARTIAL_RESOURCE_DESCRIPTOR u = parent->FindUntranslatedEntry(type, index);
  if (t == nullptr || u == nullptr) return STATUS_INVALID_PARAMETER;
  return AddEntry(t, u);
}

PCM_RESOURCE_LIST ResourceList::Build(std::vector<UCHAR>& bytes, const std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR>& list) {
  size_t extra = list.empty() ? 0 : list.size() - 1;
  bytes.assign(sizeof(CM_RESOURCE_LIST) + extra * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR), 0);
  auto* out = reinterpret_cast<PCM_RESOURCE_LIST>(bytes.data());
  out->Count = 1;
  out->List[0].PartialResourceList.Version = 1;
  out->List[0].PartialResourceList.Revision = 1;
  out->List[0].PartialResourceList.Count = static_cast<ULONG>(list.size());
  if (!list.empty())
    std::memcpy(out->List[0].PartialResourceList.PartialDescriptors, list.data(), list.size() * sizeof list[0]);
  return out;
}

PCM_RESOURCE_LIST ResourceList::TranslatedList() { return Build(mTranslatedBytes, mTranslated); }
PCM_RESOURCE_LIST ResourceList::UntranslatedList() { return Build(mUntranslatedBytes, mUntranslated); }

}  // namespace plat::pc

NTSTATUS PcNewResourceList(PRESOURCELIST* OutResourceList, PUNKNOWN OuterUnknown, POOL_TYPE PoolType,
                           PCM_RESOURCE_LIST TranslatedResources, PCM_RESOURCE_LIST UntranslatedResources) {
  PAGED_CODE();
  *OutResourceList = nullptr;
  auto* list = new (PoolType) plat::pc::ResourceList(OuterUnknown);
  if (list == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  list->NonDelegatingAddRef();
  NTSTATUS status = list->Fill(TranslatedResources, UntranslatedResources);
  if (!NT_SUCCESS(status)) {
    list->NonDelegatingRelease();
    return status;
  }
  *OutResourceList = list;
  return STATUS_SUCCESS;
}
