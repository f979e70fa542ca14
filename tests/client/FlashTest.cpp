// Flash commands and the update procedure against a unit that computes its own CRC of what it
// programs.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

#include "client/FlashRegisters.h"
#include "platform/win32/Session.h"
#include "tests/client/TestClient.h"
#include "tests/client/Units.h"

namespace {

using ctest::Machine;

std::vector<uint8_t> Image(size_t bytes, uint32_t seed) {
  std::vector<uint8_t> image(bytes);
  uint32_t x = seed;
  for (uint8_t& b : image) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  return image;
}

// The unit's CRC of an image sent in words, the last padded with zero bytes.
uint16_t UnitCrc(const std::vector<uint8_t>& image) {
  std::vector<uint32_t> words((image.size() + 3) / 4, 0);
  if (!image.empty()) std::memcpy(words.data(), image.data(), image.size());
  return scripted::Xmodem(0, words.data(), words.size());
}

class Flash : public testing::Test {
 protected:
  void SetUp() override {
    main = ctest::PlugUnit(m, ctest::kMain, 7);
    kr6 = ctest::PlugUnit(m, ctest::kKr6, 101);
    program = std::make_unique<ctest::Program>(m.Run());
    Run([&] {
      client = std::make_unique<TestClient>();
      client->EnumerateDevices(kQX531InterfaceClass);
    });
  }
  void TearDown() override {
    Run([&] { client.reset(); });
    program.reset();
  }
  void Run(std::function<void()> job) { program->Do(std::move(job)); }
  bool Program(uint32_t partition, const std::vector<uint8_t>& image) {
    bool done = false;
    Run([&] { done = client->ProgramFlashImage(client->mKR6HandleList[0], partition, image); });
    return done;
  }
  // The register writes the unit saw, as {register, value}, and its block writes as their length.
  std::vector<std::pair<uint32_t, uint32_t>> Writes(Machine::Unit unit) {
    std::vector<std::pair<uint32_t, uint32_t>> writes;
    for (const scripted::LogEntry& e : m.Log(unit)) {
      if (e.request == 8) writes.push_back({ctest::LoggedWord(e, 0), ctest::LoggedWord(e, 1)});
      if (e.request == 10) writes.push_back({QX5310_FLASH_DATA_WINDOW, e.inLength});
    }
    return writes;
  }

  Machine m;
  Machine::Unit main = nullptr;
  Machine::Unit kr6 = nullptr;
  std::unique_ptr<ctest::Program> program;
  std::unique_ptr<TestClient> client;
};

TEST_F(Flash, AnExpansionUnitIsProgrammedBlockByBlockAndItsCrcMatchesTheHosts) {
  std::vector<uint8_t> image = Image(20000, 1);
  EXPECT_TRUE(Program(kFlashPartitionFirmware, image));
  scripted::State unit = m.State(kr6);
  EXPECT_EQ(unit.flashPartition, kFlashPartitionFirmware);
  EXPECT_EQ(unit.flashBegun, 1u);
  EXPECT_EQ(unit.flashFinished, 1u);
  EXPECT_EQ(unit.flashBytes, 20000u);
  EXPECT_EQ(unit.flashCrc, UnitCrc(image));
  EXPECT_EQ(unit.badUnlocks, 0u);
  std::string out = program->DebugOutput();
  for (const char* line : {"Beginning firmware erase cycle...\n", "Waiting for Flash erase completion: 7\n",
                           "Waiting for Flash erase completion: 1\n", "Bytes programmed = 8192\n",
                           "Bytes programmed = 16384\n", "Bytes programmed = 20000\n", "Firmware update completed.\n"})
    EXPECT_NE(out.find(line), std::string::npos) << line;
  EXPECT_EQ(out.find("ERROR"), std::string::npos);
  EXPECT_TRUE(m.Log(main).empty() || ctest::Requests(m, main, 10).empty());
}

TEST_F(Flash, EveryCommandIsPrecededByTheUnlockWordInTheOrderTheUnitExpects) {
  std::vector<uint8_t> image = Image(10, 2);
  m.ClearLog(kr6);
  EXPECT_TRUE(Program(kFlashPartitionFpga, image));
  using W = std::pair<uint32_t, uint32_t>;
  EXPECT_EQ(Writes(kr6), (std::vector<W>{{QX5310_FLASH_PARTITION, 2},
                                         {QX5310_FLASH_UNLOCK, kFlashUnlockWord},
                                         {QX5310_FLASH_COMMAND, kFlashCommandBegin},
                                         {QX5310_FLASH_DATA_WINDOW, 12},
                                         {QX5310_FLASH_LENGTH, 12},
                                         {QX5310_FLASH_UNLOCK, kFlashUnlockWord},
                                         {QX5310_FLASH_COMMAND, kFlashCommandProgram},
                                         {QX5310_FLASH_UNLOCK, kFlashUnlockWord},
                                         {QX5310_FLASH_COMMAND, kFlashCommandFinish}}));
  // Ten bytes go as three words, the pad zeroed, and the CRC covers the three.
  EXPECT_EQ(m.State(kr6).flashCrc, UnitCrc(image));
  EXPECT_NE(program->DebugOutput().find("FPGA update completed.\n"), std::string::npos);
}

TEST_F(Flash, AnImageOfWholeBlocksEndsWithAnEmptyBlock) {
  std::vector<uint8_t> image = Image(2 * 8192, 3);
  m.ClearLog(kr6);
  EXPECT_TRUE(Program(kFlashPartitionFirmware, image));
  std::vector<uint32_t> blocks, lengths;
  for (const auto& [reg, value] : Writes(kr6)) {
    if (reg == QX5310_FLASH_DATA_WINDOW) blocks.push_back(value);
    if (reg == QX5310_FLASH_LENGTH) lengths.push_back(value);
  }
  EXPECT_EQ(blocks, (std::vector<uint32_t>{8192, 8192, 0}));
  EXPECT_EQ(lengths, (std::vector<uint32_t>{8192, 8192, 0}));
  EXPECT_EQ(m.State(kr6).flashCrc, UnitCrc(image));
  EXPECT_EQ(m.State(kr6).flashFinished, 1u);
}

TEST_F(Flash, AWriteOfMoreThanABlockIsRefusedAndSendsNothing) {
  std::vector<uint8_t> image = Image(8193, 4);
  m.ClearLog(kr6);
  Run([&] {
    uint16_t crc = 0x1234;
    EXPECT_EQ(client->FlashWrite(client->mKR6HandleList[0], image.data(), 8193, &crc), kQX531Failure);
    EXPECT_EQ(crc, 0x1234);
  });
  EXPECT_TRUE(m.Log(kr6).empty());
}

TEST_F(Flash, ABlockWhoseCrcDiffersEndsThePassUnfinishedAndTheImageIsSentAgainFromItsStart) {
  std::vector<uint8_t> image = Image(9000, 5);
  m.CorruptCrcs(kr6, 1);
  EXPECT_TRUE(Program(kFlashPartitionFirmware, image));
  scripted::State unit = m.State(kr6);
  EXPECT_EQ(unit.flashBegun, 2u);
  EXPECT_EQ(unit.flashFinished, 1u);
  EXPECT_EQ(unit.flashCrc, UnitCrc(image));
  std::string out = program->DebugOutput();
  char line[96];
  std::vector<uint32_t> words(2048);
  std::memcpy(words.data(), image.data(), 8192);
  uint16_t host = scripted::Xmodem(0, words.data(), words.size());
  std::snprintf(line, sizeof line, "Bytes programmed = 8192, CRC: computed = %x, returned = %x\n", host,
                host ^ 0x5A5A);
  EXPECT_NE(out.find(line), std::string::npos) << out;
  EXPECT_NE(out.find("ERROR: CRC error during programming...FINISH_PARTITION not executed.\n"), std::string::npos);
}

TEST_F(Flash, AUnitThatNeverErasesIsGivenUpAfterTwentyFailures) {
  m.FailFlashCommands(kr6, 1000);
  EXPECT_FALSE(Program(kFlashPartitionFirmware, Image(100, 6)));
  scripted::State unit = m.State(kr6);
  // An erase failure counts twice: once for the erase, once for the unfinished pass.
  EXPECT_EQ(unit.flashBegun, 10u);
  EXPECT_EQ(unit.flashFinished, 0u);
  EXPECT_EQ(unit.flashBytes, 0u);
}

TEST_F(Flash, AFailedFinishCountsAndTheImageIsSentAgain) {
  std::vector<uint8_t> image = Image(64, 7);
  // Begin and program succeed, finish fails once.
  Run([&] {
    DeviceHandle h = client->mKR6HandleList[0];
    uint16_t crc = 0;
    client->FlashBegin(h, kFlashPartitionFpga);
    EXPECT_TRUE(FlashStatusGood(client->FlashStatus(h)));
    client->FlashWrite(h, image.data(), 64, &crc);
    uint32_t status = client->FlashStatus(h);
    EXPECT_TRUE(FlashStatusGood(status));
    EXPECT_EQ(FlashStatusCrc(status), crc);
  });
  m.FailFlashCommands(kr6, 1);
  Run([&] {
    DeviceHandle h = client->mKR6HandleList[0];
    client->FlashEnd(h);
    EXPECT_FALSE(FlashStatusGood(client->FlashStatus(h)));
  });
  EXPECT_EQ(m.State(kr6).flashFinished, 0u);
  EXPECT_TRUE(Program(kFlashPartitionFpga, image));
  EXPECT_EQ(m.State(kr6).flashFinished, 1u);
}

TEST_F(Flash, AnUpdateProgramsOnlyOlderUnitsAndAsksForARestartItNeverGets) {
  // The main unit runs firmware 5 and FPGA 0x203 (version 3 in its low byte); the expansion unit
  // firmware 9 and FPGA 4.
  SharedStateBlock mainState = ctest::SharedState(ctest::kMain, 7);
  mainState.mArmVersion = 5;
  mainState.mFpgaVersion = 0x203;
  m.SetReply(main, ctest::Answer(3, &mainState, sizeof mainState));
  SharedStateBlock kr6State = ctest::SharedState(ctest::kKr6, 101);
  kr6State.mArmVersion = 9;
  kr6State.mFpgaVersion = 4;
  m.SetReply(kr6, ctest::Answer(3, &kr6State, sizeof kr6State));
  Run([&] {
    client.reset();
    client = std::make_unique<TestClient>();
    client->EnumerateDevices(kQX531InterfaceClass);
    client->Poll();
  });
  std::vector<uint8_t> bytes = Image(300, 8);
  FlashImage firmware6{bytes, 6};
  FlashImage fpga3{bytes, 3};
  FlashImage firmware9{bytes, 9};
  FlashImage fpga5{bytes, 5};
  m.ClearLog(main);
  m.ClearLog(kr6);
  uint32_t programmed = 0;
  Run([&] { programmed = client->UpdateUnits({&firmware6, &fpga3}, {&firmware9, &fpga5}, true); });
  EXPECT_EQ(programmed, 2u);
  EXPECT_EQ(m.State(main).flashBegun, 1u);
  EXPECT_EQ(m.State(main).flashPartition, kFlashPartitionFirmware);
  EXPECT_EQ(m.State(kr6).flashBegun, 1u);
  EXPECT_EQ(m.State(kr6).flashPartition, kFlashPartitionFpga);
  // Each unit was stopped first.
  for (Machine::Unit u : {main, kr6}) {
    auto log = m.Log(u);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log[0].request, 5u);
    EXPECT_EQ(ctest::LoggedWord(log[0], 0), 0u);
  }
  auto exits = plat::win32::ExitWindowsRequests();
  ASSERT_EQ(exits.size(), 1u);
  EXPECT_EQ(exits[0].flags, 2u);
  EXPECT_TRUE(exits[0].accepted);
  EXPECT_EQ(exits[0].processId, program->Id());
  EXPECT_TRUE(plat::win32::PrivilegeEnabled(program->Id(), "SeShutdownPrivilege"));

  Run([&] { programmed = client->UpdateUnits({&firmware6, nullptr}, {nullptr, &fpga3}, true); });
  EXPECT_EQ(programmed, 1u);
  FlashImage firmware5{bytes, 5};
  Run([&] { programmed = client->UpdateUnits({&firmware5, nullptr}, {}, true); });
  EXPECT_EQ(programmed, 0u);
  EXPECT_NE(program->DebugOutput().find("ERROR: Nothing to update.\n"), std::string::npos);
  EXPECT_EQ(plat::win32::ExitWindowsRequests().size(), 2u);
}

}  // namespace
