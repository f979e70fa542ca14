// Renaming an expansion unit's MIDI port: the "FriendlyName" of its "MidiKR6" interfaces in the
// three audio interface classes, found through the unit instance table.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "driver/UnitInstanceTable.h"
#include "platform/kernel/KernelHandles.h"
#include "platform/kernel/Pool.h"
#include "tests/driver/WinDeviceRig.h"

namespace {

using drivertest::WinDeviceRig;

constexpr GUID kAudio = {0x6994AD04, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
constexpr GUID kCapture = {0x65E8773E, 0x8F56, 0x11D0, {0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
constexpr GUID kRender = {0x65E8773D, 0x8F56, 0x11D0, {0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
constexpr uint32_t kSerial = 4242;

// One interface of the child, with the value an install file gave it.
struct Port {
  UNICODE_STRING link{};
};

UnitNameRecord Record(uint32_t serial, const std::string& name) {
  UnitNameRecord record{};
  record.mSerial = serial;
  std::memcpy(record.mName, name.data(), std::min(name.size(), sizeof record.mName));
  return record;
}

class PortNames : public testing::Test {
 protected:
  void SetUp() override {
    child = rig.device->pdo;
    gUnitInstances = UnitInstanceTable{};
    RegisterUnitInstance(child, kSerial);
  }
  void TearDown() override {
    for (Port& p : ports) RtlFreeUnicodeString(&p.link);
    gUnitInstances = UnitInstanceTable{};
  }

  // An enabled interface with its first "FriendlyName" (raw value data).
  size_t AddPort(const GUID& interfaceClass, PCWSTR reference, ULONG type, const void* data, ULONG bytes) {
    UNICODE_STRING ref;
    RtlInitUnicodeString(&ref, reference);
    Port p;
    EXPECT_EQ(IoRegisterDeviceInterface(child, &interfaceClass, &ref, &p.link), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&p.link, TRUE), STATUS_SUCCESS);
    HANDLE key;
    EXPECT_EQ(IoOpenDeviceInterfaceRegistryKey(&p.link, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"FriendlyName");
    EXPECT_EQ(ZwSetValueKey(key, &name, 0, type, const_cast<void*>(data), bytes), STATUS_SUCCESS);
    ZwClose(key);
    ports.push_back(p);
    return ports.size() - 1;
  }
  size_t AddNamedPort(const GUID& interfaceClass, PCWSTR reference, const std::u16string& friendly) {
    return AddPort(interfaceClass, reference, REG_SZ, friendly.c_str(), static_cast<ULONG>((friendly.size() + 1) * 2));
  }

  // The value's data as stored.
  std::vector<uint8_t> Raw(size_t port) {
    HANDLE key;
    EXPECT_EQ(IoOpenDeviceInterfaceRegistryKey(&ports[port].link, KEY_READ, &key), STATUS_SUCCESS);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"FriendlyName");
    std::vector<uint8_t> info(1024);
    ULONG returned = 0;
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, info.data(), static_cast<ULONG>(info.size()), &returned),
              STATUS_SUCCESS);
    ZwClose(key);
    auto* value = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(info.data());
    return std::vector<uint8_t>(value->Data, value->Data + value->DataLength);
  }
  std::u16string Name(size_t port) {
    std::vector<uint8_t> raw = Raw(port);
    std::u16string text(raw.size() / 2, u'\0');
    std::memcpy(text.data(), raw.data(), text.size() * 2);
    return text.substr(0, text.find(u'\0'));
  }

  sim::Kr6Unit unit{kSerial};
  WinDeviceRig rig{unit};
  drivertest::TestUnit& win = *rig.win;
  PDEVICE_OBJECT child = nullptr;
  std::vector<Port> ports;
};

TEST_F(PortNames, TheExpansionPortsOfEveryClassTakeTheNewName) {
  const size_t audio = AddNamedPort(kAudio, L"MidiKR6", u"KR-6 4242");
  const size_t capture = AddNamedPort(kCapture, L"MidiKR6", u"KR-6 4242");
  const size_t render = AddNamedPort(kRender, L"MidiKR6", u"KR-6 4242");
  const size_t other = AddNamedPort(kAudio, L"MidiC", u"Control port");
  EXPECT_EQ(win.SetMidiPortName(Record(kSerial, "Left desk")), 0);
  EXPECT_EQ(Name(audio), u"Left desk");
  EXPECT_EQ(Name(capture), u"Left desk");
  EXPECT_EQ(Name(render), u"Left desk");
  EXPECT_EQ(Name(other), u"Control port");
  EXPECT_EQ(Raw(audio).size(), sizeof(u"Left desk")) << "the terminator is stored";
}

TEST_F(PortNames, OnlyAnExactlyMatchingLinkIsRenamed) {
  const size_t caseOnly = AddNamedPort(kAudio, L"midikr6", u"KR-6 4242");
  const size_t exact = AddNamedPort(kCapture, L"MidiKR6", u"KR-6 4242");
  EXPECT_EQ(win.SetMidiPortName(Record(kSerial, "Right desk")), 0);
  EXPECT_EQ(Name(caseOnly), u"KR-6 4242");
  EXPECT_EQ(Name(exact), u"Right desk");
}

TEST_F(PortNames, TheSameNameWritesNothing) {
  // What follows the terminator would go with a write.
  const char16_t stored[] = u"KR-6 4242\0tail";
  const size_t port = AddPort(kAudio, L"MidiKR6", REG_SZ, stored, sizeof stored);
  EXPECT_EQ(win.SetMidiPortName(Record(kSerial, "KR-6 4242")), 0);
  EXPECT_EQ(Raw(port).size(), sizeof stored);
}

TEST_F(PortNames, ALongNameIsCutToSixtyFourCharactersAndCanBeRenamedAgain) {
  const size_t port = AddNamedPort(kRender, L"MidiKR6", u"KR-6 4242");
  const std::string full(64, 'x');  // a record name with no terminator
  EXPECT_EQ(win.SetMidiPortName(Record(kSerial, full)), 0);
  EXPECT_EQ(Name(port), std::u16string(63, u'x'));
  EXPECT_EQ(Raw(port).size(), 64u * 2) << "63 characters and the terminator";
  EXPECT_EQ(win.SetMidiPortName(Record(kSerial, std::string(60, 'y'))), 0);
  EXPECT_EQ(Name(port), std::u16string(60, u'y'));
}

TEST_F(PortNames, ANameThatCannotBeReadIsLeftAlone) {
  const std::u16string tooLong(80, u'z');
  const size_t unreadable = AddNamedPort(kAudio, L"MidiKR6", tooLong);
  const size_t port = AddNamedPort(kCapture, L"MidiKR6", u"KR-6 4242");
  EXPECT_EQ(win.SetMidiPortName(Record(kSerial, "Desk")), 0);
  EXPECT_EQ(Name(unreadable), tooLong);
  EXPECT_EQ(Name(port), u"Desk");
}

TEST_F(PortNames, ANameThatIsNoStringStopsTheRenameWithNothingLeftOpen) {
  const ULONG number = 7;
  const size_t first = AddPort(kAudio, L"MidiKR6", REG_DWORD, &number, sizeof number);
  const size_t later = AddNamedPort(kRender, L"MidiKR6", u"KR-6 4242");
  const size_t handles = plat::KernelHandles::OpenCount();
  const size_t allocations = plat::PoolLedger::OutstandingAllocations();
  EXPECT_EQ(win.SetMidiPortName(Record(kSerial, "Desk")), 99);
  EXPECT_EQ(plat::KernelHandles::OpenCount(), handles);
  EXPECT_EQ(plat::PoolLedger::OutstandingAllocations(), allocations);
  EXPECT_EQ(Raw(first).size(), sizeof number);
  EXPECT_EQ(Name(later), u"KR-6 4242");
}

TEST_F(PortNames, NoUnitOfThatSerialRenamesNothing) {
  const size_t port = AddNamedPort(kAudio, L"MidiKR6", u"KR-6 4242");
  EXPECT_EQ(win.SetMidiPortName(Record(kSerial + 1, "Desk")), 0);
  EXPECT_EQ(Name(port), u"KR-6 4242");
}

TEST_F(PortNames, ASeventeenthUnitsPortCannotBeRenamed) {
  gUnitInstances = UnitInstanceTable{};
  for (LONG serial = 1; serial <= 16; ++serial) RegisterUnitInstance(reinterpret_cast<PDEVICE_OBJECT>(serial * 16), serial);
  RegisterUnitInstance(child, kSerial);
  const size_t port = AddNamedPort(kAudio, L"MidiKR6", u"KR-6 4242");
  EXPECT_EQ(win.SetMidiPortName(Record(kSerial, "Desk")), 0);
  EXPECT_EQ(Name(port), u"KR-6 4242");
}

TEST_F(PortNames, AShortageOfMemoryFailsAndLeavesNothing) {
  const size_t port = AddNamedPort(kAudio, L"MidiKR6", u"KR-6 4242");
  const size_t handles = plat::KernelHandles::OpenCount();
  const size_t allocations = plat::PoolLedger::OutstandingAllocations();
  plat::PoolLedger::FailTag(DerivedPoolTag, true);
  EXPECT_EQ(win.SetMidiPortName(Record(kSerial, "Desk")), 99);
  plat::PoolLedger::FailTag(DerivedPoolTag, false);
  EXPECT_EQ(plat::KernelHandles::OpenCount(), handles);
  EXPECT_EQ(plat::PoolLedger::OutstandingAllocations(), allocations);
  EXPECT_EQ(Name(port), u"KR-6 4242");
}

}  // namespace
