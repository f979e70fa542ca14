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

// How the machine runs: paced to the wall clock or not, its processors, its interleaving seed.
struct MachineOptions {
  bool realTime = false;
  uint32_t processors = 2;
  uint64_t seed = 0;
};

// The output folder must exist; options.outDir is set to it.
MainJobRun RunMainJob(const std::string& outDir, ScenarioOptions options, MachineOptions machineOptions = {});
