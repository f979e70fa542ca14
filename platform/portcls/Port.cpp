#include "platform/portcls/Port.h"

#include <cstring>

#include "platform/kernel/Verifier.h"
#include "platform/portcls/AdapterDevice.h"

namespace plat::pc {
namespace {

bool Wildcard(const GUID& g) {
  // KSDATAFORMAT_TYPE_WILDCARD, _SUBTYPE_WILDCARD and _SPECIFIER_WILDCARD are all GUID_NULL.
  return g == GUID{};
}

bool Matches(const GUID& a, const GUID& b) { return Wildcard(a) || Wildcard(b) || a == b; }

// A filter descriptor port class can work with: the current version, records of at least the
// known sizes, and connections between pins and nodes that exist.
bool DescriptorIsSound(const PCFILTER_DESCRIPTOR& d) {
  if (d.Version != 0) return false;  // the only version there is
  if (d.PinCount != 0 && (d.Pins == nullptr || d.PinSize < sizeof(PCPIN_DESCRIPTOR))) return false;
  if (d.NodeCount != 0 && (d.Nodes == nullptr || d.NodeSize < sizeof(PCNODE_DESCRIPTOR))) return false;
  if (d.ConnectionCount != 0 && d.Connections == nullptr) return false;
  if (d.CategoryCount != 0 && d.Categories == nullptr) return false;
  for (ULONG i = 0; i < d.ConnectionCount; ++i) {
    const PCCONNECTION_DESCRIPTOR& c = d.Connections[i];
    if (c.FromNode == PCFILTER_NODE ? c.FromNodePin >= d.PinCount : c.FromNode >= d.NodeCount) return false;
    if (c.ToNode == PCFILTER_NODE ? c.ToNodePin >= d.PinCount : c.ToNode >= d.NodeCount) return false;
  }
  for (ULONG i = 0; i < d.PinCount; ++i) {
    const auto* pin = reinterpret_cast<const PCPIN_DESCRIPTOR*>(reinterpret_cast<const UCHAR*>(d.Pins) + i * d.PinSize);
    const KSPIN_DESCRIPTOR& ks = pin->KsPinDescriptor;
    if (ks.DataRangesCount == 0 || ks.DataRanges == nullptr) return false;
    if (ks.DataFlow != KSPIN_DATAFLOW_IN && ks.DataFlow != KSPIN_DATAFLOW_OUT) return false;
  }
  return true;
}

}  // namespace

PortBase::~PortBase() = default;

void PortBase::ReleaseChildren() {
  if (PinsOpen()) Violation("a subdevice was removed while a pin of its filter is open");
  ReleaseMiniport();
  mDescriptor = nullptr;
}

void PortBase::SurpriseRemove() {
  PAGED_CODE();
  ControlLock lock(*this);
  mRemoved = true;
  StopPins();
}

const PCPIN_DESCRIPTOR& PinOf(const PCFILTER_DESCRIPTOR& d, ULONG pin) {
  return *reinterpret_cast<const PCPIN_DESCRIPTOR*>(reinterpret_cast<const UCHAR*>(d.Pins) + pin * d.PinSize);
}

PortBase* PortBase::FromUnknown(PUNKNOWN unknown) {
  if (unknown == nullptr) return nullptr;
  PVOID port = nullptr;
  if (!NT_SUCCESS(unknown->QueryInterface(IID_IPort, &port)) || port == nullptr) return nullptr;
  auto* ip = static_cast<IPort*>(port);
  PortBase* base = dynamic_cast<PortBase*>(ip);
  ip->Release();
  return base;
}

NTSTATUS PortBase::InitPort(PDEVICE_OBJECT deviceObject, PUNKNOWN unknownMiniport, PUNKNOWN unknownAdapter,
                            PRESOURCELIST resourceList) {
  PAGED_CODE();
  if (mDescriptor != nullptr || mMiniport != nullptr) return STATUS_INVALID_DEVICE_REQUEST;
  if (AdapterDevice::Of(deviceObject) == nullptr || unknownMiniport == nullptr) return STATUS_INVALID_PARAMETER;
  mDevice = deviceObject;
  NTSTATUS status = InitMiniport(unknownMiniport, unknownAdapter, resourceList);
  if (!NT_SUCCESS(status)) {
    mDevice = nullptr;
    return status;
  }
  PPCFILTER_DESCRIPTOR description = nullptr;
  status = mMiniport->GetDescription(&description);
  if (NT_SUCCESS(status) && (description == nullptr || !DescriptorIsSound(*description))) status = STATUS_INVALID_PARAMETER;
  if (!NT_SUCCESS(status)) {
    ReleaseMiniport();
    mDevice = nullptr;
    return status;
  }
  mDescriptor = description;
  return STATUS_SUCCESS;
}

NTSTATUS PortBase::GetDevicePropertyOf(DEVICE_REGISTRY_PROPERTY, ULONG, PVOID, PULONG resultLength) {
  PAGED_CODE();
  if (resultLength != nullptr) *resultLength = 0;
  return mDevice == nullptr ? STATUS_INVALID_DEVICE_REQUEST : STATUS_NOT_IMPLEMENTED;
}

NTSTATUS PortBase::DefaultIntersection(const KSDATARANGE* client, const KSDATARANGE* own, ULONG bufferLength,
                                       PVOID result, PULONG resultLength) {
  bool wave = own->Specifier == KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  ULONG length = wave ? sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX) : sizeof(KSDATAFORMAT);
  KSDATAFORMAT_WAVEFORMATEX format{};
  format.DataFormat = *own;
  format.DataFormat.FormatSize = length;
  format.DataFormat.Flags = 0;
  format.DataFormat.Reserved = 0;
  if (wave) {
    if (client->FormatSize < sizeof(KSDATARANGE_AUDIO) || own->FormatSize < sizeof(KSDATARANGE_AUDIO))
      return STATUS_NO_MATCH;
    const auto* c = reinterpret_cast<const KSDATARANGE_AUDIO*>(client);
    const auto* o = reinterpret_cast<const KSDATARANGE_AUDIO*>(own);
    ULONG channels = c->MaximumChannels < o->MaximumChannels ? c->MaximumChannels : o->MaximumChannels;
    ULONG bits = c->MaximumBitsPerSample < o->MaximumBitsPerSample ? c->MaximumBitsPerSample : o->MaximumBitsPerSample;
    ULONG rate = c->MaximumSampleFrequency < o->MaximumSampleFrequency ? c->MaximumSampleFrequency : o->MaximumSampleFrequency;
    if (channels == 0 || bits < c->MinimumBitsPerSample || bits < o->MinimumBitsPerSample ||
        rate < c->MinimumSampleFrequency || rate < o->MinimumSampleFrequency)
      return STATUS_NO_MATCH;
    WAVEFORMATEX& w = format.WaveFormatEx;
    w.wFormatTag = WAVE_FORMAT_PCM;
    w.nChannels = static_cast<USHORT>(channels);
    w.nSamplesPerSec = rate;
    w.wBitsPerSample = static_cast<USHORT>(bits);
    w.nBlockAlign = static_cast<USHORT>(channels * bits / 8);
    w.nAvgBytesPerSec = w.nBlockAlign * rate;
    w.cbSize = 0;
    format.DataFormat.SampleSize = w.nBlockAlign;
  }
  *resultLength = length;
  if (bufferLength == 0) return STATUS_BUFFER_OVERFLOW;
  if (bufferLength < length) return STATUS_BUFFER_TOO_SMALL;
  std::memcpy(result, &format, length);
  return STATUS_SUCCESS;
}

NTSTATUS PortBase::Intersect(ULONG pin, const KSDATARANGE* clientRange, ULONG bufferLength, PVOID result,
                             PULONG resultLength) {
  PAGED_CODE();
  *resultLength = 0;
  if (mRemoved) return STATUS_DEVICE_REMOVED;
  if (mDescriptor == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
  if (pin >= mDescriptor->PinCount || clientRange == nullptr || clientRange->FormatSize < sizeof(KSDATARANGE))
    return STATUS_INVALID_PARAMETER;
  if (bufferLength != 0 && result == nullptr) return STATUS_INVALID_PARAMETER;
  const KSPIN_DESCRIPTOR& ks = PinOf(*mDescriptor, pin).KsPinDescriptor;
  for (ULONG i = 0; i < ks.DataRangesCount; ++i) {
    PKSDATARANGE own = ks.DataRanges[i];
    if (!Matches(clientRange->MajorFormat, own->MajorFormat) || !Matches(clientRange->SubFormat, own->SubFormat) ||
        !Matches(clientRange->Specifier, own->Specifier))
      continue;
    ULONG length = 0;
    NTSTATUS status = mMiniport->DataRangeIntersection(pin, const_cast<PKSDATARANGE>(clientRange), own, bufferLength,
                                                       result, &length);
    if (status == STATUS_NOT_IMPLEMENTED) status = DefaultIntersection(clientRange, own, bufferLength, result, &length);
    if (status == STATUS_NO_MATCH) continue;
    if (NT_SUCCESS(status) && length > bufferLength)
      Violation("DataRangeIntersection: the miniport reported a format longer than the buffer it was given");
    *resultLength = length;
    return status;
  }
  return STATUS_NO_MATCH;
}

NTSTATUS PortBase::Property(ULONG node, const GUID& set, ULONG id, ULONG verb, PVOID instance, ULONG instanceSize,
                            PVOID value, PULONG valueSize) {
  PAGED_CODE();
  if (mRemoved) return STATUS_DEVICE_REMOVED;
  if (mDescriptor == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
  const PCAUTOMATION_TABLE* table = nullptr;
  if (node == PCFILTER_NODE) {
    table = mDescriptor->AutomationTable;
  } else {
    if (node >= mDescriptor->NodeCount) return STATUS_INVALID_PARAMETER;
    const auto* n = reinterpret_cast<const PCNODE_DESCRIPTOR*>(reinterpret_cast<const UCHAR*>(mDescriptor->Nodes) +
                                                               node * mDescriptor->NodeSize);
    table = n->AutomationTable;
  }
  const PCPROPERTY_ITEM* item = nullptr;
  if (table != nullptr) {
    for (ULONG i = 0; i < table->PropertyCount && item == nullptr; ++i) {
      const auto* p = reinterpret_cast<const PCPROPERTY_ITEM*>(reinterpret_cast<const UCHAR*>(table->Properties) +
                                                               i * table->PropertyItemSize);
      if (*p->Set == set && p->Id == id) item = p;
    }
  }
  if (item == nullptr) return STATUS_NOT_FOUND;
  if ((item->Flags & verb) == 0 || item->Handler == nullptr) return STATUS_INVALID_DEVICE_REQUEST;

  PIRP irp = IoAllocateIrp(1, FALSE);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  PCPROPERTY_REQUEST request{};
  request.MajorTarget = mMiniport;
  request.MinorTarget = nullptr;
  request.Node = node;
  request.PropertyItem = item;
  request.Verb = verb;
  request.InstanceSize = instanceSize;
  request.Instance = instanceSize != 0 ? instance : nullptr;
  request.ValueSize = *valueSize;
  request.Value = *valueSize != 0 ? value : nullptr;
  request.Irp = irp;
  ULONG given = *valueSize;
  NTSTATUS status = item->Handler(&request);
  IoFreeIrp(irp);
  if (NT_SUCCESS(status) && request.ValueSize > given)
    Violation("property handler: it reported more bytes than the value buffer holds");
  *valueSize = request.ValueSize;
  return status;
}

}  // namespace plat::pc
