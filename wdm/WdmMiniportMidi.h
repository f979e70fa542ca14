// The MIDI miniport of one MIDI subdevice: output bytes are cut into event packets and sent to the
// unit; input packets from the unit wait as bytes in a ring until port class reads them.
#pragma once

#include <portcls.h>
#include <stdunk.h>

#include "wdm/RingFifo.h"
#include "wdm/WdmAdapterCommon.h"
#include "wdm/WdmPoolObject.h"

class WdmDevice;
class WdmMidiStream;

class WdmMiniportMidi final : public CUnknown, public IMiniportMidi, public WdmPoolObject {
 public:
  static constexpr ULONG kFifoBytes = 512;
  static constexpr ULONG kMaxStreamsPerDirection = 2;
  // How soon an event the unit driver refused is offered again (100-ns units, relative).
  static constexpr LONGLONG kRetryDelay = -10000;

  explicit WdmMiniportMidi(PUNKNOWN outerUnknown);
  ~WdmMiniportMidi() override;
  DECLARE_STD_UNKNOWN()

  NTSTATUS GetDescription(PPCFILTER_DESCRIPTOR* description) override;
  NTSTATUS DataRangeIntersection(ULONG pin, PKSDATARANGE dataRange, PKSDATARANGE matchingDataRange,
                                 ULONG outputBufferLength, PVOID resultantFormat, PULONG resultantFormatLength) override;
  NTSTATUS Init(PUNKNOWN unknownAdapter, PRESOURCELIST resourceList, PPORTMIDI port,
                PSERVICEGROUP* serviceGroup) override;
  // From the port's service group, at DISPATCH_LEVEL.
  void Service() override;
  NTSTATUS NewStream(PMINIPORTMIDISTREAM* stream, PUNKNOWN outerUnknown, POOL_TYPE poolType, ULONG pin,
                     BOOLEAN capture, PKSDATAFORMAT dataFormat, PSERVICEGROUP* serviceGroup) override;

  // A miniport whose subdevice could not be registered lets go of its port, so that the port,
  // which holds the miniport, can go with its last reference.
  void DropPort();
  // Set by the device before the port's Init.
  void Attach(WdmDevice* device, ULONG portNumber);

  // MIDI in from the unit, at DISPATCH_LEVEL: the packet's bytes go into the ring whole or not
  // at all while a capture stream runs, and the port is told.
  void OnMidiIn(ULONG packet);

  // The stream's side, under the miniport's stream lock.
  void StreamOpened(WdmMidiStream* stream);
  void StreamClosed(WdmMidiStream* stream);
  void CaptureStateChanged();
  // The unit driver refused an event: port class services the port again soon.
  void RequestRetry();
  NTSTATUS Send(UCHAR codeIndex, UCHAR b0, UCHAR b1, UCHAR b2);
  RingFifo* Fifo() const { return mFifo; }
  ULONG PortNumber() const { return mPortNumber; }

  volatile KSSTATE mCaptureState = KSSTATE_STOP;
  PPORTMIDI mPort = nullptr;
  PSERVICEGROUP mServiceGroup = nullptr;
  USHORT mRenderStreams = 0;
  USHORT mCaptureStreams = 0;
  WdmDevice* mDevice = nullptr;
  RingFifo* mFifo = nullptr;
  ULONG mPortNumber = 0;
  PADAPTERCOMMON mAdapterCommon = nullptr;

 private:
  KSPIN_LOCK mStreamLock = 0;
  WdmMidiStream* mStreams[2 * kMaxStreamsPerDirection] = {};
};

NTSTATUS CreateMiniportMidi(PUNKNOWN* unknown, PUNKNOWN outerUnknown, POOL_TYPE poolType);
