// A scripted session at the control surfaces, with a host application at the other end of the
// control-surface MIDI port of each unit: "MidiC" of the main unit's audio adapter and "MidiKR6"
// of each KR-6's. The host runs as a thread of its own that waits for its ports to signal.
// It answers as a Mackie Control host would (in the three Mackie-style protocols): it writes its
// display, lights the lamp of each pressed button and parks a released fader where the user left
// it. In the other protocols it only listens.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/kernel/Scheduler.h"

namespace sim {
class Unit;
}  // namespace sim
class Report;

class SurfaceSession {
 public:
  SurfaceSession(plat::Scheduler& scheduler, uint32_t protocol);
  ~SurfaceSession();

  // A unit's port: what reached the host since the last take, and one event to the unit.
  struct Port {
    std::function<std::vector<uint32_t>()> take;
    std::function<bool(uint32_t)> send;
    // The event the port sets when something arrives for the host (null: none any more).
    std::function<void(PKEVENT)> signal;
    std::string what;  // where the host's port is, for the report
  };
  // `serial` is 0 for the main unit.
  void AddUnit(const std::string& name, sim::Unit& hardware, uint32_t serial, Port port);
  // Plays the script on every unit from `start`; it takes about one virtual second.
  void Play(plat::VTime start);
  // Stops the host's thread; before the ports go.
  void Stop();
  void WriteReport(Report& report) const;

 private:
  struct Surface;
  void Poll();
  void Answer(Surface& s, uint32_t packet);
  void SendDisplay(Surface& s, const std::string& text);

  plat::Scheduler& sched_;
  uint32_t protocol_;
  std::vector<std::unique_ptr<Surface>> surfaces_;
  KEVENT arrived_;  // any port has something, or the host is to stop
  uint32_t hostThread_ = 0;
  bool stop_ = false;
};

// A MIDIEventPacket as a person reads it: "note 104 127", "pitch bend 2 = 800", "sysex F0 00 00".
std::string DescribeMidiEvent(uint32_t packet);
