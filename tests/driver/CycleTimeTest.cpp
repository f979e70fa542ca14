// Cycle-time words as the streams schedule their lists by them: cycles added across the second and
// across the wrap of the seconds field, and the distance between two words across that wrap.
#include <gtest/gtest.h>

#include "driver/CycleTime.h"

namespace {

constexpr ULONG Word(ULONG seconds, ULONG cycle, ULONG offset = 0) { return seconds << 25 | cycle << 12 | offset; }

struct AddCase {
  ULONG word;
  ULONG cycles;
  ULONG expected;
};

TEST(CycleTimeWords, AddingCyclesCarriesIntoTheSecondsWhichWrapAfter127AndKeepsTheOffset) {
  const AddCase cases[] = {
      {Word(5, 7000), 4096, Word(6, 3096)},
      {Word(5, 100, 0x123), 50, Word(5, 150, 0x123)},
      {Word(5, 7999), 1, Word(6, 0)},
      {Word(127, 7000), 4096, Word(0, 3096)},
      {Word(3, 0), 3 * 8000 + 5, Word(6, 5)},
      {Word(9, 42, 0xFFF), 0, Word(9, 42, 0xFFF)},
  };
  for (const AddCase& c : cases) EXPECT_EQ(AddCycles(c.word, c.cycles), c.expected) << std::hex << c.word;
}

struct DistanceCase {
  ULONG later;
  ULONG earlier;
  LONG expected;
};

TEST(CycleTimeWords, TheDistanceBetweenTwoWordsIsSignedAndSurvivesTheWrap) {
  const DistanceCase cases[] = {
      {Word(6, 3096), Word(5, 7000), 4096},
      {Word(5, 7000), Word(6, 3096), -4096},
      {Word(0, 10), Word(127, 7990), 20},
      {Word(127, 7990), Word(0, 10), -20},
      {Word(4, 4, 0x800), Word(4, 4), 0},
  };
  for (const DistanceCase& c : cases) EXPECT_EQ(CyclesAfter(c.later, c.earlier), c.expected);
}

}  // namespace
