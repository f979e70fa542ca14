// The MIDI byte-stream parser: bytes of one cable in, USB-MIDI style events (code index number and
// three MIDI bytes) out. The kernel driver keeps one per cable of a unit's client port and re-parses
// what the unit delivers, so that a kernel client receives whole messages; the audio adapter keeps
// one per MIDI output stream, with its port index as the cable, and sends each event to the unit.
//
// Everything here runs at any IRQL up to DISPATCH_LEVEL: no allocation, no waits, no locks. A
// parser is used by one caller at a time.
#pragma once

#include <wdm.h>

// One completed message or SysEx chunk. Bytes the message does not use are 0.
struct MidiParsedEvent {
  UCHAR mCodeIndex;
  UCHAR mBytes[3];
};
static_assert(sizeof(MidiParsedEvent) == 4);

enum MidiParserState : UCHAR {
  kMidiIdle = 0,
  kMidiWaitSingleData = 1,
  kMidiWaitFirstOfTwo = 2,
  kMidiWaitSecondOfTwo = 3,
  kMidiInSysEx = 4,
};

// Code index numbers of the events the parser completes.
enum MidiCodeIndex : UCHAR {
  kCinTwoByteCommon = 0x2,
  kCinThreeByteCommon = 0x3,
  kCinSysExContinues = 0x4,
  kCinSingleByte = 0x5,  // 0xF6, or a SysEx that ends with one byte
  kCinSysExEndsTwo = 0x6,
  kCinSysExEndsThree = 0x7,
  kCinRealTime = 0xF,
};

struct MidiParser {
  LONG mCable;  // 0-7, or the adapter's port index; fixed at initialisation
  MidiParsedEvent mEvent;
  UCHAR mEventReady;          // 1 while mEvent is complete and not yet taken
  UCHAR mState;               // a MidiParserState
  UCHAR mStatus;              // the last status byte; inside a SysEx the first pending byte
  UCHAR mFirstData;           // inside a SysEx the second pending byte
  UCHAR mRunningStatus;       // 0 when none
  UCHAR mPendingCount;        // inside a SysEx: bytes (0-2) waiting to be packed
  UCHAR mTuneRequestReady;    // 1 when an 0xF6 that closed a SysEx waits behind mEvent
  UCHAR mReserved;
};
static_assert(sizeof(MidiParser) == 16);
static_assert(offsetof(MidiParser, mEvent) == 4 && offsetof(MidiParser, mEventReady) == 8 &&
              offsetof(MidiParser, mPendingCount) == 13);

// A parser for `cable` with everything else 0.
VOID InitializeMidiParser(MidiParser* parser, LONG cable);

// Advances the parser by one byte. The events that byte completes (none, one, or two when an 0xF6
// closes a SysEx: the closing event, then the 0xF6) wait in the parser for TakeMidiEvent; events
// of an earlier byte that were not taken are dropped.
VOID ParseMidiByte(MidiParser* parser, UCHAR b);

// The status-byte step of ParseMidiByte.
VOID ParseStatusByte(MidiParser* parser, UCHAR s);

// The state after a completed channel or system common message: running status goes on.
UCHAR NextParserState(const MidiParser* parser);

// Moves the oldest completed event into `event`; FALSE when none waits.
BOOLEAN TakeMidiEvent(MidiParser* parser, MidiParsedEvent* event);

// A MIDI event as the kernel-interface client exchanges it, 16 bytes: (cable << 4) | kind, the
// three MIDI bytes, four bytes that carry nothing and a 64-bit value. Events from the driver carry
// kind 0 and zero in every byte that holds no data.
struct KernelMidiEvent {
  UCHAR mCableKind;
  UCHAR mBytes[3];
  UCHAR mUnused[4];
  ULONG64 mValue;
};
static_assert(sizeof(KernelMidiEvent) == 16);
static_assert(offsetof(KernelMidiEvent, mBytes) == 1 && offsetof(KernelMidiEvent, mValue) == 8);

constexpr ULONG kMidiParserCables = 8;

// Receives each whole message a cable's parser completes, in order; the cable is 0-7.
using MidiMessageSink = VOID (*)(PVOID context, ULONG cable, const KernelMidiEvent* event);

// The client port's eight parsers, one per cable, and the road from the unit's packets to whole
// messages per cable.
struct MidiCableParsers {
  MidiParser mParsers[kMidiParserCables];
};
static_assert(sizeof(MidiCableParsers) == 128);

// Each parser with its cable index and everything else 0.
VOID InitializeMidiCableParsers(MidiCableParsers* parsers);

// Feeds the MIDI bytes of one USB-MIDI event packet (as many as its code index number carries)
// into the parser of its cable. A cable of 8 or more names no parser: the packet is dropped.
VOID UnpackMidiWord(MidiCableParsers* parsers, ULONG packet, MidiMessageSink sink, PVOID context);

// Feeds one byte to the parser of `cable` and hands what it completes to `sink`.
VOID PackMidiEvent(MidiCableParsers* parsers, ULONG cable, UCHAR b, MidiMessageSink sink, PVOID context);
