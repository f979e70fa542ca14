// The unit driver's machine with the audio adapter installed: its service key, its image bound
// to the children's hardware id, and what the tests need to reach the adapter on a unit's child.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/portcls/PinClient.h"
#include "tests/driver/DriverRig.h"

namespace wdmtest {

class WdmRig : public drvtest::DriverRig {
 public:
  explicit WdmRig(uint64_t seed = 0, uint32_t processors = 2);

  // The unit's audio child device, or null.
  PDEVICE_OBJECT ChildOf(const sim::Node& unit) const;
  std::vector<std::u16string> SubdeviceNames(const sim::Node& unit) const;
  std::unique_ptr<plat::KsFilter> Filter(const sim::Node& unit, std::u16string_view name);
  // MIDI both ways on the unit, as a client of the unit driver asks for it.
  void StartMidi(const sim::Node& unit);
  // The adapter's MIDI miniport of `port` on the unit, or null: for tests that open a stream of
  // it directly, as port class does, and call the stream exactly as they choose.
  IMiniportMidi* MidiMiniportOf(const sim::Node& unit, ULONG port) const;
};

// A PCM data range as the audio stack offers it in an intersection.
KSDATARANGE_AUDIO PcmRange(ULONG channels, ULONG minBits, ULONG maxBits, ULONG minRate, ULONG maxRate);

// The MIDI bytes of USB-MIDI packets, as many as each code index number carries.
std::vector<UCHAR> MidiBytesOf(const std::vector<uint32_t>& packets);

}  // namespace wdmtest
