#include "driver/PdoDirectEntries.h"

#include "driver/QX531PnpDevice.h"

namespace {

QX531PnpDevice* Device(PVOID context) { return static_cast<QX531PnpDevice*>(static_cast<PnpDeviceBase*>(context)); }

bool OfferedRate(ULONG rate) { return rate == 44100 || rate == 48000 || rate == 88200 || rate == 96000; }

void Reference(PVOID context) { InterlockedIncrement(&Device(context)->mWdmClient.mInterfaceReferences); }
void Dereference(PVOID context) { InterlockedDecrement(&Device(context)->mWdmClient.mInterfaceReferences); }

NTSTATUS ConnectClient(PVOID, PDEVICE_OBJECT, PVOID*, PVOID*) { return STATUS_SUCCESS; }

// Up to DISPATCH_LEVEL. A full ring refuses the event, which the adapter sends again later.
NTSTATUS SendMidiEvent(PVOID context, UCHAR cableAndCode, UCHAR status, UCHAR data1, UCHAR data2) {
  QX531PnpDevice* device = Device(context);
  if (device->MidiOutRingFull()) return STATUS_BUFFER_OVERFLOW;
  device->SendMIDIOut(static_cast<uint32_t>(cableAndCode) << 24 | static_cast<uint32_t>(status) << 16 |
                      static_cast<uint32_t>(data1) << 8 | data2);
  return STATUS_SUCCESS;
}

void RegisterCallbacks(PVOID context, PVOID clientDevice, PQX531_MIDI_IN_CALLBACK midiIn,
                       PQX531_WAVE_NOTIFY_CALLBACK waveNotify) {
  PAGED_CODE();
  Device(context)->mWdmClient.RegisterCallbacks(clientDevice, midiIn, waveNotify);
}

NTSTATUS GetPeriodFrames(PVOID context, PULONG frames) {
  if (frames != nullptr) *frames = Device(context)->BufferFrames();
  return STATUS_SUCCESS;
}

// PASSIVE_LEVEL. Only the rates the unit runs at are passed on.
NTSTATUS RequestSampleRate(PVOID context, ULONG rate) {
  PAGED_CODE();
  if (OfferedRate(rate)) Device(context)->SetSampleRate(rate);
  return STATUS_SUCCESS;
}

NTSTATUS SetStreamFormat(PVOID context, ULONG pin, ULONG format) {
  Device(context)->mWdmClient.SetStreamFormat(pin, format);
  return STATUS_SUCCESS;
}

void SetStreamState(PVOID context, ULONG pin, UCHAR capture, ULONG state) {
  PAGED_CODE();
  QX531PnpDevice* device = Device(context);
  device->mWdmClient.SetStreamState(pin, capture != 0, state, device->BufferFrames(), device->ConverterDelayOn());
}

ULONG GetStreamPosition(PVOID context, ULONG pin, UCHAR capture) {
  return Device(context)->mWdmClient.GetStreamPosition(pin, capture);
}

ULONG SetStreamBuffer(PVOID context, ULONG pin, UCHAR direction, PVOID buffer, ULONG size) {
  return Device(context)->mWdmClient.SetStreamBuffer(pin, direction, buffer, size);
}

ULONG GetDeviceFlags(PVOID context, PVOID, PULONG flags) {
  const ULONG value = Device(context)->UnitKind() == QX531Device::kKindExpansion ? kWdmDeviceExpansionUnit : 0;
  if (flags != nullptr) *flags = value;
  return value;
}

}  // namespace

void FillPdoDirectInterface(PdoDirectInterface* table, QX531PnpDevice* device) {
  *table = PdoDirectInterface{sizeof(PdoDirectInterface),
                              kPdoDirectInterfaceVersion,
                              static_cast<PnpDeviceBase*>(device),
                              Reference,
                              Dereference,
                              ConnectClient,
                              SendMidiEvent,
                              RegisterCallbacks,
                              GetPeriodFrames,
                              RequestSampleRate,
                              SetStreamFormat,
                              SetStreamState,
                              GetStreamPosition,
                              SetStreamBuffer,
                              GetDeviceFlags};
}
