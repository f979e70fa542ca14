// The wave-cyclic port: it wraps an IMiniportWaveCyclic, hands it master DMA channels, and runs
// its streams. A stream's position is read in the service group's DPC that Notify queues, where
// the port also moves the pin's data between the client and the cyclic buffer.
#pragma once

#include <vector>

#include "platform/portcls/DmaChannel.h"
#include "platform/portcls/Port.h"

namespace plat::pc {

class PortWaveCyclic;

// One open pin of the filter: the miniport's stream with its DMA channel and service group. Its
// IServiceSink is a member of that group.
class WavePin final : public CUnknown, public IServiceSink, public PoolObject {
 public:
  WavePin(PortWaveCyclic* port, ULONG pin, bool capture, ULONG captureCapacity);
  ~WavePin() override;
  DECLARE_STD_UNKNOWN()

  void RequestService() override;

  NTSTATUS SetFormat(PKSDATAFORMAT format);
  ULONG SetNotificationFreq(ULONG intervalMs, PULONG framingSize);
  NTSTATUS SetState(KSSTATE state);
  KSSTATE State() const { return mState; }
  NTSTATUS Position(PULONG position);
  NTSTATUS NormalizePosition(PLONGLONG position);
  // What a render pin plays: the bytes are copied into the cyclic buffer behind the play
  // position, silence once they are used up.
  void SetPlayData(std::vector<UCHAR> data);
  // What a capture pin recorded, in order, up to the capacity it was opened with.
  std::vector<UCHAR> Recorded();
  // What was recorded, taken rather than copied: the pin records nothing more.
  std::vector<UCHAR> TakeRecorded();
  ULONG ServiceCalls() const { return mServiceCalls; }
  KIRQL ServiceIrql() const { return mServiceIrql; }
  ULONGLONG BytesMoved() const { return mBytesMoved; }
  // Where the port wraps: the channel's buffer size in whole frames of the pin's format.
  ULONG BufferSize() const { return mBufferSize; }
  // Stops nothing: takes the pin out of its group and lets go of the miniport's stream, its DMA
  // channel and its group. At PASSIVE_LEVEL.
  void Close();

 private:
  friend class PortWaveCyclic;
  // The stream down to stop, one step at a time, under the port's control lock.
  void StopForRemoval();

  PortWaveCyclic* mPort;  // referenced
  ULONG mPin;
  bool mCapture;
  KSPIN_LOCK mLock;  // the stream pointers against the DPC
  PMINIPORTWAVECYCLICSTREAM mStream = nullptr;
  PDMACHANNEL mDma = nullptr;
  PSERVICEGROUP mGroup = nullptr;
  KSSTATE mState = KSSTATE_STOP;
  ULONG mBufferSize = 0;
  ULONG mLast = 0;
  ULONGLONG mBytesMoved = 0;
  volatile ULONG mServiceCalls = 0;
  KIRQL mServiceIrql = PASSIVE_LEVEL;
  std::vector<UCHAR> mPlay;
  size_t mPlayNext = 0;
  std::vector<UCHAR> mRecorded;  // capacity fixed at open: the DPC never allocates
};

class PortWaveCyclic final : public Port<IPortWaveCyclic> {
 public:
  PortWaveCyclic() : Port(PortKind::WaveCyclic, IID_IPortWaveCyclic) {}
  ~PortWaveCyclic() override;

  void Notify(PSERVICEGROUP serviceGroup) override;
  NTSTATUS NewSlaveDmaChannel(PDMACHANNELSLAVE* dmaChannel, PUNKNOWN outer, PRESOURCELIST resources, ULONG dmaIndex,
                              ULONG maximumLength, BOOLEAN demandMode, DMA_SPEED dmaSpeed) override;
  NTSTATUS NewMasterDmaChannel(PDMACHANNEL* dmaChannel, PUNKNOWN outer, PRESOURCELIST resources, ULONG maximumLength,
                               BOOLEAN dma32, BOOLEAN dma64, DMA_WIDTH width, DMA_SPEED speed) override;

  // Opens a streaming pin with a format the intersection gave: the miniport's NewStream. The pin
  // is returned referenced, in the stop state.
  NTSTATUS NewPin(ULONG pin, PKSDATAFORMAT format, ULONG captureCapacity, WavePin** out);

 protected:
  NTSTATUS InitMiniport(PUNKNOWN unknownMiniport, PUNKNOWN unknownAdapter, PRESOURCELIST resources) override;
  void ReleaseMiniport() override;
  bool PinsOpen() const override;
  void StopPins() override;

 private:
  friend class WavePin;
  PMINIPORTWAVECYCLIC mWave = nullptr;
  ULONG mWavePort = kNoWavePort;  // its place among its device's wave ports, for fault injection
  ULONG mChannelsMade = 0;
  std::vector<ULONG> mOpen;     // open pins per pin id
  std::vector<WavePin*> mPins;  // the open pins, under the control lock
};

}  // namespace plat::pc
