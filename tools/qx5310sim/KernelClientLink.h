// The main unit's host MIDI through the published kernel interface: the kernel client's image
// (QxKernelClient.sys), loaded beside the unit driver as another vendor's driver would be, binds
// to the main unit when its interface arrives; the main job asks it, through its control device,
// to set up MIDI, to start, to hand over what it received and to send. Events travel as
// MIDIEventPackets here and as the interface's three-byte events there. Called at PASSIVE_LEVEL
// from a thread or the host, never from an event.
#pragma once

#include <cstdint>
#include <vector>

class KernelClientLink {
 public:
  KernelClientLink() = default;
  ~KernelClientLink();
  KernelClientLink(const KernelClientLink&) = delete;
  KernelClientLink& operator=(const KernelClientLink&) = delete;

  // Loads the image and opens its control device; false when either failed.
  bool Load();
  // Closes the control device and unloads the image; before the machine shuts down.
  void Unload();
  // Whether the client holds the main unit's interface now.
  bool Bound();
  // MIDI in from, and out to, every cable of the main unit, and MIDI started.
  bool StartMidi();
  // What reached the client since the last take, oldest first.
  std::vector<uint32_t> TakeMidiIn();
  uint64_t MidiInCount() const { return midiIn_; }
  // One event to the unit; false when the unit's driver did not take it.
  bool Send(uint32_t packet);

 private:
  void* driver_ = nullptr;
  void* file_ = nullptr;
  bool inSysEx_[16] = {};
  uint64_t midiIn_ = 0;
};
