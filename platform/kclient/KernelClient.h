// A kernel-mode client of the main unit's published interface, its own driver image
// (QxKernelClient.sys), as another vendor's driver would use it: it waits for the interface to
// arrive, reads the two addresses from the interface's registry key, calls the entry, registers
// its callback and then does what it is asked through its control device. In its per-buffer
// callback it loops every channel it records into the playback channel of the same number; it
// keeps the MIDI it receives for the asker to take.
//
// Tests and the main job load it with plat::LdrLoadDriver (kService, kImage) and talk to it with
// device I/O controls on kDevice.
#pragma once

#include "platform/kernel/include/wdm.h"

namespace kclient {

inline constexpr char16_t kService[] = u"QxKernelClient";
inline constexpr char16_t kImage[] = u"QxKernelClient.sys";
inline constexpr WCHAR kDevice[] = L"\\Device\\QxKernelClient";

// A MIDI event as the interface exchanges it: (cable << 4) | kind, three MIDI bytes, four unused
// bytes and a 64-bit value.
struct MidiEvent {
  UCHAR cableKind;
  UCHAR bytes[3];
  UCHAR unused[4];
  ULONG64 value;
};
static_assert(sizeof(MidiEvent) == 16);

constexpr ULONG Control(ULONG n) { return CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900 + n, METHOD_BUFFERED, FILE_ANY_ACCESS); }

// Out: State.
constexpr ULONG kIoctlState = Control(0);
// In: CommandRequest followed by recordBytes of record. Out: CommandReply followed by the record
// as the command left it. The client puts its own MIDI input into a MIDI set-up (0x1014) and keeps
// what the set-up and a buffer allocation (0x1002) return.
constexpr ULONG kIoctlCommand = Control(1);
// In: MidiEvents. Out: ULONG, the events the unit's driver consumed.
constexpr ULONG kIoctlSendMidi = Control(2);
// Out: the MidiEvents received since the last take, oldest first, as many as fit.
constexpr ULONG kIoctlTakeMidiIn = Control(3);
// In: RingRequest. Out: the 32 KB ring.
constexpr ULONG kIoctlReadRing = Control(4);
// Drops the interface: the client releases the command object and forgets the unit.
constexpr ULONG kIoctlUnbind = Control(5);
// Looks for the interface again, as at its arrival.
constexpr ULONG kIoctlBind = Control(6);

struct State {
  ULONG bound;
  NTSTATUS bindStatus;  // of the entry call, or why the key gave no addresses
  char name[64];        // from the entry's record
  ULONG version;
  ULONG interfaceArrivals;
  ULONG interfaceRemovals;
  ULONG removalNotices;  // {0, 8}
  ULONG restartNotices;  // {0, 0}
  ULONG otherCalls;
  ULONG exchanges;
  ULONG lastPosition;
  // Exchanges whose position was not the one the client returned the time before.
  ULONG positionSlips;
  ULONG framesPerHalf;
  ULONG midiInEvents;
  ULONG midiInDropped;
};

struct CommandRequest {
  ULONG code;
  ULONG argument;
  ULONG recordBytes;
  ULONG nullRecord;  // nonzero: the command gets no record at all
};
static_assert(sizeof(CommandRequest) == 16);

struct CommandReply {
  NTSTATUS status;
  ULONG unused;
};
static_assert(sizeof(CommandReply) == 8);

constexpr ULONG kRingRecord = 0;
constexpr ULONG kRingPlayback = 1;
constexpr ULONG kRingBytes = 32768;

struct RingRequest {
  ULONG direction;
  ULONG channel;
};

}  // namespace kclient
