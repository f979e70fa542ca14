// The wave-cyclic miniport of one stereo pair: two DMA buffers that the unit driver fills and
// drains itself, one render and one capture stream, the formats the pair accepts, and the unit
// driver's period callback turned into port notifications.
#pragma once

#include <portcls.h>
#include <stdunk.h>

#include "wdm/WdmAdapterCommon.h"
#include "wdm/WdmPoolObject.h"

class WdmDevice;
class WdmWaveStream;

class WdmMiniportWave final : public CUnknown, public IMiniportWaveCyclic, public WdmPoolObject {
 public:
  static constexpr ULONG kCapturePin = 0;
  static constexpr ULONG kRenderPin = 2;
  static constexpr ULONG kMaxBufferBytes = 0x20000;
  static constexpr ULONG kMinBufferBytes = 4096;
  static constexpr ULONG kMaxChannels = 2;
  static constexpr ULONG kMaxRate = 96000;
  static constexpr ULONG kMaxBits = 32;

  explicit WdmMiniportWave(PUNKNOWN outerUnknown);
  ~WdmMiniportWave() override;
  DECLARE_STD_UNKNOWN()

  NTSTATUS GetDescription(PPCFILTER_DESCRIPTOR* description) override;
  NTSTATUS DataRangeIntersection(ULONG pin, PKSDATARANGE dataRange, PKSDATARANGE matchingDataRange,
                                 ULONG outputBufferLength, PVOID resultantFormat, PULONG resultantFormatLength) override;
  NTSTATUS Init(PUNKNOWN unknownAdapter, PRESOURCELIST resourceList, PPORTWAVECYCLIC port) override;
  NTSTATUS NewStream(PMINIPORTWAVECYCLICSTREAM* stream, PUNKNOWN outerUnknown, POOL_TYPE poolType, ULONG pin,
                     BOOLEAN capture, PKSDATAFORMAT dataFormat, PDMACHANNEL* dmaChannel,
                     PSERVICEGROUP* serviceGroup) override;

  // A miniport whose subdevice could not be registered lets go of its port, so that the port,
  // which holds the miniport, can go with its last reference.
  void DropPort();
  // Set by the device before the port's Init.
  void Attach(WdmDevice* device, ULONG pair);
  // The unit driver's period callback, at DISPATCH_LEVEL.
  void NotifyStream(bool capture);

  // A format this pair can stream: 16, 24 or 32 bits, one or two channels, a rate of the unit.
  static NTSTATUS ValidateFormat(PKSDATAFORMAT format);

  // The stream's side.
  void StreamClosed(WdmWaveStream* stream);
  NTSTATUS SetPairRate(ULONG rate);
  WdmDevice* Device() const { return mDevice; }
  ULONG Pair() const { return mPair; }
  WdmAdapterCommon* AdapterCommon() const { return static_cast<WdmAdapterCommon*>(mAdapterCommon); }

  PADAPTERCOMMON mAdapterCommon = nullptr;
  ULONG mNotificationInterval = 0;
  ULONG mSampleRate = 48000;
  ULONG mBitsPerSample = 16;
  BOOLEAN mCaptureOpen = FALSE;
  BOOLEAN mRenderOpen = FALSE;
  PDMACHANNEL mRenderDma = nullptr;
  PDMACHANNEL mCaptureDma = nullptr;
  KMUTEX mRateMutex;
  WdmDevice* mDevice = nullptr;
  ULONG mPair = 0;
  WdmWaveStream* mRenderStream = nullptr;
  WdmWaveStream* mCaptureStream = nullptr;
  PPORTWAVECYCLIC mPort = nullptr;

 private:
  NTSTATUS NewBuffer(PRESOURCELIST resourceList, bool capture, PDMACHANNEL* channel);
  // Guards the stream pointers against the period callback.
  KSPIN_LOCK mStreamLock = 0;
};

NTSTATUS CreateMiniportWave(PUNKNOWN* unknown, PUNKNOWN outerUnknown, POOL_TYPE poolType);
