#include "tools/qx5310sim/Machine.h"

#include <filesystem>

#include "platform/kernel/Leftovers.h"
#include "platform/kernel/Pool.h"
#include "platform/kernel/RegistryHive.h"
#include "tools/qx5310sim/Report.h"

Machine::Machine(std::string stateFile) : stateFile_(std::move(stateFile)) {}

Machine::~Machine() = default;

void Machine::Boot(Report& report) {
  scheduler_ = std::make_unique<plat::Scheduler>();
  plat::RegistryHive::Clear();
  std::string error;
  if (!std::filesystem::exists(stateFile_)) {
    report.Value("registry", "new (no state file yet)");
  } else if (plat::RegistryHive::Load(stateFile_, &error)) {
    report.Value("registry", "loaded from " + stateFile_);
  } else {
    report.Value("registry", "new (" + stateFile_ + " unreadable: " + error + ")");
  }
  bus_ = std::make_unique<sim::Bus>(*scheduler_);
  host_ = std::make_unique<sim::HostNode>();
  bus_->Attach(*host_);
  scheduler_->RunUntilIdle();
}

void Machine::Shutdown(Report& report) {
  scheduler_->RunUntilIdle();
  if (plat::PendingWorkItems() != 0) report.Lost(std::to_string(plat::PendingWorkItems()) + " work item(s) never ran");
  traceHash_ = scheduler_->TraceHash();
  report.Value("trace hash", std::to_string(traceHash_));
  bus_->Detach(*host_);
  host_.reset();
  bus_.reset();
  scheduler_.reset();
  for (const std::string& name : plat::Scheduler::TakeAbandonedThreads())
    report.Lost("thread '" + name + "' was still running at shutdown");
  std::string error;
  if (!plat::RegistryHive::Save(stateFile_, &error)) report.Lost("the registry could not be saved: " + error);
  std::string devices = plat::IoDeviceObjectsLeft();
  if (!devices.empty()) report.Lost("device objects left at shutdown:\n" + devices);
  std::string leaks = plat::PoolLedger::LeakReport();
  if (!leaks.empty()) report.Lost("kernel pool left allocated at shutdown:\n" + leaks);
}
