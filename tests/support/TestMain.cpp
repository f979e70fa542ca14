// Every test binary runs here: after each test, kernel pool still allocated, kernel handles left
// open, lookaside lists and device objects left undeleted, and threads abandoned at shutdown fail
// it, as Driver Verifier would at unload.
#include <gtest/gtest.h>

#include "platform/kernel/KernelHandles.h"
#include "platform/kernel/Leftovers.h"
#include "platform/kernel/Pool.h"
#include "platform/kernel/Scheduler.h"

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
    for (const std::string& name : plat::Scheduler::TakeAbandonedThreads())
      leaks += "thread '" + name + "' still alive at shutdown, abandoned\n";
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
