// The MIDI port: it wraps an IMiniportMidi. Notify queues the miniport's service group; in its
// DPC the port calls the miniport's Service, reads every running capture stream dry and offers
// each render stream the bytes it has not yet taken.
#pragma once

#include "platform/portcls/Port.h"

namespace plat::pc {

class PortMidi;

class MidiPin final : public CUnknown, public PoolObject {
 public:
  MidiPin(PortMidi* port, ULONG pin, bool capture);
  ~MidiPin() override;

  NTSTATUS SetFormat(PKSDATAFORMAT format);
  NTSTATUS SetState(KSSTATE state);
  KSSTATE State() const { return mState; }
  // A render pin's bytes: queued, and offered to the stream now and at every service until it
  // has taken them. STATUS_DEVICE_BUSY when the queue has no room for them.
  NTSTATUS Write(const UCHAR* bytes, ULONG length);
  ULONG Unwritten();
  // A capture pin's bytes read so far, taken out; STATUS_DEVICE_REMOVED once the device is gone
  // and nothing read before is left.
  NTSTATUS TakeRead(std::vector<UCHAR>* bytes);
  // A capture pin's client event (null for none): set whenever bytes come in and when the device
  // goes, as the client's pending read would complete then.
  void SetReadEvent(PKEVENT event);
  void Close();

  static constexpr ULONG kQueueBytes = 4096;

 private:
  friend class PortMidi;
  // Under the port's pin lock, at DISPATCH_LEVEL.
  void ServiceLocked();
  // The stream down to stop, one step at a time, under the port's control lock.
  void StopForRemoval();

  PortMidi* mPort;  // referenced
  ULONG mPin;
  bool mCapture;
  PMINIPORTMIDISTREAM mStream = nullptr;
  PSERVICEGROUP mGroup = nullptr;
  KSSTATE mState = KSSTATE_STOP;
  PKEVENT mReadEvent = nullptr;
  UCHAR mQueue[kQueueBytes];
  ULONG mQueued = 0;  // render: bytes not yet taken; capture: bytes read and not yet taken out
};

// The port's member of the service groups it joined. It outlives the port when a group still
// holds it; the port unhooks itself under the sink's lock first.
class MidiServiceSink final : public CUnknown, public IServiceSink, public PoolObject {
 public:
  explicit MidiServiceSink(PortMidi* port);
  DECLARE_STD_UNKNOWN()
  void RequestService() override;
  void Unhook();

 private:
  KSPIN_LOCK mLock;
  PortMidi* mPort;
};

class PortMidi final : public Port<IPortMidi> {
 public:
  PortMidi() : Port(PortKind::Midi, IID_IPortMidi) { KeInitializeSpinLock(&mPinLock); }
  ~PortMidi() override;

  void Notify(PSERVICEGROUP serviceGroup) override;
  void RegisterServiceGroup(PSERVICEGROUP serviceGroup) override;

  NTSTATUS NewPin(ULONG pin, PKSDATAFORMAT format, MidiPin** out);

  static constexpr ULONG kMaxPins = 8;
  static constexpr ULONG kMaxGroups = 4;

 protected:
  NTSTATUS InitMiniport(PUNKNOWN unknownMiniport, PUNKNOWN unknownAdapter, PRESOURCELIST resources) override;
  void ReleaseMiniport() override;
  bool PinsOpen() const override;
  void StopPins() override;

 private:
  friend class MidiPin;
  friend class MidiServiceSink;
  void Join(PSERVICEGROUP group);
  void Service();  // from the sink, at DISPATCH_LEVEL

  PMINIPORTMIDI mMidi = nullptr;
  MidiServiceSink* mSink = nullptr;
  PSERVICEGROUP mGroups[kMaxGroups] = {};  // joined, referenced
  ULONG mGroupCount = 0;
  KSPIN_LOCK mPinLock;
  MidiPin* mPins[kMaxPins] = {};
  std::vector<ULONG> mOpen;
};

}  // namespace plat::pc
