// The "MidiKR6" port's name end to end: the adapter's install gives each of its interfaces its
// first "FriendlyName", and renaming the expansion unit from user mode rewrites them all.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/units/Kr6Unit.h"
#include "sim/units/MainUnit.h"
#include "tests/wdm/WdmRig.h"
#include "platform/kernel/WideText.h"

namespace {

using wdmtest::WdmRig;

std::u16string FriendlyName(const std::u16string& text) {
  plat::WideString link(text);
  UNICODE_STRING name{static_cast<USHORT>(link.size() * 2), static_cast<USHORT>(link.size() * 2), link.data()};
  HANDLE key = nullptr;
  if (!NT_SUCCESS(IoOpenDeviceInterfaceRegistryKey(&name, KEY_READ, &key))) return u"<no key>";
  UNICODE_STRING value;
  RtlInitUnicodeString(&value, L"FriendlyName");
  std::vector<uint8_t> info(512);
  ULONG returned = 0;
  const NTSTATUS status = ZwQueryValueKey(key, &value, KeyValuePartialInformation, info.data(),
                                          static_cast<ULONG>(info.size()), &returned);
  ZwClose(key);
  if (!NT_SUCCESS(status)) return u"<no value>";
  return std::u16string(reinterpret_cast<const char16_t*>(reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(info.data())->Data));
}

TEST(AdapterPortName, RenamingAnExpansionUnitRenamesItsMidiKR6Interfaces) {
  WdmRig rig;
  sim::MainUnit main;
  sim::Kr6Unit kr6(7);
  rig.Plug(main);
  rig.Plug(kr6);
  const std::vector<plat::PcSubdeviceInfo> subdevices = plat::PcSubdevices(rig.ChildOf(kr6));
  ASSERT_EQ(subdevices.size(), 1u);
  ASSERT_EQ(subdevices[0].links.size(), 3u) << "audio, render and capture";
  for (const std::u16string& link : subdevices[0].links) EXPECT_EQ(FriendlyName(link), u"KR-6") << "from the install";

  const uint32_t serial = kr6.Serial();
  EXPECT_TRUE(rig.RenameUnit(serial, "Left wing"));
  for (const std::u16string& link : subdevices[0].links) EXPECT_EQ(FriendlyName(link), u"Left wing");
  const std::vector<plat::PcSubdeviceInfo> mainSubdevices = plat::PcSubdevices(rig.ChildOf(main));
  ASSERT_FALSE(mainSubdevices.empty());
  EXPECT_EQ(FriendlyName(mainSubdevices[0].links[0]), u"QX-5310 MIDI 1") << "the main unit's ports keep theirs";
}

}  // namespace
