// The two windows of the host's 1394 address space that a unit writes into: MIDI input and
// asynchronous status. Each hands its writes to its unit.
#pragma once

#include "kframework/AddressRange.h"

class QX531WinDevice;

class ReceiveWindow : public AddressRange {
 public:
  // Receive buffers each window keeps on its list for the bus driver.
  static constexpr ULONG kReceiveBuffers = 16;

  ReceiveWindow(ULONG stamp, QX531WinDevice* owner, LowerDeviceLink* link)
      : AddressRange(stamp), mOwner(owner), mLink(link) {}

  // DISPATCH_LEVEL. Puts a receive buffer back for the bus driver.
  void ReturnReceiveBuffer(PADDRESS_FIFO fifo) { ExInterlockedPushEntrySList(&mReceiveBuffers, &fifo->FifoList, &mReceiveLock); }

  QX531WinDevice* mOwner;
  LowerDeviceLink* mLink;
};

class MidiReceiveWindow : public ReceiveWindow {
 public:
  using ReceiveWindow::ReceiveWindow;
  void OnWrite(PMDL mdl, ULONG offset, ULONG length, PADDRESS_FIFO fifo) override;
};

class AsyncReceiveWindow : public ReceiveWindow {
 public:
  using ReceiveWindow::ReceiveWindow;
  void OnWrite(PMDL mdl, ULONG offset, ULONG length, PADDRESS_FIFO fifo) override;
};
