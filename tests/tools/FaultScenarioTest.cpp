// The main job's scenario under the faults of a real bus, through the kernel driver: each run sends
// host MIDI, lamp and setting traffic, prints what it recovered and must lose nothing the driver
// accepted, nor any audio outside the faults.
// The reset storm runs for QX_STORM_SECONDS virtual seconds (3 unless set; 60 is the full storm).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include <unistd.h>

#include "tools/qx5310sim/MainJob.h"

namespace {

namespace fs = std::filesystem;

struct FaultCase {
  const char* name;
  const char* plan;
  double seconds;
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.plan; }

plat::VTime StormDuration() {
  const char* text = std::getenv("QX_STORM_SECONDS");
  const double seconds = text != nullptr ? std::strtod(text, nullptr) : 0;
  return static_cast<plat::VTime>((seconds > 0 ? seconds : 3) * plat::kNsPerSecond);
}

class FaultScenario : public testing::TestWithParam<FaultCase> {};

TEST_P(FaultScenario, LosesNothingAcceptedAndNoAudioOutsideTheFaults) {
  const FaultCase& c = GetParam();
  const fs::path out = fs::temp_directory_path() / ("qx5310sim-faults-" + std::string(c.name) + "-" + std::to_string(::getpid()));
  fs::remove_all(out);
  fs::create_directories(out);
  ScenarioOptions options;
  options.sampleRate = 96000;
  options.bufferFrames = 64;
  options.duration = c.seconds > 0 ? static_cast<plat::VTime>(c.seconds * plat::kNsPerSecond) : StormDuration();
  auto plan = FaultPlan::Parse(c.plan);
  ASSERT_TRUE(plan.has_value());
  options.faults = *plan;
  MainJobRun run = RunMainJob(out.string(), options);
  fs::remove_all(out);

  const std::string text = run.report.Text();
  const size_t faults = text.find("Faults\n");
  ASSERT_NE(faults, std::string::npos) << text;
  std::printf("%s", text.substr(faults).c_str());
  // What the host sent (MIDI, lamps, settings) is checked apart from the stream.
  std::vector<std::string> sent, stream;
  for (const std::string& loss : run.report.Losses()) {
    const bool traffic = loss.find("MIDI event") != std::string::npos || loss.find("setting") != std::string::npos ||
                         loss.find("lamp") != std::string::npos;
    (traffic ? sent : stream).push_back(loss);
  }
  EXPECT_TRUE(stream.empty()) << text;
  EXPECT_TRUE(sent.empty()) << text;
}

INSTANTIATE_TEST_SUITE_P(FaultTable, FaultScenario,
                         testing::Values(FaultCase{"ResetStorm", "reset-storm", 0},
                                         FaultCase{"RecordPackets", "packets", 3},
                                         FaultCase{"DriftPlus300", "drift=300", 2},
                                         FaultCase{"DriftMinus300", "drift=-300", 2},
                                         FaultCase{"DriftPlus1000", "drift=1000", 2},
                                         FaultCase{"DriftMinus1000", "drift=-1000", 2},
                                         FaultCase{"MainUnitPulled", "pull-main", 2},
                                         FaultCase{"Kr6Pulled", "pull-kr6", 2}),
                         [](const testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

TEST(FaultPlanText, NamesEachFaultAndRefusesWhatItDoesNotKnow) {
  auto plan = FaultPlan::Parse("reset-storm,packets,drift=-1000,pull-main,pull-kr6");
  ASSERT_TRUE(plan.has_value());
  EXPECT_TRUE(plan->resetStorm && plan->packets && plan->pullMain && plan->pullKr6);
  EXPECT_EQ(plan->driftPpm, -1000);
  auto none = FaultPlan::Parse("");
  ASSERT_TRUE(none.has_value());
  EXPECT_FALSE(none->Any());
  for (const char* bad : {"storm", "drift=", "drift=x", "drift=9000", "packets,,pull"})
    EXPECT_FALSE(FaultPlan::Parse(bad).has_value()) << bad;
}

}  // namespace
