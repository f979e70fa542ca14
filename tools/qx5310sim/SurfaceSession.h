// A scripted session at the control surfaces, with a host application at the other end of the
// control-surface MIDI port of each unit (the host's MIDI adapter on the unit's child device). The host answers as a Mackie Control host would (in the three
// Mackie-style protocols): it writes its display, lights the lamp of each pressed button and
// parks a released fader where the user left it. In the other protocols it only listens.
#pragma once

#include <cstdint>
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

  // `serial` is 0 for the main unit.
  void AddUnit(const std::string& name, sim::Unit& hardware, uint32_t serial);
  // Plays the script on every unit from `start`; it takes about one virtual second.
  void Play(plat::VTime start);
  void WriteReport(Report& report) const;

 private:
  struct Surface;
  void Poll();
  void Answer(Surface& s, uint32_t packet);
  void SendDisplay(Surface& s, const std::string& text);

  plat::Scheduler& sched_;
  uint32_t protocol_;
  std::vector<std::unique_ptr<Surface>> surfaces_;
  uint64_t pollEvent_ = 0;
};

// A MIDIEventPacket as a person reads it: "note 104 127", "pitch bend 2 = 800", "sysex F0 00 00".
std::string DescribeMidiEvent(uint32_t packet);
