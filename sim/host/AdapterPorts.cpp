#include "sim/host/AdapterPorts.h"

#include <cstring>
#include <string_view>

#include "platform/kernel/PnpManager.h"
#include "platform/kernel/Pool.h"
#include "platform/kernel/Registry.h"
#include "platform/kernel/Rtl.h"

namespace host {

namespace {

// KSCATEGORY_AUDIO, under which the adapter registers each KR-6's "MidiKR6".
constexpr GUID kAudioCategory = {0x6994AD04, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
constexpr std::u16string_view kMidiKr6 = u"\\MidiKR6";

}  // namespace

std::vector<std::u16string> MidiKr6FriendlyNames() {
  std::vector<std::u16string> names;
  PWSTR list = nullptr;
  if (!NT_SUCCESS(IoGetDeviceInterfaces(&kAudioCategory, nullptr, 0, &list))) return names;
  for (PWSTR link = list; *link != 0; link += std::char_traits<char16_t>::length(reinterpret_cast<char16_t*>(link)) + 1) {
    const std::u16string_view path(reinterpret_cast<char16_t*>(link));
    if (!path.ends_with(kMidiKr6)) continue;
    UNICODE_STRING linkName{static_cast<USHORT>(path.size() * 2), static_cast<USHORT>(path.size() * 2), link};
    HANDLE key;
    if (!NT_SUCCESS(IoOpenDeviceInterfaceRegistryKey(&linkName, KEY_READ, &key))) continue;
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, L"FriendlyName");
    std::vector<uint8_t> info(512);
    ULONG returned = 0;
    if (NT_SUCCESS(ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, info.data(),
                                   static_cast<ULONG>(info.size()), &returned))) {
      const auto* value = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(info.data());
      std::u16string friendly(value->DataLength / 2, u'\0');
      std::memcpy(friendly.data(), value->Data, friendly.size() * 2);
      names.push_back(friendly.substr(0, friendly.find(u'\0')));
    }
    ZwClose(key);
  }
  ExFreePool(list);
  return names;
}

}  // namespace host
