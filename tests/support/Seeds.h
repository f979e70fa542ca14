// Interleaving seeds for tests of code with a race to get right. Seed 0 is first-in first-out
// order; the others let processors overtake each other at preemption points. QX_SEED=N in the
// environment runs seed N alone, which is how a failure printed with its seed is rerun.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qxtest {

std::vector<uint64_t> InterleavingSeeds(size_t count = 32);

// "interleaving seed N (rerun: QX_SEED=N <test binary> --gtest_filter=<this test>)", for SCOPED_TRACE.
std::string SeedTrace(uint64_t seed);

}  // namespace qxtest
