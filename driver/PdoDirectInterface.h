// The direct-call table that a unit's child device hands the audio adapter loaded on it: MIDI
// both ways, the period, the sample rate, and the format, state, buffer and position of each of
// the adapter's wave pins. Every entry takes the table's Context first.
#pragma once

#include <wdm.h>

inline const GUID GUID_QX531_PDO_DIRECT_INTERFACE = {
    0x7906A464, 0x1202, 0x11D4, {0x87, 0x65, 0x00, 0x50, 0x04, 0xDF, 0x1A, 0x8A}};

constexpr USHORT kPdoDirectInterfaceVersion = 1;

// Format word of a wave pin.
constexpr ULONG kWdmFormatChannelsMask = 0xFF;
constexpr ULONG kWdmFormat16Bit = 0x100;
constexpr ULONG kWdmFormat24Bit = 0x200;
constexpr ULONG kWdmFormat32Bit = 0x800;
constexpr ULONG kWdmFormatCapture = 0x1000;

// Pin states as the adapter sends them.
constexpr ULONG kWdmStateStop = 0;
constexpr ULONG kWdmStatePause = 2;
constexpr ULONG kWdmStateRun = 3;

// Device flags.
constexpr ULONG kWdmDeviceExpansionUnit = 0x1;

// Every MIDI event the unit delivers to the host, as one MIDIEventPacket.
using PQX531_MIDI_IN_CALLBACK = void (*)(PVOID ClientDevice, const ULONG* Packet);
// Once per period for each running pin; direction 0 render, 1 capture.
using PQX531_WAVE_NOTIFY_CALLBACK = void (*)(PVOID ClientDevice, ULONG Pin, ULONG Direction);

struct PdoDirectInterface {
  USHORT Size;
  USHORT Version;
  PVOID Context;
  void (*InterfaceReference)(PVOID Context);
  void (*InterfaceDereference)(PVOID Context);
  NTSTATUS (*ConnectClient)(PVOID Context, PDEVICE_OBJECT ClientPhysicalDevice, PVOID* Out1, PVOID* Out2);
  NTSTATUS (*SendMidiEvent)(PVOID Context, UCHAR CableAndCode, UCHAR Status, UCHAR Data1, UCHAR Data2);
  void (*RegisterCallbacks)(PVOID Context, PVOID ClientDevice, PQX531_MIDI_IN_CALLBACK MidiIn,
                            PQX531_WAVE_NOTIFY_CALLBACK WaveNotify);
  NTSTATUS (*GetPeriodFrames)(PVOID Context, PULONG Frames);
  NTSTATUS (*RequestSampleRate)(PVOID Context, ULONG Rate);
  NTSTATUS (*SetStreamFormat)(PVOID Context, ULONG Pin, ULONG Format);
  void (*SetStreamState)(PVOID Context, ULONG Pin, UCHAR Capture, ULONG State);
  ULONG (*GetStreamPosition)(PVOID Context, ULONG Pin, UCHAR Capture);
  ULONG (*SetStreamBuffer)(PVOID Context, ULONG Pin, UCHAR Direction, PVOID Buffer, ULONG Size);
  ULONG (*GetDeviceFlags)(PVOID Context, PVOID ClientDevice, PULONG Flags);
};
static_assert(sizeof(PdoDirectInterface) == 112 && offsetof(PdoDirectInterface, Version) == 2 &&
              offsetof(PdoDirectInterface, Context) == 8 && offsetof(PdoDirectInterface, ConnectClient) == 32 &&
              offsetof(PdoDirectInterface, SendMidiEvent) == 40 && offsetof(PdoDirectInterface, GetPeriodFrames) == 56 &&
              offsetof(PdoDirectInterface, SetStreamState) == 80 && offsetof(PdoDirectInterface, GetDeviceFlags) == 104);
