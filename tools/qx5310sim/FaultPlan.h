// Faults the main job's scenario can run under, as a real bus and a real user bring them, and the
// host traffic that must come through them: MIDI to the main unit's port, lamps on the surfaces
// and settings, each checked at the units once the faults are over.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/kernel/Scheduler.h"

namespace sim {
class Bus;
class MainUnit;
class Unit;
}  // namespace sim
class AudioSession;
class Machine;
class Report;

struct FaultPlan {
  static constexpr plat::VTime kResetInterval = 100 * plat::kNsPerMs;
  static constexpr uint32_t kResetCycles = 4;  // how long a reset holds the bus

  bool resetStorm = false;  // a bus reset every 100 ms while streaming
  bool packets = false;     // one record packet every half second dropped, duplicated or corrupted
  double driftPpm = 0;      // the main unit's clock off by this much
  bool pullMain = false;    // the main unit pulled mid-stream and plugged back
  bool pullKr6 = false;     // the first KR-6 pulled mid-stream and plugged back

  bool Any() const { return resetStorm || packets || driftPpm != 0 || pullMain || pullKr6; }
  // A comma-separated list of reset-storm, packets, drift=PPM, pull-main, pull-kr6; "" for none.
  static std::optional<FaultPlan> Parse(const std::string& text);
  std::string Describe() const;
};

class FaultRun {
 public:
  struct Target {
    std::string name;
    sim::Unit* hardware;
    uint32_t serial;                     // 0 for the main unit
    std::function<bool(uint32_t)> send;  // one MIDIEventPacket to the unit's host port
  };

  // `restart` runs for a pulled unit that is back once plug and play has started it: what its
  // clients do for a unit that arrives.
  FaultRun(Machine& machine, const FaultPlan& plan, AudioSession* audio, std::function<void(const Target&)> restart);
  ~FaultRun();

  // Runs the faults and the traffic from now until `end`. units[0] is the main unit: the MIDI goes
  // to it, the lamps to it and to the first KR-6, the settings to every unit.
  void Run(sim::MainUnit& mainUnit, const std::vector<Target>& units, plat::VTime end);
  // Stops the faults and the traffic and gives the units time to take what is still due.
  void Drain();
  // What was recovered, and whether anything accepted was lost.
  void WriteReport(Report& report);
  // The OVR threshold index the plan last set as another client of the driver, if any.
  std::optional<uint32_t> LastOvrThreshold() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};
