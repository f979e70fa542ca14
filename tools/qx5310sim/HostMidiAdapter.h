// The host's MIDI ports on each unit, until the audio adapter takes its place on the unit's child
// device: a kernel driver that plug and play loads on every child the unit driver reports. At its
// start it asks the child for the direct-call table, registers for the unit's MIDI in, and sends
// the host's MIDI to the unit through the table; at its removal it lets the table go. The main job
// reads what arrived, and sends, by the unit's bus GUID, so a unit pulled and plugged back keeps
// one log.
#pragma once

#include <cstdint>
#include <vector>

namespace HostMidiAdapter {

// Registers the adapter's service and binds it to the child device's hardware id, and forgets the
// MIDI of an earlier machine. Once per machine, before the units are plugged in.
void Install();
// A unit whose ports the main job uses; before it is plugged in.
void Watch(uint64_t unitGuid);
// Whether an adapter is bound on the child of the unit with this GUID.
bool Bound(uint64_t unitGuid);
// Every MIDIEventPacket the unit delivered to the host since the machine booted, in order.
const std::vector<uint32_t>& MidiIn(uint64_t unitGuid);
// Hands one MIDIEventPacket to the unit; false when no adapter is bound or the unit's MIDI-out
// ring had no room, and then the unit never takes it.
bool Send(uint64_t unitGuid, uint32_t packet);

}  // namespace HostMidiAdapter
