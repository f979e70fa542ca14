#include "platform/portcls/PinClient.h"

#include "platform/kernel/Verifier.h"
#include "platform/portcls/AdapterDevice.h"
#include "platform/portcls/PortMidi.h"
#include "platform/portcls/PortWaveCyclic.h"
#include "platform/kernel/WideText.h"

namespace plat {

std::vector<PcSubdeviceInfo> PcSubdevices(PDEVICE_OBJECT pdo) {
  std::vector<PcSubdeviceInfo> out;
  pc::AdapterDevice* device = pc::AdapterDevice::OfPdo(pdo);
  if (device == nullptr) return out;
  for (const pc::Subdevice& s : device->Subdevices()) {
    PcSubdeviceInfo info{s.name, s.categories, {}};
    for (const UNICODE_STRING& link : s.links) info.links.push_back(plat::U16(link.Buffer, link.Length / sizeof(WCHAR)));
    out.push_back(std::move(info));
  }
  return out;
}

std::vector<PcConnectionInfo> PcPhysicalConnections(PDEVICE_OBJECT pdo) {
  std::vector<PcConnectionInfo> out;
  pc::AdapterDevice* device = pc::AdapterDevice::OfPdo(pdo);
  if (device == nullptr) return out;
  auto nameOf = [device](pc::PortBase* port) {
    for (const pc::Subdevice& s : device->Subdevices())
      if (s.port == port) return s.name;
    return std::u16string();
  };
  for (const pc::PhysicalConnection& c : device->Connections())
    out.push_back(PcConnectionInfo{nameOf(c.from), c.fromPin, nameOf(c.to), c.toPin});
  return out;
}

std::unique_ptr<KsFilter> KsFilter::Open(PDEVICE_OBJECT pdo, std::u16string_view name, NTSTATUS* status) {
  PAGED_CODE();
  pc::AdapterDevice* device = pc::AdapterDevice::OfPdo(pdo);
  const pc::Subdevice* sub = device != nullptr ? device->Find(std::u16string(name)) : nullptr;
  if (sub == nullptr) {
    *status = STATUS_OBJECT_NAME_NOT_FOUND;
    return nullptr;
  }
  // The device by its name, the subdevice's name as the file's, as an interface's link resolves.
  PFILE_OBJECT file = nullptr;
  *status = IoOpenFile(ObFullName(device->Pdo()) + u"\\" + sub->name, &file);
  if (!NT_SUCCESS(*status)) return nullptr;
  return std::unique_ptr<KsFilter>(new KsFilter(file, static_cast<pc::PortBase*>(file->FsContext)));
}

KsFilter::~KsFilter() { IoCloseFile(mFile); }

const PCFILTER_DESCRIPTOR& KsFilter::Descriptor() const { return mPort->Descriptor(); }

NTSTATUS KsFilter::Property(ULONG node, const GUID& set, ULONG id, ULONG verb, const void* instance,
                            ULONG instanceSize, void* value, ULONG* valueSize) {
  std::vector<UCHAR> copy(static_cast<const UCHAR*>(instance), static_cast<const UCHAR*>(instance) + instanceSize);
  return mPort->Property(node, set, id, verb, copy.empty() ? nullptr : copy.data(), instanceSize, value, valueSize);
}

NTSTATUS KsFilter::ChannelProperty(ULONG node, const GUID& set, ULONG id, ULONG verb, LONG channel, void* value,
                                   ULONG* valueSize) {
  KSNODEPROPERTY_AUDIO_CHANNEL request{};
  request.NodeProperty.Property.Set = set;
  request.NodeProperty.Property.Id = id;
  request.NodeProperty.Property.Flags = verb | KSPROPERTY_TYPE_TOPOLOGY;
  request.NodeProperty.NodeId = node;
  request.Channel = channel;
  constexpr ULONG kInstance = sizeof request - sizeof request.NodeProperty;
  return Property(node, set, id, verb, &request.Channel, kInstance, value, valueSize);
}

NTSTATUS KsFilter::Intersect(ULONG pin, const KSDATARANGE& clientRange, std::vector<UCHAR>* format) {
  PAGED_CODE();
  ULONG length = 0;
  NTSTATUS status = mPort->Intersect(pin, &clientRange, 0, nullptr, &length);
  if (status != STATUS_BUFFER_OVERFLOW) return NT_SUCCESS(status) ? STATUS_INTERNAL_ERROR : status;
  format->assign(length, 0);
  ULONG got = 0;
  status = mPort->Intersect(pin, &clientRange, length, format->data(), &got);
  if (NT_SUCCESS(status)) format->resize(got);
  return status;
}

std::unique_ptr<KsWavePin> KsWavePin::Open(KsFilter& filter, ULONG pin, const KSDATARANGE_AUDIO& clientRange,
                                           ULONG notificationMs, ULONG captureCapacity, NTSTATUS* status) {
  PAGED_CODE();
  auto* port = dynamic_cast<pc::PortWaveCyclic*>(&filter.Port());
  if (port == nullptr) {
    *status = STATUS_INVALID_DEVICE_REQUEST;
    return nullptr;
  }
  std::vector<UCHAR> format;
  *status = filter.Intersect(pin, clientRange.DataRange, &format);
  if (!NT_SUCCESS(*status)) return nullptr;
  pc::WavePin* wp = nullptr;
  *status = port->NewPin(pin, reinterpret_cast<PKSDATAFORMAT>(format.data()), captureCapacity, &wp);
  if (!NT_SUCCESS(*status)) return nullptr;
  std::unique_ptr<KsWavePin> out(new KsWavePin(filter.File(), wp, std::move(format)));
  *status = wp->SetFormat(reinterpret_cast<PKSDATAFORMAT>(out->mFormat.data()));
  if (!NT_SUCCESS(*status)) return nullptr;
  wp->SetNotificationFreq(notificationMs, &out->mFramingSize);
  return out;
}

KsWavePin::KsWavePin(PFILE_OBJECT filter, pc::WavePin* pin, std::vector<UCHAR> format)
    : mFilter(filter), mPin(pin), mFormat(std::move(format)) {
  ObReferenceObject(mFilter);
}

KsWavePin::~KsWavePin() {
  Leave(KSSTATE_STOP);
  mPin->Close();
  mPin->Release();
  ObDereferenceObject(mFilter);
}

ULONG KsWavePin::BufferSize() const { return mPin->BufferSize(); }
KSSTATE KsWavePin::State() const { return mPin->State(); }

NTSTATUS KsWavePin::Run() {
  for (KSSTATE next : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}) {
    if (mPin->State() >= next) continue;
    NTSTATUS status = mPin->SetState(next);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

NTSTATUS KsWavePin::Leave(KSSTATE state) {
  while (mPin->State() > state) {
    NTSTATUS status = mPin->SetState(static_cast<KSSTATE>(mPin->State() - 1));
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

NTSTATUS KsWavePin::Position(ULONG* position) { return mPin->Position(position); }
NTSTATUS KsWavePin::NormalizePosition(LONGLONG* position) { return mPin->NormalizePosition(position); }

NTSTATUS KsWavePin::SetFormat(const std::vector<UCHAR>& format) {
  PAGED_CODE();
  std::vector<UCHAR> copy = format;
  NTSTATUS status = mPin->SetFormat(reinterpret_cast<PKSDATAFORMAT>(copy.data()));
  if (NT_SUCCESS(status)) mFormat = std::move(copy);
  return status;
}
void KsWavePin::Play(std::vector<UCHAR> bytes) { mPin->SetPlayData(std::move(bytes)); }
std::vector<UCHAR> KsWavePin::Recorded() const { return mPin->Recorded(); }
std::vector<UCHAR> KsWavePin::TakeRecorded() { return mPin->TakeRecorded(); }
ULONG KsWavePin::Notifications() const { return mPin->ServiceCalls(); }
KIRQL KsWavePin::NotificationIrql() const { return mPin->ServiceIrql(); }
ULONGLONG KsWavePin::BytesMoved() const { return mPin->BytesMoved(); }

std::unique_ptr<KsMidiPin> KsMidiPin::Open(KsFilter& filter, ULONG pin, NTSTATUS* status) {
  PAGED_CODE();
  auto* port = dynamic_cast<pc::PortMidi*>(&filter.Port());
  if (port == nullptr) {
    *status = STATUS_INVALID_DEVICE_REQUEST;
    return nullptr;
  }
  KSDATARANGE_MUSIC range{};
  range.DataRange.FormatSize = sizeof range;
  range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_MUSIC;
  range.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_MIDI;
  range.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_NONE;
  range.Technology = KSMUSIC_TECHNOLOGY_PORT;
  range.ChannelMask = 0xFFFF;
  std::vector<UCHAR> format;
  *status = filter.Intersect(pin, range.DataRange, &format);
  if (!NT_SUCCESS(*status)) return nullptr;
  pc::MidiPin* mp = nullptr;
  *status = port->NewPin(pin, reinterpret_cast<PKSDATAFORMAT>(format.data()), &mp);
  if (!NT_SUCCESS(*status)) return nullptr;
  std::unique_ptr<KsMidiPin> out(new KsMidiPin(filter.File(), mp));
  *status = mp->SetFormat(reinterpret_cast<PKSDATAFORMAT>(format.data()));
  if (!NT_SUCCESS(*status)) return nullptr;
  return out;
}

KsMidiPin::KsMidiPin(PFILE_OBJECT filter, pc::MidiPin* pin) : mFilter(filter), mPin(pin) { ObReferenceObject(mFilter); }

KsMidiPin::~KsMidiPin() {
  Leave(KSSTATE_STOP);
  mPin->Close();
  mPin->NonDelegatingRelease();
  ObDereferenceObject(mFilter);
}

NTSTATUS KsMidiPin::Run() {
  for (KSSTATE next : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}) {
    if (mPin->State() >= next) continue;
    NTSTATUS status = mPin->SetState(next);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

NTSTATUS KsMidiPin::Leave(KSSTATE state) {
  while (mPin->State() > state) {
    NTSTATUS status = mPin->SetState(static_cast<KSSTATE>(mPin->State() - 1));
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

KSSTATE KsMidiPin::State() const { return mPin->State(); }
void KsMidiPin::SignalReads(PKEVENT event) { mPin->SetReadEvent(event); }
bool KsMidiPin::Write(const std::vector<UCHAR>& bytes, NTSTATUS* status) {
  NTSTATUS result = mPin->Write(bytes.data(), static_cast<ULONG>(bytes.size()));
  if (status != nullptr) *status = result;
  return NT_SUCCESS(result);
}
ULONG KsMidiPin::Unwritten() const { return mPin->Unwritten(); }
std::vector<UCHAR> KsMidiPin::Read(NTSTATUS* status) {
  std::vector<UCHAR> bytes;
  NTSTATUS result = mPin->TakeRead(&bytes);
  if (status != nullptr) *status = result;
  return bytes;
}

}  // namespace plat
