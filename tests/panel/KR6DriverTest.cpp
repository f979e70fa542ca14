// The KR-6 page end to end: the unit driver and the audio adapter loaded from their images, a main
// unit and three simulated KR-6 units. Identify blinks the lamp at the chosen unit; Apply reaches
// the driver's stored settings and the MIDI port name of the unit it renamed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "panel/resource.h"
#include "platform/kernel/KernelHandles.h"
#include "platform/kernel/PnpManager.h"
#include "platform/kernel/Pool.h"
#include "platform/kernel/RegistryHive.h"
#include "sim/host/AdapterPorts.h"
#include "sim/units/Kr6Unit.h"
#include "tests/client/DriverMachine.h"
#include "tests/panel/PanelSpy.h"
#include "tests/panel/WindowDump.h"
#include "unit/PreferencesBlock.h"

namespace {

namespace input = plat::win32::input;
using ptest::kPanelCaption;
using ptest::kPanelImage;
using ptest::Process;

constexpr size_t kKr6Page = 4;
constexpr char kPage[] = "KR-6";
constexpr char kBoxCaption[] = "KR-6 Name Update";
constexpr uint16_t kEnd = 0x23;     // VK_END: the kernel's headers and <windows.h> stay apart
constexpr uint16_t kEscape = 0x1B;  // VK_ESCAPE
constexpr int kOk = 1;              // IDOK
constexpr uint32_t kSerials[] = {501, 502, 503};
constexpr uint16_t kIdentifyLamp = 89;
constexpr uint32_t kLampRegister = 0x404;

class Kr6OnDriver : public testing::Test {
 protected:
  Kr6OnDriver() {
    // The audio adapter is installed as its installer would: bound to the units' audio children.
    plat::PnpRegisterService(u"qx5310wdm", u"QX5310Wdm.sys");
    plat::RegistryHive::CreateKey(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\qx5310wdm");
    plat::PnpBindHardwareId(u"*HVN0007", u"qx5310wdm");
    m_.PlugMain();
    for (uint32_t serial : kSerials) m_.PlugKr6(serial);
    m_.Settle();
    spy_ = std::make_unique<ptest::Spy>(m_.Run());
    panel_ = std::make_unique<Process>(kPanelImage);
    EXPECT_TRUE(ptest::RunUntil([] { return !ptest::TopLevelLines(kPanelCaption).empty(); }, 10000));
    ptest::RunFor(600);
    const ptest::Spy::Rect tab = spy_->TabRect(static_cast<int>(kKr6Page));
    input::Click(input::Target(kPanelCaption, "", {0x3020}),
                 input::Point{(tab.left + tab.right) / 2, (tab.top + tab.bottom) / 2});
  }
  ~Kr6OnDriver() override {
    if (!panel_->Ended()) {
      if (!spy_->Sheet().visible) Process(kPanelImage).WaitEnd(2000);
      input::Key(input::Target(kPanelCaption), kEscape, true);
      EXPECT_TRUE(panel_->WaitEnd(2000));
    }
    panel_.reset();
    spy_.reset();
  }

  ptest::ControlState Name(int i) { return spy_->Control(kPage, IDC_NAME_FIRST + i); }
  // The edit that shows the unit's name.
  int EditOf(uint32_t serial) {
    for (int i = 0; i < 15; ++i)
      if (Name(i).text == "KR-6 " + std::to_string(serial)) return i;
    return -1;
  }
  bool Click(int id) { return input::Click(input::Target(kPanelCaption, kPage, {id})); }

  // The lamp writes of lamp 89 that reached the unit: time in ms and state.
  std::vector<std::pair<int64_t, uint32_t>> IdentifyLampWrites(uint32_t serial) {
    sim::Kr6Unit& unit = m_.Kr6(serial);
    const std::optional<uint8_t> number = unit.GetSurface().Layout().LampNumber(kIdentifyLamp);
    std::vector<std::pair<int64_t, uint32_t>> writes;
    if (!number) return writes;
    for (const sim::RegisterWrite& w : unit.WriteLog())
      if (w.offset == kLampRegister && (w.value & 0xFF) == *number) writes.emplace_back(w.time / 1000000, w.value >> 16);
    return writes;
  }

  // The names the driver stored in "Preferences", by serial.
  std::string StoredName(uint32_t serial) {
    plat::RegistryValue value;
    if (!NT_SUCCESS(plat::RegistryHive::QueryValue(
            u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\qx5310\\Parameters", u"Preferences", &value)) ||
        value.data.size() != sizeof(PreferencesBlock))
      return "(none)";
    PreferencesBlock block;
    std::memcpy(&block, value.data.data(), sizeof block);
    for (const UnitNameRecord& r : block.mUnitNames)
      if (r.mSerial == serial) return std::string(r.mName, strnlen(r.mName, sizeof r.mName));
    return "(no record)";
  }

  // The friendly names of every "MidiKR6" interface of the audio category.
  static std::vector<std::u16string> MidiKr6Names() { return host::MidiKr6FriendlyNames(); }

  ctest::DriverMachine m_;
  std::unique_ptr<ptest::Spy> spy_;
  std::unique_ptr<Process> panel_;
};

TEST_F(Kr6OnDriver, EveryUnitHasAnEnabledEditWithItsName) {
  for (uint32_t serial : kSerials) EXPECT_GE(EditOf(serial), 0) << serial;
  for (int i = 0; i < 15; ++i) EXPECT_EQ(Name(i).enabled, i < 3) << i;
}

TEST_F(Kr6OnDriver, IdentifyTurnsTheChosenUnitsLampOffAndBackOn300MsLater) {
  const int edit = EditOf(502);
  ASSERT_GE(edit, 0);
  Click(IDC_NAME_FIRST + edit);
  for (uint32_t serial : kSerials) m_.Kr6(serial).ClearWriteLog();
  ASSERT_TRUE(Click(IDC_IDENTIFY));
  ptest::RunFor(100);
  const auto writes = IdentifyLampWrites(502);
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].second, 0u);
  EXPECT_EQ(writes[1].second, 1u);
  EXPECT_GE(writes[1].first - writes[0].first, 300);
  EXPECT_LE(writes[1].first - writes[0].first, 310);
  EXPECT_TRUE(IdentifyLampWrites(501).empty());
  EXPECT_TRUE(IdentifyLampWrites(503).empty());
}

TEST_F(Kr6OnDriver, ApplyReachesTheStoredSettingsAndTheRenamedUnitsMidiPort) {
  const int edit = EditOf(503);
  ASSERT_GE(edit, 0);
  Click(IDC_NAME_FIRST + edit);
  input::Key(input::Target(kPanelCaption), kEnd);
  input::Type(input::Target(kPanelCaption), " right");
  ASSERT_TRUE(Click(IDC_APPLY_NAMES));
  EXPECT_EQ(spy_->MessageBoxText(kBoxCaption),
            "The KR-6's Midi port name has been updated,\nand will become effective the next time\nyou power up the "
            "device.");
  input::Click(input::Target(kBoxCaption, "", {kOk}));
  ptest::RunFor(600);
  EXPECT_EQ(StoredName(503), "KR-6 503 right");
  EXPECT_EQ(StoredName(501), "KR-6 501");
  const std::vector<std::u16string> ports = MidiKr6Names();
  EXPECT_EQ(std::count(ports.begin(), ports.end(), u"KR-6 503 right"), 1) << "one port of the renamed unit";
  EXPECT_EQ(Name(edit).text, "KR-6 503 right") << "the poll brings the new name back";
  input::Click(input::Target(kPanelCaption, kPage, {IDC_NAME_FIRST}));
}

}  // namespace
