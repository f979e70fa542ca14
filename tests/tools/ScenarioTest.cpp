// The main job's scenario as a whole: plug-in, 18x18 streaming looped back bit-exact, the surface
// session; it loses nothing, and it is deterministic.
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

ScenarioRun RunOnce(const std::filesystem::path& dir, const std::string& stateName) {
  std::string stateFile = (dir / stateName).string();
  Report report;
  Machine machine(stateFile);
  machine.Boot(report);
  ScenarioOptions options;
  options.duration = plat::kNsPerSecond / 2;
  options.outDir = dir.string();
  RunDefaultScenario(machine, options, report);
  uint64_t hash = machine.Scheduler().TraceHash();
  machine.Shutdown(report);
  return {hash, report.Text(), report.AnythingLost()};
}

TEST(MainJobScenario, RunsTwiceWithTheSameTraceAndLosesNothing) {
  auto dir = std::filesystem::temp_directory_path() / ("qx5310sim-test-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  ScenarioRun first = RunOnce(dir, "a.reg");
  ScenarioRun second = RunOnce(dir, "b.reg");
  std::filesystem::remove_all(dir);
  EXPECT_FALSE(first.lost) << first.report;
  EXPECT_FALSE(second.lost) << second.report;
  EXPECT_EQ(first.traceHash, second.traceHash);
}

TEST(MainJobScenario, SettingsSurviveBetweenRuns) {
  auto dir = std::filesystem::temp_directory_path() / ("qx5310sim-state-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  ScenarioRun first = RunOnce(dir, "machine.reg");
  ScenarioRun second = RunOnce(dir, "machine.reg");
  std::filesystem::remove_all(dir);
  EXPECT_NE(first.report.find("stored settings:            none"), std::string::npos) << first.report;
  EXPECT_NE(second.report.find("stored settings:            found"), std::string::npos) << second.report;
}

}  // namespace
