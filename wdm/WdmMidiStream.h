// One MIDI stream of a MIDI miniport. A render stream parses what port class writes into event
// packets and sends them to the unit; an event the unit driver refuses waits, ahead of anything
// after it, and goes first at the next write or service. A capture stream reads the input ring.
#pragma once

#include <portcls.h>
#include <stdunk.h>

#include "driver/MidiParser.h"
#include "wdm/WdmPoolObject.h"

class WdmMiniportMidi;

class WdmMidiStream final : public CUnknown, public IMiniportMidiStream, public WdmPoolObject {
 public:
  // One byte completes at most two events (a system exclusive closed by 0xF6).
  static constexpr ULONG kMaxPending = 2;

  WdmMidiStream(PUNKNOWN outerUnknown, WdmMiniportMidi* miniport, BOOLEAN capture);
  ~WdmMidiStream() override;
  DECLARE_STD_UNKNOWN()

  NTSTATUS SetFormat(PKSDATAFORMAT dataFormat) override;
  NTSTATUS SetState(KSSTATE state) override;
  // Read and Write come from the port's service at DISPATCH_LEVEL as well as at PASSIVE_LEVEL.
  NTSTATUS Read(PVOID bufferAddress, ULONG bufferLength, PULONG bytesRead) override;
  NTSTATUS Write(PVOID bufferAddress, ULONG bytesToWrite, PULONG bytesWritten) override;

  // From the miniport's service, at DISPATCH_LEVEL: the waiting events go if the unit driver
  // takes them now.
  void RetryPending();

  BOOLEAN IsCapture() const { return mCapture; }
  KSSTATE State() const { return mState; }

 private:
  // Under mLock. False while an event still waits.
  bool SendPendingLocked();

  WdmMiniportMidi* mMiniport;  // referenced
  ULONG mPortNumber;
  BOOLEAN mCapture;
  MidiParser mParser{};
  ULONG mSkipCount = 0;
  MidiParsedEvent mPending[kMaxPending] = {};
  ULONG mPendingCount = 0;
  KSSTATE mState = KSSTATE_STOP;
  KSPIN_LOCK mLock = 0;
};
