// Names of surface controls and banks, and what a programming word says of its control and action.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <utility>

#include "client/ControlNames.h"
#include "tests/client/TestClient.h"

namespace {

constexpr uint32_t Word(uint32_t kind, uint32_t bank, uint32_t action, uint32_t id) {
  return kind << 30 | bank << 27 | action << 24 | id << 16;
}

struct Table {
  const char* name;
  std::span<const ControlNameRow> rows;
  size_t named;
};

const Table kTables[] = {{"revised", ControlNamesOfRevisedUnits(), 100}, {"original", ControlNamesOfOriginalUnits(), 99}};

std::map<std::string, std::pair<int, int>> NameIndex(std::span<const ControlNameRow> rows) {
  std::map<std::string, std::pair<int, int>> names;
  for (const ControlNameRow& r : rows)
    if (r.name != nullptr) names[r.name] = {r.kind, r.id};
  return names;
}

TEST(ControlNameTables, EndWithANullRowAndHoldNoKindAndIdTwiceNorANameTwice) {
  for (const Table& t : kTables) {
    SCOPED_TRACE(t.name);
    ASSERT_EQ(t.rows.size(), t.named + 1);
    EXPECT_EQ(t.rows.back().name, nullptr);
    std::set<std::pair<int, int>> keys;
    std::set<std::string> names;
    for (size_t i = 0; i < t.named; ++i) {
      ASSERT_NE(t.rows[i].name, nullptr) << i;
      EXPECT_TRUE(keys.insert({t.rows[i].kind, t.rows[i].id}).second) << t.rows[i].name;
      EXPECT_TRUE(names.insert(t.rows[i].name).second) << t.rows[i].name;
    }
  }
}

TEST(ControlNameTables, NumberFadersAndEncodersWithoutGapsAndHaveNoRowAMaskedIdCouldNeverReach) {
  for (const Table& t : kTables) {
    SCOPED_TRACE(t.name);
    std::map<int, std::set<int>> ids;
    for (size_t i = 0; i < t.named; ++i) {
      const ControlNameRow& r = t.rows[i];
      ids[r.kind].insert(r.id);
      uint8_t ignored = r.kind == kControlKindButton ? 0x08 : 0x80;
      EXPECT_EQ(r.id & ignored, 0) << r.name;
    }
    EXPECT_EQ(ids[kControlKindFader], (std::set<int>{0, 1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(ids[kControlKindEncoder], (std::set<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
    EXPECT_EQ(ids.size(), 3u);
  }
}

TEST(ControlNameTables, NameTheSameControlsOnBothRevisionsButTheShuttle) {
  auto revised = NameIndex(ControlNamesOfRevisedUnits());
  auto original = NameIndex(ControlNamesOfOriginalUnits());
  for (const auto& [name, key] : revised) {
    if (name == "Shuttle") {
      EXPECT_EQ(original.count(name), 0u);
      continue;
    }
    ASSERT_EQ(original.count(name), 1u) << name;
    EXPECT_EQ(original[name].first, key.first) << name;
    if (key.first != kControlKindButton) {
      EXPECT_EQ(original[name].second, key.second) << name;
    }
  }
  // As the surface emulator's layout has them on revised units.
  EXPECT_EQ(revised["Aux 6"], std::make_pair(1, 0x52));
  EXPECT_EQ(revised["Aux 7"], std::make_pair(1, 0x51));
}

struct NameCase {
  uint8_t hardwareByte;
  uint32_t word;
  const char* name;  // null: no name
};

TEST(ControlName, NamesAWordsControlByTheUnitsHardwareRevision) {
  const NameCase cases[] = {
      {1, 0, nullptr},
      {1, Word(1, 0, 1, 0x28), "Select 1"},  // bit 3 of a button id is not part of it
      {1, Word(1, 0, 1, 0x20), "Select 1"},
      {1, Word(3, 0, 2, 0x88), "Master Fader"},  // bit 7 of a fader or encoder id is not part of it
      {0, Word(3, 0, 2, 0x08), "Master Fader"},
      {1, Word(2, 0, 2, 0x8B), "Data Wheel"},
      {1, Word(1, 0, 1, 0x30), "Solo 1"},
      {0, Word(1, 0, 1, 0x30), "Select 1"},
      {1, Word(1, 0, 1, 0xE7), "Shuttle"},
      {0, Word(1, 0, 1, 0xE7), nullptr},
      {1, Word(1, 0, 1, 0x52), "Aux 6"},
      {1, Word(1, 0, 1, 0x51), "Aux 7"},
      {0, Word(1, 0, 1, 0x75), "Aux 6"},
      {0, Word(1, 0, 1, 0xA7), "Aux 7"},
      {1, Word(2, 0, 2, 0x0C), nullptr},
      {1, Word(1, 0, 1, 0x00), nullptr},
  };
  TestClient client;
  for (const NameCase& c : cases) {
    client.mSharedState.mHardwareVersion = static_cast<uint32_t>(c.hardwareByte) << 16 | 0xFF0000FFu;
    const char* name = client.ControlName(c.word);
    if (c.name == nullptr) {
      EXPECT_EQ(name, nullptr) << std::hex << c.word;
    } else {
      EXPECT_STREQ(name, c.name) << std::hex << c.word;
    }
  }
}

TEST(BankName, NamesBanksOneToFourADashForNoBankAndNothingForNoControlOrUnusedBits) {
  const std::pair<uint32_t, const char*> cases[] = {
      {0, ""},
      {Word(0, 3, 0, 0), ""},
      {Word(1, 0, 1, 0x20), "Bank 1"},
      {Word(3, 1, 2, 0), "Bank 2"},
      {Word(2, 2, 2, 0), "Bank 3"},
      {Word(1, 3, 1, 0), "Bank 4"},
      {Word(1, 4, 1, 0), "-"},
      {Word(1, 5, 1, 0), ""},
      {Word(1, 6, 1, 0), ""},
      {Word(3, 7, 1, 0), ""},
  };
  TestClient client;
  for (const auto& [word, name] : cases) {
    const char* got = client.BankName(word);
    ASSERT_NE(got, nullptr);
    EXPECT_STREQ(got, name) << std::hex << word;
  }
}

TEST(ControlPredicates, LookOnlyAtTheKindAndActionBits) {
  struct Case {
    uint32_t word;
    bool button, continuous, note, controller, toggled;
  } const cases[] = {
      {0, false, false, false, false, false},
      {Word(1, 0, 1, 0x20), true, false, true, false, false},
      {Word(1, 0, 2, 0x20), true, false, false, true, false},
      {Word(1, 0, 3, 0x20), true, false, false, false, true},
      {Word(2, 0, 1, 0x01), false, true, false, true, false},  // an encoder is never a note
      {Word(3, 0, 3, 0x01), false, true, false, true, false},  // nor a toggled controller
      {Word(0, 0, 2, 0x00), false, false, false, true, false},
  };
  TestClient client;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.word);
    EXPECT_EQ(client.IsButtonControl(c.word), c.button);
    EXPECT_EQ(client.IsEncoderOrFaderControl(c.word), c.continuous);
    EXPECT_EQ(client.IsNoteAction(c.word), c.note);
    EXPECT_EQ(client.IsControllerAction(c.word), c.controller);
    EXPECT_EQ(client.IsToggledControllerAction(c.word), c.toggled);
  }
}

}  // namespace
