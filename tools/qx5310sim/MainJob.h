// One run of the main job: the machine boots with its state file in the output folder, runs the
// scenario, shuts down, and the report is written beside the files the scenario wrote.
#pragma once

#include <cstdint>
#include <string>

#include "tools/qx5310sim/Report.h"
#include "tools/qx5310sim/Scenario.h"

struct MainJobRun {
  Report report;
  std::string reportPath;
  uint64_t traceHash;
};

// The output folder must exist; options.outDir is set to it.
MainJobRun RunMainJob(const std::string& outDir, ScenarioOptions options, bool realTime);
