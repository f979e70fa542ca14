// The default scenario of the main job, run on virtual time.
#pragma once

#include "platform/kernel/Scheduler.h"
#include "tools/qx5310sim/FaultPlan.h"

class Machine;
class Report;

#include <string>

struct ScenarioOptions {
  plat::VTime duration = 5 * plat::kNsPerSecond;
  int expansionUnits = 2;  // KR-6 units plugged in beside the main unit, 0-15
  uint32_t protocol = 2;   // control protocol of the surfaces, 1-5 (2: Mackie Control)
  uint32_t sampleRate = 48000;
  uint32_t bufferFrames = 256;
  std::string outDir = "out";  // the files the scenario writes go here
  FaultPlan faults;            // none unless asked for
  // The control panel runs, sets protocol, rate and latency, and is worked through its steps.
  bool panel = false;
};

void RunDefaultScenario(Machine& machine, const ScenarioOptions& options, Report& report);
