// What the kernel driver keeps of the ASIO host's session: the flags the stream reads at every
// buffer half, the host's event and buffer-index cell, and the mappings of the channel halves
// into the host's process. The session belongs to the file object that created its buffers.
#pragma once

#include <wdm.h>

#include "driver/ClientPort.h"

struct AsioChannelMapping {
  PMDL mMdl;
  PVOID mUserAddress;
};

// The playback half whose conversion waits for the host's output-ready request. The completion
// writes a new one while the request may be reading it, so it is published as one 64-bit word:
// the descriptor's index (0-3) with a valid bit, the half, and the descriptor's first word.
struct AsioDeferredOutput {
  static constexpr ULONG64 kValid = 1ull << 63;
  volatile LONG64 mWord;
};

struct AsioClientState {
  UCHAR mActive;
  UCHAR mMapsChanged;
  UCHAR mFirstBuffer;
  UCHAR mRestartPending;
  // Set at DISPATCH_LEVEL by a buffer-size change, taken by the host's requests: changed only by
  // interlocked exchange.
  volatile LONG mResetRequest;
  // Referenced from the handle of the last start.
  PKEVENT mEvent;
  // One byte on a page of its own: mapping it shows the host nothing else.
  PUCHAR mIndexCell;
  PMDL mIndexMdl;
  PVOID mIndexUserAddress;
  // 2 for 16-bit samples, else 4.
  ULONG mBytesPerSample;
  // Playback channels in the host's buffer list.
  ULONG64 mOutputMask;
  // The channel lists of the last buffer creation.
  ULONG mRecordList[kClientChannels];
  ULONG mPlaybackList[kClientChannels];
  AsioChannelMapping mRecordMappings[kClientChannels][2];
  AsioChannelMapping mPlaybackMappings[kClientChannels][2];
  // The file object whose buffer creation made the session, and the process the mappings live in
  // (referenced while they exist).
  PFILE_OBJECT mOwner;
  PEPROCESS mOwnerProcess;
  AsioDeferredOutput mDeferred;
  // Which list slots attached their channel.
  UCHAR mRecordAttached[kClientChannels];
  UCHAR mPlaybackAttached[kClientChannels];
};
