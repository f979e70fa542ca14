#include "platform/portcls/Installer.h"

#include <fstream>
#include <string>

#include "platform/kernel/Loader.h"

namespace plat::pc {
namespace {

std::u16string Upper(std::u16string s) {
  for (auto& c : s)
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  return s;
}

// The friendly name the description gives `subdevice`; empty when it gives none. The file is
// UTF-8; names outside ASCII are not needed by any adapter here and are kept byte for byte.
std::u16string FriendlyNameOf(const std::string& file, const std::u16string& subdevice) {
  std::ifstream in(file);
  std::string line;
  std::u16string wanted = Upper(subdevice);
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == ';') continue;
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::u16string ref(line.begin(), line.begin() + static_cast<std::ptrdiff_t>(eq));
    if (Upper(ref) == wanted) return std::u16string(line.begin() + static_cast<std::ptrdiff_t>(eq) + 1, line.end());
  }
  return {};
}

}  // namespace

void InstallFriendlyNames(PDRIVER_OBJECT driver, const std::u16string& subdevice, const std::vector<UNICODE_STRING>& links) {
  PAGED_CODE();
  std::u16string image = LdrDriverImage(driver);
  size_t dot = image.rfind(u'.');
  if (image.empty() || dot == std::u16string::npos) return;
  std::string file = LdrFileBesideImages(image.substr(0, dot) + u".inx");
  if (file.empty()) return;
  std::u16string friendly = FriendlyNameOf(file, subdevice);
  if (friendly.empty()) return;
  UNICODE_STRING valueName;
  RtlInitUnicodeString(&valueName, L"FriendlyName");
  for (const UNICODE_STRING& link : links) {
    UNICODE_STRING name = link;
    HANDLE key = nullptr;
    if (!NT_SUCCESS(IoOpenDeviceInterfaceRegistryKey(&name, KEY_ALL_ACCESS, &key))) continue;
    ULONG needed = 0;
    NTSTATUS present = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, nullptr, 0, &needed);
    if (present == STATUS_OBJECT_NAME_NOT_FOUND) {
      std::u16string data = friendly;
      ZwSetValueKey(key, &valueName, 0, REG_SZ, data.data(), static_cast<ULONG>((data.size() + 1) * sizeof(WCHAR)));
    }
    ZwClose(key);
  }
}

}  // namespace plat::pc
