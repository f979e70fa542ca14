// What the audio adapter drives through the direct-call table, kept in the unit's function
// device: its callbacks, and per wave pin and direction the format, state, buffer and position,
// with the per-period copy between the pins' cyclic buffers and one half of the unit's 32-bit
// channel buffers.
#pragma once

#include <wdm.h>

#include "driver/PdoDirectInterface.h"

class WdmClientState {
 public:
  static constexpr ULONG kPins = 34;
  static constexpr ULONG kUnitChannels = 18;
  static constexpr ULONG kRender = 0;
  static constexpr ULONG kCapture = 1;
  // Stored run states: the pre-roll steps a run request starts with.
  static constexpr ULONG kPreRollSilent = 4;
  static constexpr ULONG kPreRollFirst = 5;
  static constexpr ULONG kPreRollLast = 6;
  // A render pin's position after a stop, in frames, when the converters' delay is made up for.
  static constexpr ULONG kConverterDelayFrames = 80;

  struct Pin {
    ULONG format;
    ULONG bytesPerFrame;
    ULONG state;
    ULONG frames;    // delivered since the last stop
    ULONG position;  // bytes into the buffer
    PUCHAR buffer;
    ULONG size;      // at least one frame, or the pin is not copied
    ULONG64 channels;
  };

  // One half of the unit's channel buffers, each `frames` 32-bit samples; null channels are left out.
  struct ChannelHalf {
    LONG* render[kUnitChannels];
    const LONG* capture[kUnitChannels];
  };

  WdmClientState();

  // Every pin stopped and cleared; callbacks are kept.
  void Reset();

  // PASSIVE_LEVEL. Replaces the three at once; returns only once no call of the ones it replaced
  // is still running, so a client may go away after unregistering.
  void RegisterCallbacks(PVOID clientDevice, PQX531_MIDI_IN_CALLBACK midiIn, PQX531_WAVE_NOTIFY_CALLBACK waveNotify);
  // Up to DISPATCH_LEVEL.
  void DeliverMidiIn(ULONG packet);

  // Up to DISPATCH_LEVEL; a pin out of range is ignored.
  void SetStreamFormat(ULONG pin, ULONG format);
  ULONG SetStreamBuffer(ULONG pin, UCHAR direction, PVOID buffer, ULONG size);
  ULONG GetStreamPosition(ULONG pin, UCHAR capture) const;
  // Stores the state and keeps the pin and channel masks; true when the adapter's streaming as a
  // whole started or stopped with it. `periodFrames` chooses the pre-roll.
  bool SetStreamState(ULONG pin, bool capture, ULONG state, ULONG periodFrames, bool converterDelay);

  // DISPATCH_LEVEL, once per finished buffer half. `overwrite` are the render channels only the
  // adapter plays, `mix` those another client plays too. True while any pin's channels are in use.
  bool CopyClientChannels(const ChannelHalf& half, ULONG64 overwrite, ULONG64 mix, ULONG frames);

  Pin mPins[kPins][2] = {};
  ULONG64 mChannelMask[2] = {};
  ULONG64 mPinMask[2] = {};
  UCHAR mActive = 0;
  UCHAR mMapsDirty = 0;
  UCHAR mPreRollNotify[3] = {0, 0, 1};
  // References the adapter holds on the table; nothing reads them.
  volatile LONG mInterfaceReferences = 0;

 private:
  struct Callbacks {
    PVOID client;
    PQX531_MIDI_IN_CALLBACK midiIn;
    PQX531_WAVE_NOTIFY_CALLBACK waveNotify;
  };

  // The registered callbacks, counted in flight until `Done`; false when none is registered.
  bool Take(Callbacks* taken);
  void Done();
  void Notify(ULONG pin, ULONG direction, ULONG frames);
  void CopyRender(ULONG pin, const ChannelHalf& half, ULONG64 overwrite, ULONG64 mix, ULONG frames) const;
  void CopyCapture(ULONG pin, const ChannelHalf& half, ULONG frames);
  void Advance(Pin& pin, ULONG frames) const;

  KSPIN_LOCK mCallbackLock = 0;
  Callbacks mCallbacks = {};
  volatile LONG mCallsInFlight = 0;
};
