// One wave stream of a pair: its format, state and position, relayed to the unit driver, which
// moves the samples between the DMA buffer and the unit itself.
#pragma once

#include <portcls.h>
#include <stdunk.h>

#include "wdm/WdmPoolObject.h"

class WdmMiniportWave;

class WdmWaveStream final : public CUnknown, public IMiniportWaveCyclicStream, public WdmPoolObject {
 public:
  WdmWaveStream(PUNKNOWN outerUnknown, WdmMiniportWave* miniport, ULONG pin, BOOLEAN capture, PDMACHANNEL dma);
  ~WdmWaveStream() override;
  DECLARE_STD_UNKNOWN()

  NTSTATUS SetFormat(PKSDATAFORMAT dataFormat) override;
  ULONG SetNotificationFreq(ULONG interval, PULONG framingSize) override;
  NTSTATUS SetState(KSSTATE state) override;
  // Up to DISPATCH_LEVEL: the port reads positions in its service DPC.
  NTSTATUS GetPosition(PULONG position) override;
  NTSTATUS NormalizePhysicalPosition(PLONGLONG physicalPosition) override;
  void Silence(PVOID buffer, ULONG byteCount) override;

  // The rest of NewStream: the service group, the stopped state at the unit driver, the format.
  NTSTATUS Open(PKSDATAFORMAT dataFormat);
  PSERVICEGROUP ServiceGroup() const { return mServiceGroup; }
  ULONG Pin() const { return mPin; }
  BOOLEAN IsCapture() const { return mCapture; }
  // Bytes per frame: channels × 2, 3 or 4.
  ULONG BlockAlign() const { return mChannels * (mBitsPerSample / 8); }
  // The format word the unit driver copies by.
  ULONG FormatWord() const;

 private:
  WdmMiniportWave* mMiniport;  // referenced
  ULONG mPin;
  BOOLEAN mCapture;
  ULONG mPair;
  UCHAR mChannels = 2;
  KSSTATE mState = KSSTATE_STOP;
  PDMACHANNEL mDma;  // referenced
  PSERVICEGROUP mServiceGroup = nullptr;
  ULONG mBitsPerSample = 16;
  ULONG mRate = 48000;
  BOOLEAN mCounted = FALSE;  // counted among the adapter's open streams
};
