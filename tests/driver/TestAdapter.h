// A stand-in for the audio adapter, loaded by plug and play on the units' child devices: at its
// start it asks the child for the direct-call table, registers for MIDI in and for the period
// callback, and at its removal it unregisters.
#pragma once

#include <atomic>
#include <vector>

#include "driver/PdoDirectInterface.h"

namespace drvtest {

struct TestAdapter {
  PDEVICE_OBJECT self;
  PDEVICE_OBJECT lower;
  PdoDirectInterface table;
  bool bound;
  ULONG flags;
  std::vector<ULONG> midiIn;
  // Period callbacks per pin and direction.
  std::atomic<ULONG> notifies[34][2];
  // Called at each period callback, when set.
  void (*onNotify)(TestAdapter* adapter, ULONG pin, ULONG direction);
};

// Registers the adapter's driver and binds it to the child's hardware id; its adapters are listed
// in the order they started.
void InstallTestAdapter();
std::vector<TestAdapter*>& TestAdapters();
// The main unit's adapter, or null.
TestAdapter* MainUnitAdapter();

}  // namespace drvtest
