// A small user image, built as a 64-bit LoaderProbe.dll and a 32-bit LoaderProbe32.dll: its load-
// time entry counts attaches and detaches in the machine's registry, where the test reads them
// after the image is gone, and Bump shows whose copy of its globals a caller reaches. Built with
// PROBE_ENTRY=DllEntryPoint (EntryPointProbe.dll) the same routine is an ordinary export in the
// shape of a DLL entry, which the loader never calls.
#include <cstring>
#include <string>

#include "platform/kernel/ImageExport.h"
#include "platform/kernel/RegistryHive.h"
#include "tests/platform/kernel/images/LoaderProbe.h"

namespace {

LONG gBumps = 0;

ULONG Read(std::u16string_view value) {
  plat::RegistryValue found;
  ULONG n = 0;
  if (NT_SUCCESS(plat::RegistryHive::QueryValue(loaderprobe::kKey, value, &found)) && found.data.size() == sizeof n)
    std::memcpy(&n, found.data.data(), sizeof n);
  return n;
}

void Count(std::u16string_view event) {
  ULONG n = Read(event);
  plat::RegistryHive::CreateKey(loaderprobe::kKey);
  plat::RegistryHive::SetDword(loaderprobe::kKey, event, n + 1);
}

}  // namespace

#ifndef PROBE_ENTRY
#define PROBE_ENTRY DllMain
#endif

extern "C" QX_IMAGE_EXPORT LONG PROBE_ENTRY(void*, ULONG reason, void* reserved) {
  if (reason == 1) {
    Count(u"Attaches");
    return Read(u"FailAttach") != 0 ? 0 : 1;
  }
  if (reason == 0) Count(reserved != nullptr ? u"DetachesAtExit" : u"Detaches");
  return 1;
}

extern "C" QX_IMAGE_EXPORT LONG Bump() { return ++gBumps; }
