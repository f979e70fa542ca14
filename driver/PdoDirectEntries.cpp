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

// PASSIVE_LEVEL. Only the rates the unit runs at are passed on, and none while an ASIO host
// streams: the host owns the rate then.
NTSTATUS RequestSampleRate(PVOID context, ULONG rate) {
  PAGED_CODE();
  QX531PnpDevice* device = Device(context);
  if (OfferedRate(rate) && !device->AsioActive()) device->SetSampleRate(rate);
  return STATUS_SUCCESS;
}

NTSTATUS SetStreamFormat(PVOID context, ULONG pin, ULONG format) {
  Device(context)->mWdmClient.SetStreamFormat(pin, format);
  return STATUS_SUCCESS;
}

// PASSIVE_LEVEL. A pin attaches the channels it takes when it starts running and detaches exactly
// those when it stops, so no channel is attached twice or detached by a pin that never had it.
void SetStreamState(PVOID context, ULONG pin, UCHAR capture, ULONG state) {
  PAGED_CODE();
  QX531PnpDevice* device = Device(context);
  WdmClientState& wdm = device->mWdmClient;
  if (pin >= WdmClientState::kPins) return;
  const ULONG direction = capture != 0 ? WdmClientState::kCapture : WdmClientState::kRender;
  const ULONG64 before = wdm.mPins[pin][direction].channels;
  const bool modeChanged =
      wdm.SetStreamState(pin, capture != 0, state, device->BufferFrames(), device->ConverterDelayOn());
  const ULONG64 after = wdm.mPins[pin][direction].channels;
  for (ULONG c = 0; c < WdmClientState::kUnitChannels; ++c) {
    const ULONG64 bit = ULONG64{1} << c;
    if ((before ^ after) & bit) {
      const BOOLEAN attach = (after & bit) != 0;
      if (direction == WdmClientState::kRender)
        device->AttachPlaybackChannel(c, attach);
      else
        device->AttachRecordChannel(c, attach);
    }
  }
  if (modeChanged) device->SetClientMode();
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
