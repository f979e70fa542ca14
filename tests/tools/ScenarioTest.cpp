// The main job's scenario as a whole: it loses nothing, and it is deterministic.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include <unistd.h>

#include "tools/qx5310sim/Machine.h"
#include "tools/qx5310sim/Report.h"
#include "tools/qx5310sim/Scenario.h"

namespace {

struct ScenarioRun {
  uint64_t traceHash;
  std::string report;
  bool lost;
};

ScenarioRun RunOnce(const std::string& stateFile) {
  Report report;
  Machine machine(stateFile);
  machine.Boot(report);
  ScenarioOptions options;
  options.duration = plat::kNsPerSecond / 2;
  RunDefaultScenario(machine, options, report);
  uint64_t hash = machine.Scheduler().TraceHash();
  machine.Shutdown(report);
  return {hash, report.Text(), report.AnythingLost()};
}

TEST(MainJobScenario, RunsTwiceWithTheSameTraceAndLosesNothing) {
  auto dir = std::filesystem::temp_directory_path() / ("qx5310sim-test-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  ScenarioRun first = RunOnce((dir / "a.reg").string());
  ScenarioRun second = RunOnce((dir / "b.reg").string());
  std::filesystem::remove_all(dir);
  EXPECT_FALSE(first.lost) << first.report;
  EXPECT_FALSE(second.lost) << second.report;
  EXPECT_EQ(first.traceHash, second.traceHash);
}

TEST(MainJobScenario, SettingsSurviveBetweenRuns) {
  auto dir = std::filesystem::temp_directory_path() / ("qx5310sim-state-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::string state = (dir / "machine.reg").string();
  ScenarioRun first = RunOnce(state);
  ScenarioRun second = RunOnce(state);
  std::filesystem::remove_all(dir);
  EXPECT_NE(first.report.find("stored settings:            none"), std::string::npos) << first.report;
  EXPECT_NE(second.report.find("stored settings:            found"), std::string::npos) << second.report;
}

}  // namespace
