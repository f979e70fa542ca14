// Finding the units by their interface class, opening them, slots of the main and expansion units,
// arrival and removal, and closing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <set>

#include "tests/client/TestClient.h"
#include "tests/client/Units.h"

namespace {

using ctest::Machine;

class Discovery : public testing::Test {
 protected:
  Machine m;
};

TEST_F(Discovery, EnumerationTakesTheMainUnitAndThreeExpansionUnitsIntoSlotsAndOpensNothingElse) {
  Machine::Unit kr1 = ctest::PlugUnit(m, ctest::kKr6, 101);
  Machine::Unit main = ctest::PlugUnit(m, ctest::kMain, 7);
  Machine::Unit kr2 = ctest::PlugUnit(m, ctest::kKr6, 102);
  Machine::Unit kr3 = ctest::PlugUnit(m, ctest::kKr6, 103);
  ctest::Program program(m.Run());
  std::unique_ptr<TestClient> client;
  program.Do([&] {
    client = std::make_unique<TestClient>();
    EXPECT_EQ(client->needUpdate, 0);
    EXPECT_EQ(client->devicePresent, 0);
    EXPECT_EQ(client->CurrentHandle(), kNoDevice);
    client->EnumerateDevices(kQX531InterfaceClass);
  });
  EXPECT_NE(client->mMainHandle, kNoDevice);
  EXPECT_EQ(client->IsOpen(), 1);
  EXPECT_EQ(client->CountExpansionUnits(), 3u);
  EXPECT_EQ(client->CurrentHandle(), client->mMainHandle);
  EXPECT_EQ(client->mSharedState.mSerial, 7u);
  std::set<uint32_t> serials;
  for (uint32_t slot = 0; slot < 3; ++slot) {
    EXPECT_NE(client->mKR6HandleList[slot], kNoDevice);
    serials.insert(client->mKR6SharedState[slot].mSerial);
  }
  EXPECT_EQ(serials, (std::set<uint32_t>{101, 102, 103}));
  for (uint32_t slot = 3; slot < kMaxExpansionUnits; ++slot) EXPECT_EQ(client->mKR6HandleList[slot], kNoDevice);
  EXPECT_EQ(client->mHandleMap.size(), 4u);
  EXPECT_EQ(client->needUpdate, 1);
  EXPECT_EQ(client->devicePresent, 1);
  EXPECT_EQ(client->mHandleEvents, 4);
  for (Machine::Unit u : {kr1, main, kr2, kr3}) {
    EXPECT_EQ(m.State(u).opens, 1u);
    EXPECT_EQ(m.State(u).closes, 0u);
  }
  program.Do([&] { client.reset(); });
}

TEST_F(Discovery, APathAlreadyOpenIsNotOpenedAgainWhateverItsLetterCase) {
  Machine::Unit main = ctest::PlugUnit(m, ctest::kMain, 7);
  std::string path = m.InterfacePath(main);
  std::string other = path;
  std::transform(other.begin(), other.end(), other.begin(), [](char c) {
    return static_cast<char>(std::islower(static_cast<unsigned char>(c)) ? std::toupper(c) : std::tolower(c));
  });
  ASSERT_NE(other, path);
  ctest::Program program(m.Run());
  program.Do([&] {
    TestClient client;
    client.OpenDevicePath(path);
    client.OpenDevicePath(other);
    client.EnumerateDevices(kQX531InterfaceClass);
    EXPECT_EQ(client.mHandleMap.size(), 1u);
  });
  EXPECT_EQ(m.State(main).opens, 1u);
  EXPECT_EQ(m.State(main).closes, 1u);
}

// A unit the object does not take is closed and forgotten, so that a later arrival tries it again.
TEST(DiscoveryOfOddUnits, AUnitThatIsNotTakenIsClosedAndLeftForALaterArrival) {
  struct Case {
    const char* what;
    std::function<void(Machine&, Machine::Unit)> make;
    std::function<void(Machine&, Machine::Unit)> mend;
  } const cases[] = {
      {"a second main unit", [](Machine& mm, Machine::Unit u) { ctest::PlugUnit(mm, ctest::kMain, 8); (void)u; },
       nullptr},
      {"an unreadable shared state",
       [](Machine& mm, Machine::Unit u) { mm.FailNext(u, 3, 1); },
       [](Machine&, Machine::Unit) {}},
      {"a short shared state",
       [](Machine& mm, Machine::Unit u) {
         SharedStateBlock s = ctest::SharedState(ctest::kKr6, 55);
         mm.SetReply(u, ctest::Answer(3, &s, sizeof s, sizeof s - 1));
       },
       [](Machine& mm, Machine::Unit u) {
         SharedStateBlock s = ctest::SharedState(ctest::kKr6, 55);
         mm.SetReply(u, ctest::Answer(3, &s, sizeof s));
       }},
      {"a unit of another kind",
       [](Machine& mm, Machine::Unit u) {
         SharedStateBlock s = ctest::SharedState(3, 55);
         mm.SetReply(u, ctest::Answer(3, &s, sizeof s));
       },
       [](Machine& mm, Machine::Unit u) {
         SharedStateBlock s = ctest::SharedState(ctest::kKr6, 55);
         mm.SetReply(u, ctest::Answer(3, &s, sizeof s));
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Machine mm;
    ctest::PlugUnit(mm, ctest::kMain, 7);
    Machine::Unit odd = ctest::PlugUnit(mm, ctest::kKr6, 55);
    c.make(mm, odd);
    ctest::Program program(mm.Run());
    std::unique_ptr<TestClient> client;
    program.Do([&] {
      client = std::make_unique<TestClient>();
      client->EnumerateDevices(kQX531InterfaceClass);
    });
    EXPECT_EQ(client->mHandleMap.size(), 2u - (c.mend ? 1u : 0u));
    if (c.mend) {
      EXPECT_EQ(mm.State(odd).opens, 1u);
      EXPECT_EQ(mm.State(odd).closes, 1u);
      EXPECT_EQ(client->CountExpansionUnits(), 0u);
      c.mend(mm, odd);
      std::string path = mm.InterfacePath(odd);
      program.Do([&] { client->OpenDevicePath(path); });
      EXPECT_EQ(client->CountExpansionUnits(), 1u);
      EXPECT_EQ(client->mKR6SharedState[0].mSerial, 55u);
    }
    program.Do([&] { client.reset(); });
  }
}

TEST_F(Discovery, ASecondMainUnitAndASixteenthExpansionUnitAreClosed) {
  Machine::Unit first = ctest::PlugUnit(m, ctest::kMain, 7);
  std::vector<Machine::Unit> kr6;
  for (uint32_t i = 0; i < 16; ++i) kr6.push_back(ctest::PlugUnit(m, ctest::kKr6, 200 + i));
  Machine::Unit second = ctest::PlugUnit(m, ctest::kMain, 8);
  ctest::Program program(m.Run());
  std::unique_ptr<TestClient> client;
  program.Do([&] {
    client = std::make_unique<TestClient>();
    client->EnumerateDevices(kQX531InterfaceClass);
  });
  EXPECT_EQ(client->CountExpansionUnits(), 15u);
  EXPECT_EQ(client->mHandleMap.size(), 16u);
  EXPECT_EQ(client->mSharedState.mSerial, 7u);
  EXPECT_EQ(m.State(second).closes, 1u);
  EXPECT_EQ(m.State(kr6.back()).opens, 1u);
  EXPECT_EQ(m.State(kr6.back()).closes, 1u);
  EXPECT_EQ(m.State(first).closes, 0u);
  program.Do([&] { client.reset(); });
  for (Machine::Unit u : kr6) EXPECT_EQ(m.State(u).opens, m.State(u).closes);
}

TEST_F(Discovery, APathThatCannotBeOpenedIsTriedTenTimes200MsApartAndDropped) {
  ctest::Program program(m.Run());
  program.Do([&] {
    TestClient client;
    DWORD start = GetTickCount();
    client.OpenDevicePath("\\\\?\\NoSuchUnit#0#{f8080c46-1bda-4a20-9d58-d78e627c8fc5}");
    EXPECT_EQ(GetTickCount() - start, 10u * 200u);
    EXPECT_TRUE(client.mHandleMap.empty());
    EXPECT_EQ(client.devicePresent, 0);
  });
}

TEST_F(Discovery, WithoutAMainUnitTheCurrentHandleIsTheFirstUsedExpansionSlot) {
  std::vector<Machine::Unit> kr6;
  for (uint32_t i = 0; i < 6; ++i) kr6.push_back(ctest::PlugUnit(m, ctest::kKr6, 300 + i));
  ctest::Program program(m.Run());
  program.Do([&] {
    TestClient client;
    client.EnumerateDevices(kQX531InterfaceClass);
    for (uint32_t slot : {0u, 1u, 3u, 4u}) EXPECT_EQ(client.CloseHandleOf(client.mKR6HandleList[slot]), kQX531Success);
    EXPECT_EQ(client.IsOpen(), 0);
    EXPECT_EQ(client.CurrentHandle(), client.mKR6HandleList[2]);
    EXPECT_EQ(client.CountExpansionUnits(), 2u);
    // Rescan closes nothing: every open handle counts as alive.
    client.Rescan(0);
    EXPECT_EQ(client.CountExpansionUnits(), 2u);
    EXPECT_EQ(client.CloseHandleOf(kNoDevice), kQX531Failure);
    EXPECT_EQ(client.CloseHandleOf(client.mKR6HandleList[0]), kQX531Failure);
  });
}

TEST_F(Discovery, AnArrivingUnitTakesTheFirstFreeSlotAndARemovedOneIsClosedAndForgotten) {
  Machine::Unit main = ctest::PlugUnit(m, ctest::kMain, 7);
  Machine::Unit kr1 = ctest::PlugUnit(m, ctest::kKr6, 101);
  Machine::Unit kr2 = ctest::PlugUnit(m, ctest::kKr6, 102);
  ctest::Program program(m.Run());
  std::unique_ptr<TestClient> client;
  program.Do([&] {
    client = std::make_unique<TestClient>();
    client->EnumerateDevices(kQX531InterfaceClass);
  });
  std::string gone = m.InterfacePath(kr1);
  m.Unplug(kr1);
  program.Do([&] {
    // The unit's requests fail until the user class lets it go.
    EXPECT_EQ(client->GetChangeCountOf(client->mKR6HandleList[0]), kQX531Failure);
    int32_t events = client->mHandleEvents;
    client->RemoveDevicePath(gone);
    EXPECT_EQ(client->mHandleEvents, events + 1);
    EXPECT_EQ(client->mKR6HandleList[0], kNoDevice);
    EXPECT_EQ(client->mHandleMap.size(), 2u);
    EXPECT_EQ(client->devicePresent, 1);
  });
  Machine::Unit kr3 = ctest::PlugUnit(m, ctest::kKr6, 103);
  std::string arrived = m.InterfacePath(kr3);
  program.Do([&] {
    client->OpenDevicePath(arrived);
    EXPECT_NE(client->mKR6HandleList[0], kNoDevice);
    EXPECT_EQ(client->mKR6SharedState[0].mSerial, 103u);
    EXPECT_EQ(client->CountExpansionUnits(), 2u);
    // A fresh enumeration finds the units that are there and opens none twice.
    client->EnumerateDevices(kQX531InterfaceClass);
    EXPECT_EQ(client->mHandleMap.size(), 3u);
  });
  for (Machine::Unit u : {main, kr2, kr3}) EXPECT_EQ(m.State(u).opens, 1u);
  program.Do([&] { client.reset(); });
  for (Machine::Unit u : {main, kr2, kr3}) EXPECT_EQ(m.State(u).closes, 1u);
}

TEST_F(Discovery, ReleasingTheObjectClosesItsUnitsAndDetachesAnAttachedPanelFirst) {
  Machine::Unit main = ctest::PlugUnit(m, ctest::kMain, 7);
  Machine::Unit kr = ctest::PlugUnit(m, ctest::kKr6, 101);
  ctest::Program program(m.Run());
  for (int round = 0; round < 3; ++round) {
    program.Do([&] {
      TestClient client;
      client.mAttachOnOpen = kPanelAttached;
      client.EnumerateDevices(kQX531InterfaceClass);
      EXPECT_EQ(client.mPanelAttached, kPanelAttached);
    });
  }
  EXPECT_EQ(m.State(main).opens, 3u);
  EXPECT_EQ(m.State(main).closes, 3u);
  EXPECT_EQ(m.State(kr).closes, 3u);
  auto attach = ctest::Requests(m, main, 12);
  ASSERT_EQ(attach.size(), 6u);
  for (size_t i = 0; i < attach.size(); ++i) {
    EXPECT_EQ(attach[i].inLength, 4u);
    EXPECT_EQ(ctest::LoggedWord(attach[i], 0), i % 2 == 0 ? 1u : 0u);
  }
  EXPECT_TRUE(ctest::Requests(m, kr, 12).empty());
}

TEST_F(Discovery, ClosingTheMainUnitOfAnAttachedPanelDetachesItEvenWhenTheUnitIsGone) {
  Machine::Unit main = ctest::PlugUnit(m, ctest::kMain, 7);
  ctest::Program program(m.Run());
  std::unique_ptr<TestClient> client;
  program.Do([&] {
    client = std::make_unique<TestClient>();
    client->EnumerateDevices(kQX531InterfaceClass);
    EXPECT_EQ(client->SetPanelAttached(kPanelAttached), kQX531Success);
  });
  m.Unplug(main);
  program.Do([&] {
    EXPECT_EQ(client->CloseHandleOf(client->mMainHandle), kQX531Success);
    EXPECT_EQ(client->mMainHandle, kNoDevice);
    client.reset();
  });
}

TEST_F(Discovery, TheHandleDumpListsPathsAndSlotsWithWholeHandleValues) {
  Machine::Unit kr = ctest::PlugUnit(m, ctest::kKr6, 101);
  std::string path = m.InterfacePath(kr);
  ctest::Program program(m.Run());
  std::string expected;
  program.Do([&] {
    TestClient client;
    client.OpenDevicePath(path);
    char line[64];
    std::snprintf(line, sizeof line, "mKR6HandleList[0]= %lld\n",
                  static_cast<long long>(reinterpret_cast<intptr_t>(client.mKR6HandleList[0])));
    expected = "After add\nmHandleMap[0].devname = " + path + "\n" + line + "mKR6HandleList[1]= -1\n";
  });
  EXPECT_NE(program.DebugOutput().find(expected), std::string::npos) << program.DebugOutput();
}

TEST_F(Discovery, AThirtyTwoBitProgramFindsAndDrivesTheUnitsTheSameWay) {
  Machine::Unit main = ctest::PlugUnit(m, ctest::kMain, 7);
  ctest::Program program(m.Run(), 32);
  program.Do([&] {
    TestClient client;
    client.EnumerateDevices(kQX531InterfaceClass);
    EXPECT_EQ(client.IsOpen(), 1);
    EXPECT_EQ(client.SetParameter(PreferencesBlock::kParamSampleRate, 48000), kQX531Success);
  });
  auto set = ctest::Requests(m, main, 11);
  ASSERT_EQ(set.size(), 1u);
  EXPECT_EQ(set[0].is32, 1u);
}

}  // namespace
