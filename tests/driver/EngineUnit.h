// The Windows unit object with its engine whole, on the test driver's stack: the unit's MIDI and
// status writes go on into the engine, the MIDI the engine hands the host is kept, and bus resets
// are followed as the function device follows them. The bus driver's reset notification queues one
// worker that reads the ids again and hands the reset to the engine, a pass at a time; at the
// device's removal the worker is drained and the unit unplugged before the removal goes down.
#pragma once

#include <memory>
#include <vector>

#include "tests/driver/WinDeviceRig.h"

namespace drivertest {

class EngineUnit : public TestUnit {
 public:
  EngineUnit(bus1394test::UnitDevice* device, PnpDeviceBase* counted);
  ~EngineUnit() override;

  // Takes the device's bus-reset notification over from the test driver (PASSIVE_LEVEL).
  void FollowBusResets();

  void HandleMIDIReceive(uint32_t count) override { QX531WinDevice::HandleMIDIReceive(count); }
  void HandleAsyncReceive(uint32_t length) override { QX531WinDevice::HandleAsyncReceive(length); }
  int32_t DeliverMIDIInEvent(uint32_t event) override;

  uint64_t Window(bool async) const {
    return async ? uint64_t{mAsyncReceiveHi} << 32 | mAsyncReceiveLo : uint64_t{mMIDIReceiveHi} << 32 | mMIDIReceiveLo;
  }

  std::vector<uint32_t> midiIn;
  // Bus resets the engine was handed.
  uint32_t resetsHandled = 0;
  // Set once the device was removed: nothing more goes down its stack.
  bool removed = false;

 private:
  static void OnBusReset(PVOID context);
  static void ResetWorker(PVOID context);
  void Drain();
  void Removing();

  bus1394test::UnitDevice* device_;
  bool following_ = false;
  KSPIN_LOCK lock_ = 0;
  bool resetPending_ = false;
  bool resetRunning_ = false;
  bool closed_ = false;
  WORK_QUEUE_ITEM work_{};
  KEVENT idle_{};
};

// Puts an EngineUnit in the place of the rig's plain unit object.
inline EngineUnit& UseEngineUnit(WinDeviceRig& rig) {
  rig.win.reset();
  rig.win = std::make_unique<EngineUnit>(rig.device, rig.counted);
  return static_cast<EngineUnit&>(*rig.win);
}

// Undoes what the engine holds unless the device's removal did (PASSIVE_LEVEL).
inline void UnplugEngine(EngineUnit& win) {
  if (win.removed) return;
  win.StopMidi();
  if (win.IsPluggedIn()) win.HandleUnPlug();
}

}  // namespace drivertest
