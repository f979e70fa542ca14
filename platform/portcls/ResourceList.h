// The resources an adapter is started with, translated and raw side by side.
#pragma once

#include <vector>

#include "platform/portcls/PcObject.h"

namespace plat::pc {

class ResourceList final : public CUnknown, public IResourceList, public PoolObject {
 public:
  explicit ResourceList(PUNKNOWN outer) : CUnknown(outer) {}
  DECLARE_STD_UNKNOWN()

  // Takes the partial descriptors of the first full descriptor of each list (either may be null).
  NTSTATUS Fill(PCM_RESOURCE_LIST translated, PCM_RESOURCE_LIST untranslated);

  ULONG NumberOfEntries() override;
  ULONG NumberOfEntriesOfType(UCHAR type) override;
  PCM_PARTIAL_RESOURCE_DESCRIPTOR FindTranslatedEntry(UCHAR type, ULONG index) override;
  PCM_PARTIAL_RESOURCE_DESCRIPTOR FindUntranslatedEntry(UCHAR type, ULONG index) override;
  NTSTATUS AddEntry(PCM_PARTIAL_RESOURCE_DESCRIPTOR translated, PCM_PARTIAL_RESOURCE_DESCRIPTOR untranslated) override;
  NTSTATUS AddEntryFromParent(IResourceList* parent, UCHAR type, ULONG index) override;
  PCM_RESOURCE_LIST TranslatedList() override;
  PCM_RESOURCE_LIST UntranslatedList() override;

 private:
  static PCM_PARTIAL_RESOURCE_DESCRIPTOR Find(std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR>& list, UCHAR type, ULONG index);
  PCM_RESOURCE_LIST Build(std::vector<UCHAR>& bytes, const std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR>& list);

  std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> mTranslated;
  std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> mUntranslated;
  std::vector<UCHAR> mTranslatedBytes;
  std::vector<UCHAR> mUntranslatedBytes;
};

}  // namespace plat::pc
