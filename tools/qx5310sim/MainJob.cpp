#include "tools/qx5310sim/MainJob.h"

#include <chrono>

#include "tools/qx5310sim/Machine.h"

MainJobRun RunMainJob(const std::string& outDir, ScenarioOptions options, MachineOptions machineOptions) {
  options.outDir = outDir;
  auto wallStart = std::chrono::steady_clock::now();
  MainJobRun run{{}, outDir + "/report.txt", 0};
  run.report.Section("qx5310sim");
  Machine machine(outDir + "/machine-state.reg");
  machine.Boot(run.report);
  machine.Scheduler().SetProcessors(machineOptions.processors);
  machine.Scheduler().SetSeed(machineOptions.seed);
  if (machineOptions.seed != 0)
    run.report.Value("interleaving", "seed " + std::to_string(machineOptions.seed) + " on " +
                                         std::to_string(machineOptions.processors) + " processors");
  machine.Scheduler().SetRealTime(machineOptions.realTime);
  RunDefaultScenario(machine, options, run.report);
  machine.Shutdown(run.report);
  run.traceHash = machine.TraceHash();
  auto wall = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - wallStart);
  run.report.Value("wall time", std::to_string(wall.count()) + " ms");
  if (!run.report.WriteTo(run.reportPath)) run.report.Lost("the report could not be written to " + run.reportPath);
  return run;
}
