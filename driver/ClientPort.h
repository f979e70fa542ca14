// The unit's face for its stream clients: the audio adapter's side, and a kernel-mode driver that
// binds through the published kernel interface. It also carries that kernel client's state: its
// callbacks, its MIDI set-up and parsers, and its per-channel audio buffers.
#pragma once

#include <wdm.h>

#include "driver/MidiParser.h"

class QX531KernelInterface;

// Every call the driver makes to a kernel client takes this one shape. The per-buffer exchange
// passes kKernelClientExchange, the client's ring position as Value and the port as Argument, and
// returns the client's next position; a notice passes its code, Value 0 and its 8-byte record.
using PQX531_CLIENT_CALLBACK = ULONG (*)(ULONG Code, ULONG Value, PVOID Argument, PVOID Context);
constexpr ULONG kKernelClientExchange = 0;
// The unit is going away (record {0, 8}), or its streams stopped for a restart (record {0, 0}).
constexpr ULONG kKernelClientNotice = 0x2005;

struct KernelClientNotice {
  ULONG mWord0;
  ULONG mWord1;
};
static_assert(sizeof(KernelClientNotice) == 8);

// The client's MIDI input: code 1, one event, its context.
using PQX531_CLIENT_MIDI_IN = void (*)(ULONG Code, const KernelMidiEvent* Event, PVOID Context);

constexpr ULONG kClientChannels = 18;
// Each of a kernel client's channel buffers, a ring of 32-bit samples.
constexpr ULONG kKernelClientRingBytes = 32768;

class ClientPort {
 public:
  // FALSE when the unit's MIDI-out ring is full and the packet was not taken.
  virtual BOOLEAN QueueMidiOut(ULONG packet) = 0;
  virtual void ApplyClientMode() = 0;
  virtual void RestartClient() = 0;
  virtual ULONG GetBufferFrames() = 0;
  virtual ULONG GetInputChannelCount() = 0;
  virtual ULONG GetOutputChannelCount() = 0;
  virtual void ClientSetSampleRate(ULONG rate) = 0;
  virtual void AttachClientPlaybackChannel(ULONG channel, BOOLEAN attach) = 0;
  virtual void DeliverMidiWord(ULONG packet) = 0;
  virtual void AttachClientRecordChannel(ULONG channel, BOOLEAN attach) = 0;
  virtual ULONG ExchangeClientBuffers(ULONG half, ULONG64 copySet, ULONG64 mixSet) = 0;

  // The published command object and the interface's symbolic link.
  QX531KernelInterface* mKernelInterface = nullptr;
  UNICODE_STRING mKernelInterfaceLink = {};
  // The kernel client's general callback, its context and the third value it registered.
  PQX531_CLIENT_CALLBACK mClientCallback = nullptr;
  PVOID mClientContext = nullptr;
  PVOID mClientThird = nullptr;
  // The client's MIDI input callback and context.
  PQX531_CLIENT_MIDI_IN mClientMidiIn = nullptr;
  PVOID mClientMidiInContext = nullptr;
  MidiCableParsers mMidiParsers = {};
  UCHAR mMidiAttached = 0;
  // Bit n for cable n.
  ULONG mMidiInMask = 0;
  ULONG mMidiOutMask = 0;
  UCHAR mSysExOut[kMidiParserCables] = {};
  UCHAR mAudioRunning = 0;
  // Held by the per-buffer exchange while it uses the kernel client's buffers and masks, and by the
  // commands that change them.
  KSPIN_LOCK mKernelClientLock = 0;
  ULONG64 mFramesExchanged = 0;
  ULONG mRingPosition = 0;
  LONGLONG mStartMilliseconds = 0;
  // Channels the kernel client plays and records.
  ULONG64 mPlaybackMask = 0;
  ULONG64 mRecordMask = 0;
  PLONG mPlaybackBuffers[kClientChannels] = {};
  PLONG mRecordBuffers[kClientChannels] = {};
  ULONG mBytesPerSample = 4;
  ULONG mClientFrames = 0;
  // The unit's channel halves as the kernel client's exchange reads and writes them.
  PLONG mRecordHalves[kClientChannels][2] = {};
  PLONG mPlaybackHalves[kClientChannels][2] = {};

 protected:
  ClientPort() { InitializeMidiCableParsers(&mMidiParsers); }
  ~ClientPort() = default;
};
