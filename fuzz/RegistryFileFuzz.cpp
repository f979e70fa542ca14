// The saved registry file as the machine loads it at boot: the input is the file's text. A text
// that loads saves to a text that loads back to the same hive; a text that does not load leaves
// the hive as it was.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/kernel/RegistryHive.h"

using plat::RegistryHive;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  RegistryHive::Clear();
  constexpr std::u16string_view kKept = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Before";
  RegistryHive::CreateKey(kKept);
  RegistryHive::SetDword(kKept, u"Kept", 1);
  const std::string before = RegistryHive::ToText();
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string error;
  if (!RegistryHive::FromText(text, &error)) {
    if (error.empty() || RegistryHive::ToText() != before) std::abort();
    return 0;
  }
  const std::string saved = RegistryHive::ToText();
  RegistryHive::Clear();
  if (!RegistryHive::FromText(saved, &error) || RegistryHive::ToText() != saved) std::abort();
  return 0;
}
