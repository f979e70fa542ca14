// A host application's MIDI port on a unit: both pins of one MIDI subdevice of the audio adapter
// on the unit's child device ("MidiC" on the main unit, "MidiKR6" on a KR-6), opened and run
// through the pin client as Windows' audio stack opens them. The host reads bytes and cuts them
// back into MIDIEventPackets of the port's cable, as a MIDI API hands over whole messages, and
// sends an event as its bytes. Called at PASSIVE_LEVEL, from a simulated thread or the host.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/portcls/PinClient.h"

class HostMidiPort {
 public:
  HostMidiPort(uint64_t unitGuid, std::u16string subdevice, uint8_t cable);
  ~HostMidiPort();
  HostMidiPort(const HostMidiPort&) = delete;
  HostMidiPort& operator=(const HostMidiPort&) = delete;

  // Finds the subdevice on the unit's child, opens both pins and runs them; false when any step
  // failed, and then nothing stays open.
  bool Open();
  // Stops and closes the pins and the filter.
  void Close();
  bool IsOpen() const { return out_ != nullptr; }
  // What arrived since the last take, as whole messages; nothing while closed. A port whose unit
  // was pulled is closed here, as an application lets go of a device that is gone.
  std::vector<uint32_t> Take();
  // One event to the unit; false while closed, when the port had no room for its bytes, or when
  // its unit was pulled, which closes it.
  bool Send(uint32_t packet);
  std::string Name() const;
  // An event the port sets whenever messages arrive and when its unit goes, kept across opens;
  // null for none.
  void SignalArrivals(PKEVENT event);

 private:
  void Parse(uint8_t byte, std::vector<uint32_t>& out);
  uint32_t Packet(uint32_t cin, uint8_t b0, uint8_t b1, uint8_t b2) const;

  uint64_t unitGuid_;
  std::u16string subdevice_;
  uint8_t cable_;
  std::unique_ptr<plat::KsFilter> filter_;
  std::unique_ptr<plat::KsMidiPin> in_;
  std::unique_ptr<plat::KsMidiPin> out_;
  PKEVENT arrivals_ = nullptr;
  // The message being read: its status (running status kept), the data bytes it still needs,
  // and the bytes of a system exclusive message not yet in a packet.
  uint8_t status_ = 0;
  uint8_t data_[2] = {};
  uint8_t have_ = 0;
  bool inSysEx_ = false;
  uint8_t sysEx_[3] = {};
  uint8_t sysExHave_ = 0;
};
