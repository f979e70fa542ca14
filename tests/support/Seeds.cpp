#include "tests/support/Seeds.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace qxtest {

std::vector<uint64_t> InterleavingSeeds(size_t count) {
  if (const char* one = std::getenv("QX_SEED")) return {std::strtoull(one, nullptr, 10)};
  std::vector<uint64_t> seeds;
  for (uint64_t s = 0; s < count; ++s) seeds.push_back(s);
  return seeds;
}

std::string SeedTrace(uint64_t seed) {
  const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
  std::string filter = info != nullptr ? std::string(info->test_suite_name()) + "." + info->name() : "*";
  return "interleaving seed " + std::to_string(seed) + " (rerun: QX_SEED=" + std::to_string(seed) +
         " <test binary> --gtest_filter=" + filter + ")";
}

}  // namespace qxtest
