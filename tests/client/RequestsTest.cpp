// Every driver request as an operation: its request number, lengths and record, which unit it goes
// to, and how failures and short replies are reported.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "client/FlashRegisters.h"
#include "tests/client/TestClient.h"
#include "tests/client/Units.h"

namespace {

using ctest::Machine;

constexpr uint32_t kMagic = PreferencesBlock::kMagic;

class Requests : public testing::Test {
 protected:
  void SetUp() override {
    main = ctest::PlugUnit(m, ctest::kMain, 7);
    kr6 = ctest::PlugUnit(m, ctest::kKr6, 101);
    uint32_t lcdCount = 1;
    char text[111] = "display";
    uint16_t cells[111] = {0x44};
    m.SetReply(main, ctest::Answer(0, "log\n", 4));
    m.SetReply(main, ctest::Answer(14, &lcdCount, sizeof lcdCount));
    m.SetReply(main, ctest::Answer(15, text, sizeof text));
    m.SetReply(main, ctest::Answer(25, cells, sizeof cells));
    program = std::make_unique<ctest::Program>(m.Run());
    Run([&] {
      client = std::make_unique<TestClient>();
      client->EnumerateDevices(kQX531InterfaceClass);
    });
    ASSERT_EQ(client->CountExpansionUnits(), 1u);
  }
  void TearDown() override {
    Run([&] { client.reset(); });
    program.reset();
  }
  void Run(std::function<void()> job) { program->Do(std::move(job)); }
  int32_t Call(const std::function<int32_t(TestClient&)>& op) {
    int32_t result = -1;
    Run([&] { result = op(*client); });
    return result;
  }
  DeviceHandle Kr6() const { return client->mKR6HandleList[0]; }

  Machine m;
  Machine::Unit main = nullptr;
  Machine::Unit kr6 = nullptr;
  std::unique_ptr<ctest::Program> program;
  std::unique_ptr<TestClient> client;
};

enum Target { kToMain, kToKr6 };

struct RequestCase {
  const char* name;
  std::function<int32_t(TestClient&)> call;
  Target target;
  uint32_t request;
  uint32_t in;
  uint32_t out;
  std::vector<uint32_t> words;  // the record's first words
};

std::vector<RequestCase> Cases() {
  static const UnitNameRecord record = ctest::Record(101, "Left wing");
  static const SwapUnitRecordsRequest swap{101, 102};
  static const UnitLampRequest lamp{101, 5, 1};
  static const uint8_t block[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  return {
      {"ReadDriverLog", [](TestClient& c) { return c.ReadDriverLog(); }, kToMain, 0, 0, 200, {}},
      {"GetActiveLcdCount", [](TestClient& c) { return c.GetActiveLcdCount(); }, kToMain, 14, 0, 4, {}},
      {"GetActiveLcdText", [](TestClient& c) { return c.GetActiveLcdText(); }, kToMain, 15, 0, 111, {}},
      {"GetActiveLcdBlock", [](TestClient& c) { return c.GetActiveLcdBlock(); }, kToMain, 25, 0, 222, {}},
      {"GetChangeCount", [](TestClient& c) { return c.GetChangeCount(); }, kToMain, 1, 0, 4, {}},
      {"GetChangeCountOf", [](TestClient& c) { return c.GetChangeCountOf(c.mKR6HandleList[0]); }, kToKr6, 1, 0, 4, {}},
      {"GetUnitListCount", [](TestClient& c) { return c.GetUnitListCount(); }, kToMain, 17, 0, 4, {}},
      {"GetUnitListCountOf", [](TestClient& c) { return c.GetUnitListCountOf(c.mKR6HandleList[0]); }, kToKr6, 17, 0,
       4, {}},
      {"GetPreferences", [](TestClient& c) { return c.GetPreferences(); }, kToMain, 2, 0, 1168, {}},
      {"GetPreferencesOf",
       [](TestClient& c) {
         PreferencesBlock b;
         return c.GetPreferencesOf(c.mKR6HandleList[0], &b);
       },
       kToKr6, 2, 0, 1168, {}},
      {"GetSharedState", [](TestClient& c) { return c.GetSharedState(); }, kToMain, 3, 0, 132, {}},
      {"GetSharedStateOf",
       [](TestClient& c) {
         SharedStateBlock b;
         return c.GetSharedStateOf(c.mKR6HandleList[0], &b);
       },
       kToKr6, 3, 0, 132, {}},
      {"GetUnitRecords",
       [](TestClient& c) {
         UnitNameRecord t[16];
         return c.GetUnitRecords(c.mKR6HandleList[0], t);
       },
       kToKr6, 18, 0, 1088, {}},
      {"WriteDriverLog", [](TestClient& c) { return c.WriteDriverLog("abc"); }, kToMain, 4, 4, 0, {0x00636261}},
      {"SetStreamMask", [](TestClient& c) { return c.SetStreamMask(0x3F); }, kToMain, 5, 4, 0, {0x3F}},
      {"SetStreamMaskOf", [](TestClient& c) { return c.SetStreamMaskOf(c.mKR6HandleList[0], 7); }, kToKr6, 5, 4, 0,
       {7}},
      {"GetStreamMask",
       [](TestClient& c) {
         uint32_t mask = 0;
         return c.GetStreamMask(&mask);
       },
       kToMain, 6, 0, 4, {}},
      {"WriteBlock4000", [](TestClient& c) { return c.WriteBlock4000(block, 5); }, kToMain, 7, 5, 0, {0x04030201}},
      {"WriteRegister", [](TestClient& c) { return c.WriteRegister(0x100, 5); }, kToMain, 8, 8, 0, {0x100, 5}},
      {"WriteRegisterOf", [](TestClient& c) { return c.WriteRegisterOf(c.mKR6HandleList[0], 0x104, 6); }, kToKr6, 8,
       8, 0, {0x104, 6}},
      {"WriteBlock8000", [](TestClient& c) { return c.WriteBlock8000(c.mKR6HandleList[0], block, 16); }, kToKr6, 10,
       16, 0, {0x04030201, 0x08070605}},
      {"SetParameter", [](TestClient& c) { return c.SetParameter(12, 48000); }, kToMain, 11, 16, 0,
       {kMagic, 7, 12, 48000}},
      {"SetUnitRecord", [](TestClient& c) { return c.SetUnitRecord(&record); }, kToMain, 19, 68, 0,
       {101, 0x7466654C}},
      {"SwapUnitRecords", [](TestClient& c) { return c.SwapUnitRecords(&swap); }, kToMain, 21, 8, 0, {101, 102}},
      {"SetUnitLamp", [](TestClient& c) { return c.SetUnitLamp(&lamp); }, kToMain, 20, 12, 0, {101, 5, 1}},
      {"SetMixerFader", [](TestClient& c) { return c.SetMixerFader(3, 0x1FF); }, kToMain, 22, 24, 0,
       {kMagic, 7, 3, 0, 1, 0xFF}},
      {"SetMixerPan", [](TestClient& c) { return c.SetMixerPan(3, 0x140); }, kToMain, 22, 24, 0,
       {kMagic, 7, 3, 1, 0, 0x40}},
      {"SetPanelAttached", [](TestClient& c) { return c.SetPanelAttached(kPanelAttached); }, kToMain, 12, 4, 0, {1}},
      {"SetProgrammingWord", [](TestClient& c) { return c.SetProgrammingWord(0x41230000); }, kToMain, 8, 8, 0,
       {kProgrammingWordRegister, 0x41230000}},
  };
}

TEST_F(Requests, EachOperationSendsItsRequestWithItsLengthsAndRecordToItsUnit) {
  for (const RequestCase& c : Cases()) {
    SCOPED_TRACE(c.name);
    m.ClearLog(main);
    m.ClearLog(kr6);
    EXPECT_EQ(Call(c.call), kQX531Success);
    Machine::Unit to = c.target == kToMain ? main : kr6;
    auto log = ctest::Requests(m, to, c.request);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].request, c.request);
    EXPECT_EQ(log[0].inLength, c.in);
    EXPECT_EQ(log[0].outLength, c.out);
    for (size_t i = 0; i < c.words.size(); ++i) EXPECT_EQ(ctest::LoggedWord(log[0], i), c.words[i]) << "word " << i;
    EXPECT_TRUE(m.Log(to == main ? kr6 : main).empty());
  }
}

TEST_F(Requests, AFailedRequestIsReportedAs99) {
  for (const RequestCase& c : Cases()) {
    SCOPED_TRACE(c.name);
    m.FailNext(c.target == kToMain ? main : kr6, c.request, 1);
    EXPECT_EQ(Call(c.call), kQX531Failure);
  }
}

TEST_F(Requests, RepliesTooShortOrOfAnotherLayoutAre99ThoughTheDriverSucceeded) {
  PreferencesBlock preferences = PreferencesBlock::Defaults();
  SharedStateBlock shared = ctest::SharedState(ctest::kMain, 7);
  PreferencesBlock oldPreferences = preferences;
  oldPreferences.mVersion = 6;
  SharedStateBlock wrongMagic = shared;
  wrongMagic.mMagic = 0x51353332;
  char text[111] = {};
  uint16_t cells[111] = {};
  UnitNameRecord records[16] = {};
  uint32_t count = 3;
  struct Case {
    const char* name;
    scripted::Reply reply;
    std::function<int32_t(TestClient&)> call;
    int32_t result;
  } const cases[] = {
      {"settings of 1168 bytes", ctest::Answer(2, &preferences, 1168), [](TestClient& c) { return c.GetPreferences(); },
       kQX531Success},
      {"settings of 1167 bytes", ctest::Answer(2, &preferences, 1168, 1167),
       [](TestClient& c) { return c.GetPreferences(); }, kQX531Failure},
      {"settings of version 6", ctest::Answer(2, &oldPreferences, 1168),
       [](TestClient& c) { return c.GetPreferences(); }, kQX531Failure},
      {"shared state of 132 bytes", ctest::Answer(3, &shared, 132), [](TestClient& c) { return c.GetSharedState(); },
       kQX531Success},
      {"shared state of 131 bytes", ctest::Answer(3, &shared, 132, 131),
       [](TestClient& c) { return c.GetSharedState(); }, kQX531Failure},
      {"shared state of another magic", ctest::Answer(3, &wrongMagic, 132),
       [](TestClient& c) { return c.GetSharedState(); }, kQX531Failure},
      {"display text of 110 bytes", ctest::Answer(15, text, 111, 110),
       [](TestClient& c) { return c.GetActiveLcdText(); }, kQX531Success},
      {"display text of 109 bytes", ctest::Answer(15, text, 111, 109),
       [](TestClient& c) { return c.GetActiveLcdText(); }, kQX531Failure},
      {"display block of 220 bytes", ctest::Answer(25, cells, 222, 220),
       [](TestClient& c) { return c.GetActiveLcdBlock(); }, kQX531Success},
      {"display block of 219 bytes", ctest::Answer(25, cells, 222, 219),
       [](TestClient& c) { return c.GetActiveLcdBlock(); }, kQX531Failure},
      {"display count of 3 bytes", ctest::Answer(14, &count, 4, 3), [](TestClient& c) { return c.GetActiveLcdCount(); },
       kQX531Failure},
      {"change count of 3 bytes", ctest::Answer(1, &count, 4, 3), [](TestClient& c) { return c.GetChangeCount(); },
       kQX531Failure},
      {"unit-list count of 3 bytes", ctest::Answer(17, &count, 4, 3),
       [](TestClient& c) { return c.GetUnitListCount(); }, kQX531Failure},
      {"unit records of 1087 bytes", ctest::Answer(18, records, 1088, 1087),
       [](TestClient& c) { return c.GetUnitRecords(c.mMainHandle, c.mLastUnitRecords); }, kQX531Failure},
      {"a stream mask of no bytes", ctest::Answer(6, &count, 4, 0),
       [](TestClient& c) {
         uint32_t mask = 0;
         return c.GetStreamMask(&mask);
       },
       kQX531Success},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    m.SetReply(main, c.reply);
    EXPECT_EQ(Call(c.call), c.result);
  }
}

TEST_F(Requests, AReadRegisterGivesTheValueOnlyWhenFourBytesCameBackFromASuccessfulRequest) {
  uint32_t value = 0x5310;
  struct Case {
    const char* name;
    scripted::Reply reply;
    uint32_t result;
  } const cases[] = {
      {"four bytes", ctest::Answer(9, &value, 4), 0x5310},
      {"two bytes", ctest::Answer(9, &value, 4, 2), 0},
      {"a failure that set four bytes", ctest::Answer(9, &value, 4, 4, 1), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    m.SetReply(kr6, c.reply);
    uint32_t got = 1;
    Run([&] { got = client->ReadRegisterOf(Kr6(), 0x10C); });
    EXPECT_EQ(got, c.result);
  }
  // The main unit keeps its registers as written.
  Run([&] {
    client->WriteRegister(0x10C, 0x77);
    EXPECT_EQ(client->ReadRegister(0x10C), 0x77u);
  });
  auto reads = ctest::Requests(m, main, 9);
  ASSERT_EQ(reads.size(), 1u);
  EXPECT_EQ(ctest::LoggedWord(reads[0], 0), 0x10Cu);
  EXPECT_EQ(reads[0].inLength, 4u);
  EXPECT_EQ(reads[0].outLength, 4u);
}

TEST_F(Requests, SettingsUnitRecordsAndLampsGoToTheFirstExpansionUnitWhileNoMainUnitIsOpen) {
  UnitNameRecord record = ctest::Record(101, "Right");
  Run([&] {
    EXPECT_EQ(client->CloseMain(), kQX531Success);
    EXPECT_EQ(client->SetParameter(PreferencesBlock::kParamSampleRate, 96000), kQX531Success);
    EXPECT_EQ(client->SetUnitRecord(&record), kQX531Success);
    // Requests of the main unit fail without one.
    EXPECT_EQ(client->GetChangeCount(), kQX531Failure);
    EXPECT_EQ(client->SetStreamMask(1), kQX531Failure);
  });
  EXPECT_EQ(ctest::Requests(m, kr6, 11).size(), 1u);
  EXPECT_EQ(ctest::Requests(m, kr6, 19).size(), 1u);
  EXPECT_TRUE(ctest::Requests(m, main, 11).empty());
}

TEST_F(Requests, AttachingThePanelTakesTheStandingPanelRequestAndSendsOnlyForModeOne) {
  SharedStateBlock shared = ctest::SharedState(ctest::kMain, 7);
  shared.mPanelRequest = 3;
  m.SetReply(main, ctest::Answer(3, &shared, sizeof shared));
  m.ClearLog(main);
  Run([&] {
    EXPECT_EQ(client->SetPanelAttached(kPanelDetached), kQX531Success);
    EXPECT_EQ(client->mLastSharedState.mPanelRequest, 3);
    EXPECT_EQ(client->mPanelAttached, kPanelDetached);
  });
  EXPECT_TRUE(ctest::Requests(m, main, 12).empty());
  Run([&] {
    client->Take();
    client->Poll();
    for (const std::string& note : client->Take()) EXPECT_NE(note, "OnPanelToggleRequest");
    client->CloseMain();
    EXPECT_EQ(client->SetPanelAttached(kPanelAttached), kQX531Failure);
    EXPECT_EQ(client->mPanelAttached, kPanelAttached);
    EXPECT_EQ(client->SetMixerButtonA(1, 1), kQX531Success);
    EXPECT_EQ(client->SetMixerButtonB(1, 1), kQX531Success);
  });
  EXPECT_TRUE(ctest::Requests(m, main, 12).empty());
}

TEST_F(Requests, TheDriverLogIsReadFromTheFirstUnitThatHasTextAndStaysTerminated) {
  char full[200];
  std::memset(full, 'x', sizeof full);
  m.SetReply(main, ctest::Answer(0, nullptr, 0));
  m.SetReply(kr6, ctest::Answer(0, full, sizeof full));
  Run([&] {
    EXPECT_EQ(client->ReadDriverLog(), kQX531Success);
    EXPECT_EQ(client->mLogBytes, 200u);
    EXPECT_EQ(std::strlen(client->mLogBuffer), 200u);
  });
  EXPECT_EQ(ctest::Requests(m, main, 0).size(), 1u);
  m.SetReply(main, ctest::Answer(0, "main\n", 5));
  m.ClearLog(kr6);
  Run([&] {
    EXPECT_EQ(client->ReadDriverLog(), kQX531Success);
    EXPECT_EQ(std::string(client->mLogBuffer, client->mLogBytes), "main\n");
  });
  EXPECT_TRUE(ctest::Requests(m, kr6, 0).empty());
  m.FailNext(main, 0, 1);
  Run([&] { EXPECT_EQ(client->ReadDriverLog(), kQX531Failure); });
  EXPECT_TRUE(ctest::Requests(m, kr6, 0).empty());
}

}  // namespace
