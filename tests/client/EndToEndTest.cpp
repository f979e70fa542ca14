// The library against the unit driver itself, on the simulated bus with a main unit and three KR-6
// units: discovery and slots, a setting one program changes seen by another's poll, renames and
// swaps of the unit records, arrival and removal, a KR-6 flash update checked at the unit, and the
// display text a host sends to the surfaces read back from the active unit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "client/FlashRegisters.h"
#include "tests/client/DriverMachine.h"
#include "tests/client/TestClient.h"

namespace {

using ctest::DriverMachine;
using ctest::Program;
using Notes = std::vector<std::string>;

constexpr uint32_t kKr6Serials[] = {3, 4, 5};

// A program with the library open on every unit and its first poll done.
struct Client {
  explicit Client(DriverMachine& m, unsigned bits = 64) : program(m.Run(), bits) {
    program.Do([&] {
      client = std::make_unique<TestClient>();
      client->EnumerateDevices(kQX531InterfaceClass);
      client->Poll();
      client->Take();
    });
  }
  ~Client() {
    program.Do([&] { client.reset(); });
  }
  Notes Poll() {
    Notes notes;
    program.Do([&] {
      client->Poll();
      notes = client->Take();
    });
    return notes;
  }
  void SetProtocol(uint32_t protocol) {
    program.Do([&] {
      EXPECT_EQ(client->SetParameter(PreferencesBlock::kParamControlProtocol, protocol), kQX531Success);
    });
  }
  // The display notifications of one poll of the active unit's display.
  Notes PollLcd() {
    Notes lcd;
    program.Do([&] {
      client->lcd.clear();
      client->PollActiveLcd();
      lcd = client->lcd;
    });
    return lcd;
  }
  // The active unit's display as text and as a block, read on request.
  std::pair<std::string, std::string> ReadLcd() {
    std::pair<std::string, std::string> read;
    program.Do([&] {
      EXPECT_EQ(client->GetActiveLcdText(), kQX531Success);
      EXPECT_EQ(client->GetActiveLcdBlock(), kQX531Success);
      std::string cells;
      for (uint32_t i = 0; i < LcdTextBlock::kCells; ++i) cells += static_cast<char>(client->mLcdBlock[i] & 0xFF);
      read = {std::string(client->mLcdText, LcdTextBlock::kCells), cells};
    });
    return read;
  }
  Program program;
  std::unique_ptr<TestClient> client;
};

class EndToEnd : public testing::Test {
 protected:
  void SetUp() override {
    m.PlugMain();
    for (uint32_t serial : kKr6Serials) m.PlugKr6(serial);
  }
  DriverMachine m;
};

TEST_F(EndToEnd, TheLibraryFindsTheMainUnitAndTheThreeExpansionUnitsInTheirSlots) {
  Client a(m);
  TestClient& c = *a.client;
  EXPECT_EQ(c.IsOpen(), 1);
  EXPECT_EQ(c.mSharedState.mUnitKind, 1);
  EXPECT_EQ(c.CountExpansionUnits(), 3u);
  std::set<uint32_t> serials;
  for (uint32_t slot = 0; slot < 3; ++slot) serials.insert(c.mKR6SharedState[slot].mSerial);
  EXPECT_EQ(serials, (std::set<uint32_t>{3, 4, 5}));
  EXPECT_EQ(c.mHandleMap.size(), 4u);
  ASSERT_FALSE(c.records.empty());
}

TEST_F(EndToEnd, ASettingChangedByOneProgramIsSeenByAnothersPollAsExactlyOneNotification) {
  Client a(m), b(m);
  a.program.Do([&] {
    EXPECT_EQ(a.client->SetParameter(PreferencesBlock::kParamOvrThreshold, 31), kQX531Success);
  });
  EXPECT_EQ(b.Poll(), Notes{"OnOvrThresholdChanged 31"});
  EXPECT_TRUE(b.Poll().empty());
  EXPECT_EQ(a.Poll(), Notes{"OnOvrThresholdChanged 31"});
  a.program.Do([&] {
    EXPECT_EQ(a.client->SetParameter(PreferencesBlock::kParamControlProtocol, 2), kQX531Success);
    EXPECT_EQ(a.client->SetParameter(PreferencesBlock::kParamMasterFader, 2), kQX531Success);
  });
  EXPECT_EQ(b.Poll(), (Notes{"OnControlProtocolChanged 2", "OnMasterFaderChanged 2"}));
}

TEST_F(EndToEnd, ThirtyTwoAndSixtyFourBitProgramsSeeEachOthersSettings) {
  Client narrow(m, 32), wide(m, 64);
  EXPECT_EQ(narrow.client->CountExpansionUnits(), 3u);
  narrow.program.Do([&] {
    EXPECT_EQ(narrow.client->SetParameter(PreferencesBlock::kParamBufferSizeIndex, 6), kQX531Success);
    // The new buffer size restarts the running streams; they are back before anyone looks.
    Sleep(500);
  });
  EXPECT_EQ(wide.Poll(), Notes{"OnBufferSizeIndexChanged 6"});
  wide.program.Do([&] {
    EXPECT_EQ(wide.client->SetParameter(PreferencesBlock::kParamOption7, 0), kQX531Success);
  });
  EXPECT_EQ(narrow.Poll(), (Notes{"OnBufferSizeIndexChanged 6", "OnOption7Changed 0"}));
}

TEST_F(EndToEnd, RenamesAndSwapsOfUnitRecordsReachEveryProgramsPoll) {
  Client a(m), b(m);
  UnitNameRecord left{};
  left.mSerial = 4;
  std::strcpy(left.mName, "Left wing");
  a.program.Do([&] { EXPECT_EQ(a.client->SetUnitRecord(&left), kQX531Success); });
  Notes notes = b.Poll();
  ASSERT_EQ(std::count(notes.begin(), notes.end(), "OnUnitRecords"), 1);
  auto find = [](const std::vector<UnitNameRecord>& table, uint32_t serial) {
    for (size_t i = 0; i < table.size(); ++i)
      if (table[i].mSerial == serial) return static_cast<int>(i);
    return -1;
  };
  const std::vector<UnitNameRecord>& renamed = b.client->records.back();
  int at = find(renamed, 4);
  ASSERT_GE(at, 0);
  EXPECT_STREQ(renamed[at].mName, "Left wing");
  int three = find(renamed, 3);
  ASSERT_GE(three, 0);

  SwapUnitRecordsRequest swap{3, 4};
  a.program.Do([&] { EXPECT_EQ(a.client->SwapUnitRecords(&swap), kQX531Success); });
  notes = b.Poll();
  ASSERT_EQ(std::count(notes.begin(), notes.end(), "OnUnitRecords"), 1);
  const std::vector<UnitNameRecord>& swapped = b.client->records.back();
  EXPECT_EQ(find(swapped, 4), three);
  EXPECT_EQ(find(swapped, 3), at);
  EXPECT_STREQ(swapped[three].mName, "Left wing");
}

TEST_F(EndToEnd, AnArrivingUnitTakesAFreeSlotAndARemovedOneIsLetGo) {
  Client a(m);
  m.UnplugKr6(4);
  a.program.Do([&] {
    TestClient& c = *a.client;
    int gone = -1;
    for (int slot = 0; slot < 3; ++slot)
      if (c.mKR6SharedState[slot].mSerial == 4) gone = slot;
    ASSERT_GE(gone, 0);
    EXPECT_EQ(c.GetChangeCountOf(c.mKR6HandleList[gone]), kQX531Failure);
    std::string path;
    for (const handleMapStruct& e : c.mHandleMap)
      if (e.handle == c.mKR6HandleList[gone]) path = e.devname;
    c.RemoveDevicePath(path);
    EXPECT_EQ(c.CountExpansionUnits(), 2u);
  });
  m.PlugKr6(6);
  a.program.Do([&] {
    TestClient& c = *a.client;
    c.EnumerateDevices(kQX531InterfaceClass);
    EXPECT_EQ(c.CountExpansionUnits(), 3u);
    std::set<uint32_t> serials;
    for (uint32_t slot = 0; slot < kMaxExpansionUnits; ++slot)
      if (c.mKR6HandleList[slot] != kNoDevice) serials.insert(c.mKR6SharedState[slot].mSerial);
    EXPECT_EQ(serials, (std::set<uint32_t>{3, 5, 6}));
  });
}

TEST_F(EndToEnd, AKr6FlashUpdateLeavesTheImageInTheUnitWithTheCrcTheHostComputed) {
  Client a(m);
  std::vector<uint8_t> image(20000);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
  bool done = false;
  a.program.Do([&] {
    TestClient& c = *a.client;
    DeviceHandle kr6 = kNoDevice;
    for (uint32_t slot = 0; slot < 3; ++slot)
      if (c.mKR6SharedState[slot].mSerial == 5) kr6 = c.mKR6HandleList[slot];
    ASSERT_NE(kr6, kNoDevice);
    done = c.ProgramFlashImage(kr6, kFlashPartitionFirmware, image);
  });
  EXPECT_TRUE(done);
  EXPECT_TRUE(m.FlashFinished(5, kFlashPartitionFirmware));
  std::vector<uint8_t> flashed = m.Flashed(5, kFlashPartitionFirmware);
  ASSERT_GE(flashed.size(), image.size());
  EXPECT_TRUE(std::equal(image.begin(), image.end(), flashed.begin()));
  std::string out = a.program.DebugOutput();
  EXPECT_NE(out.find("Bytes programmed = 20000\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("CRC: computed"), std::string::npos) << out;
  EXPECT_NE(out.find("Firmware update completed.\n"), std::string::npos);
}

// The display text a host application sends to the surfaces: to the main unit through the kernel
// client, to a KR-6 through its audio adapter.
class Display : public testing::Test {
 protected:
  void SetUp() override {
    m.InstallAdapters();
    m.PlugMain();
    m.PlugKr6(3);
    m.StartKernelClient();
  }
  // The host's display message of the Mackie-style protocols: text from a position, line 2 at 56.
  static std::vector<uint8_t> MackieText(uint8_t position, const std::string& text) {
    std::vector<uint8_t> message = {0xF0, 0x00, 0x00, 0x66, 0x14, 0x12, position};
    message.insert(message.end(), text.begin(), text.end());
    message.push_back(0xF7);
    return message;
  }
  // The native protocol's text message from the start of the display, which also makes the unit
  // that receives it the active one.
  static std::vector<uint8_t> NativeText(const std::string& text) {
    std::vector<uint8_t> message = {0xF0, 0x7D, 0x00, 0x12, 0x05, 0x7F};
    message.insert(message.end(), text.begin(), text.end());
    message.push_back(0xF7);
    return message;
  }
  DriverMachine m;
};

TEST_F(Display, TextTheHostWritesIsReportedOncePerChangeAndReadsBackAsWritten) {
  Client r(m);
  r.SetProtocol(2);
  std::string shown(LcdTextBlock::kCells, ' ');
  auto write = [&](uint8_t position, const std::string& text) {
    ASSERT_TRUE(m.SendToMainSurface(MackieText(position, text)));
    const size_t cell = position < 55 ? position : position - 1u;
    shown.replace(cell, text.size(), text);
  };

  write(0, "Track 1 Vocals");
  write(56, "Gain -3.0 dB");
  EXPECT_EQ(r.PollLcd(), std::vector<std::string>{"block " + shown}) << "two messages, one change seen";
  EXPECT_TRUE(r.PollLcd().empty());
  EXPECT_EQ(r.ReadLcd(), std::make_pair(shown, shown));

  write(6, "2 Drums ");
  ASSERT_EQ(shown.substr(0, 14), "Track 2 Drums ");
  EXPECT_EQ(r.PollLcd(), std::vector<std::string>{"block " + shown});
  EXPECT_TRUE(r.PollLcd().empty());
  EXPECT_EQ(r.ReadLcd(), std::make_pair(shown, shown));

  Client second(m);
  EXPECT_EQ(second.PollLcd(), std::vector<std::string>{"block " + shown}) << "a new program sees it at once";
}

TEST_F(Display, AKr6MadeActiveShowsItsOwnTextAndTheMainUnitsTextStaysItsOwn) {
  Client r(m);
  r.SetProtocol(2);
  ASSERT_TRUE(m.SendToMainSurface(MackieText(0, "Main unit")));
  const std::string mainText = "Main unit" + std::string(LcdTextBlock::kCells - 9, ' ');
  EXPECT_EQ(r.PollLcd(), std::vector<std::string>{"block " + mainText});

  r.SetProtocol(1);
  ASSERT_TRUE(m.SendToKr6Surface(NativeText("Wing 3")));
  const std::string kr6Text = "Wing 3" + std::string(LcdTextBlock::kCells - 6, ' ');
  EXPECT_EQ(r.PollLcd(), std::vector<std::string>{"block " + kr6Text}) << "the requests follow the active unit";
  EXPECT_TRUE(r.PollLcd().empty());
  EXPECT_EQ(r.ReadLcd(), std::make_pair(kr6Text, kr6Text));

  r.SetProtocol(2);
  ASSERT_TRUE(m.SendToMainSurface(MackieText(0, "Main again")));
  EXPECT_TRUE(r.PollLcd().empty()) << "the main unit's display is not the active one";
  EXPECT_EQ(r.ReadLcd(), std::make_pair(kr6Text, kr6Text));
}

}  // namespace
