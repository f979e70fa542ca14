// Every test binary runs here: after each test, kernel pool still allocated, kernel handles left
// open, lookaside lists left undeleted and device objects left undeleted fail it, as Driver
// Verifier would at unload.
#include <gtest/gtest.h>

#include "platform/kernel/Handles.h"
#include "platform/kernel/IoManager.h"
#include "platform/kernel/Lookaside.h"
#include "platform/kernel/Pool.h"

namespace {

class KernelLedgerCheck : public testing::EmptyTestEventListener {
  void OnTestStart(const testing::TestInfo&) override {
    plat::PoolLedger::Reset();
    handlesAtStart_ = plat::KernelHandles::OpenCount();
    listsAtStart_ = plat::LiveLookasideLists();
  }
  void OnTestEnd(const testing::TestInfo& info) override {
    std::string leaks;
    if (plat::KernelHandles::OpenCount() > handlesAtStart_)
      leaks += "kernel handles left open:\n" + plat::KernelHandles::OpenReport();
    if (plat::LiveLookasideLists() > listsAtStart_) leaks += "lookaside lists left undeleted\n";
    std::string devices = plat::IoDeviceObjectsLeft();
    if (!devices.empty()) leaks += "device objects left undeleted:\n" + devices;
    plat::IoForgetDeviceObjects();
    leaks += plat::PoolLedger::LeakReport();
    plat::PoolLedger::ClearFailures();
    plat::PoolLedger::Forget();
    if (!leaks.empty() && !info.result()->Failed()) ADD_FAILURE() << "test left kernel resources:\n" << leaks;
  }
  size_t handlesAtStart_ = 0;
  size_t listsAtStart_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  testing::UnitTest::GetInstance()->listeners().Append(new KernelLedgerCheck);
  return RUN_ALL_TESTS();
}
