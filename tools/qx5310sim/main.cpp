// qx5310sim: the whole stack against simulated units, on virtual time.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "tools/qx5310sim/MainJob.h"

namespace {

void Usage() {
  std::fprintf(stderr,
               "usage: qx5310sim [--out DIR] [--duration SECONDS] [--kr6 N] [--protocol P]\n"
               "                 [--rate HZ] [--frames N] [--realtime] [--processors N] [--seed N]\n"
               "                 [--faults PLAN] [--no-panel]\n"
               "  --out DIR           where the report and the machine's state file go (default: out)\n"
               "  --duration SECONDS  virtual time the scenario runs (default: 5)\n"
               "  --kr6 N             KR-6 expansion units beside the main unit, 0-15 (default: 2)\n"
               "  --protocol P        control protocol of the surfaces: 1 native, 2 Mackie Control (default),\n"
               "                      3 HUI, 4 Cubase LE, 5 Cubase SX / Nuendo\n"
               "  --rate HZ           sample rate: 44100, 48000 (default), 88200 or 96000\n"
               "  --frames N          frames a buffer half: 32, 64, ... 2048 (default 256)\n"
               "  --realtime          pace virtual time to the wall clock\n"
               "  --no-panel          leave the control panel out: a host program on the client library\n"
               "                      sets protocol, rate and latency in its place (by default the panel\n"
               "                      runs from log-on, sets them, is worked through the input driver\n"
               "                      and pictured into the output)\n"
               "  --processors N      simulated processors, 1-64 (default: 2)\n"
               "  --seed N            interleaving seed: 0 (default) runs first in, first out; others let\n"
               "                      processors overtake each other where real ones could\n"
               "  --faults PLAN       run the scenario under faults, a comma-separated list of:\n"
               "                      reset-storm (a bus reset every 100 ms), packets (a record\n"
               "                      packet every half second dropped, duplicated or corrupted),\n"
               "                      drift=PPM (the main unit's clock off by PPM), pull-main and\n"
               "                      pull-kr6 (pulled 1 s in, plugged back 0.3 s later); the report\n"
               "                      says what was recovered and whether anything was lost\n");
}

}  // namespace

int main(int argc, char** argv) {
  std::string out = "out";
  ScenarioOptions options;
  options.panel = true;
  MachineOptions machineOptions;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--out" && i + 1 < argc) {
      out = argv[++i];
    } else if (arg == "--duration" && i + 1 < argc) {
      char* end = nullptr;
      double seconds = std::strtod(argv[++i], &end);
      if (end == nullptr || *end != '\0' || !(seconds > 0) || seconds > 3600) {
        Usage();
        return 2;
      }
      options.duration = static_cast<plat::VTime>(seconds * plat::kNsPerSecond);
    } else if (arg == "--kr6" && i + 1 < argc) {
      char* end = nullptr;
      long n = std::strtol(argv[++i], &end, 10);
      if (end == nullptr || *end != '\0' || n < 0 || n > 15) {
        Usage();
        return 2;
      }
      options.expansionUnits = static_cast<int>(n);
    } else if (arg == "--protocol" && i + 1 < argc) {
      char* end = nullptr;
      long p = std::strtol(argv[++i], &end, 10);
      if (end == nullptr || *end != '\0' || p < 1 || p > 5) {
        Usage();
        return 2;
      }
      options.protocol = static_cast<uint32_t>(p);
    } else if (arg == "--rate" && i + 1 < argc) {
      long r = std::strtol(argv[++i], nullptr, 10);
      if (r != 44100 && r != 48000 && r != 88200 && r != 96000) {
        Usage();
        return 2;
      }
      options.sampleRate = static_cast<uint32_t>(r);
    } else if (arg == "--frames" && i + 1 < argc) {
      long f = std::strtol(argv[++i], nullptr, 10);
      if (f < 32 || f > 2048 || (f & (f - 1)) != 0) {
        Usage();
        return 2;
      }
      options.bufferFrames = static_cast<uint32_t>(f);
    } else if (arg == "--processors" && i + 1 < argc) {
      char* end = nullptr;
      long n = std::strtol(argv[++i], &end, 10);
      if (end == nullptr || *end != '\0' || n < 1 || n > 64) {
        Usage();
        return 2;
      }
      machineOptions.processors = static_cast<uint32_t>(n);
    } else if (arg == "--seed" && i + 1 < argc) {
      char* end = nullptr;
      machineOptions.seed = std::strtoull(argv[++i], &end, 10);
      if (end == nullptr || *end != '\0') {
        Usage();
        return 2;
      }
    } else if (arg == "--faults" && i + 1 < argc) {
      auto plan = FaultPlan::Parse(argv[++i]);
      if (!plan) {
        Usage();
        return 2;
      }
      options.faults = *plan;
    } else if (arg == "--realtime") {
      machineOptions.realTime = true;
    } else if (arg == "--no-panel") {
      options.panel = false;
    } else if (arg == "--help") {
      Usage();
      return 0;
    } else {
      Usage();
      return 2;
    }
  }
  std::filesystem::create_directories(out);
  MainJobRun run = RunMainJob(out, options, machineOptions);
  std::fputs(run.report.Text().c_str(), stdout);
  std::printf("\nreport: %s\n", run.reportPath.c_str());
  return run.report.AnythingLost() ? 1 : 0;
}
