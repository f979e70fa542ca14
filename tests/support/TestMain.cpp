// Every test binary runs here: after each test, pool still allocated and work left queued fail it.
#include <gtest/gtest.h>

#include "platform/kernel/Pool.h"

namespace {

class KernelLedgerCheck : public testing::EmptyTestEventListener {
  void OnTestStart(const testing::TestInfo&) override { plat::PoolLedger::Reset(); }
  void OnTestEnd(const testing::TestInfo& info) override {
    std::string leaks = plat::PoolLedger::LeakReport();
    plat::PoolLedger::ClearFailures();
    if (leaks.empty()) return;
    plat::PoolLedger::Forget();
    if (!info.result()->Failed()) ADD_FAILURE() << "test left pool allocated:\n" << leaks;
  }
};

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  testing::UnitTest::GetInstance()->listeners().Append(new KernelLedgerCheck);
  return RUN_ALL_TESTS();
}
