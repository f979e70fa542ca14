#include "wdm/WdmMiniportTopology.h"

#include <cstring>

namespace {

constexpr ULONG kPairs = 9;
constexpr ULONG kVolumeNode = 0;     // + pair
constexpr ULONG kMuteNode = kPairs;  // + pair
constexpr ULONG kFilterRequest = PCFILTER_NODE;
constexpr ULONG kAccessGetSetBasic = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT;
constexpr ULONG kAccessGetBasic = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_BASICSUPPORT;
// Volume in 1/65536 dB: -62 dB to 0 dB in 2 dB steps.
constexpr ULONG kVolumeStep = 0x20000;
constexpr LONG kVolumeMinimum = static_cast<LONG>(0xFFC20000);
constexpr LONG kVolumeMaximum = 0;

#define QX_CONNECTOR_NAME(k) {0x992A31D7 + (k), 0x04D2, 0x445E, {0x8B, 0x72, 0xEF, 0x50, 0xAA, 0x06, 0x55, 0x81}}
constexpr GUID kConnectorNames[kPairs] = {QX_CONNECTOR_NAME(0), QX_CONNECTOR_NAME(1), QX_CONNECTOR_NAME(2),
                                          QX_CONNECTOR_NAME(3), QX_CONNECTOR_NAME(4), QX_CONNECTOR_NAME(5),
                                          QX_CONNECTOR_NAME(6), QX_CONNECTOR_NAME(7), QX_CONNECTOR_NAME(8)};
#undef QX_CONNECTOR_NAME

// Constant data: the GUIDs by value, so that no constructor has to copy them in.
KSDATARANGE gAnalogRange = {{sizeof(KSDATARANGE), 0, 0, 0, STATICGUIDOF(KSDATAFORMAT_TYPE_AUDIO),
                             STATICGUIDOF(KSDATAFORMAT_SUBTYPE_ANALOG), STATICGUIDOF(KSDATAFORMAT_SPECIFIER_NONE)}};
PKSDATARANGE gAnalogRanges[] = {&gAnalogRange};

#define QX_PIN(flow, category, name)                                                                         \
  {0, 0, 0, nullptr,                                                                                       \
   {0, nullptr, 0, nullptr, 1, gAnalogRanges, flow, KSPIN_COMMUNICATION_NONE, category, name, {0}}}
#define QX_RENDER_PINS(k)                                     \
  QX_PIN(KSPIN_DATAFLOW_IN, &KSCATEGORY_AUDIO, nullptr),      \
      QX_PIN(KSPIN_DATAFLOW_OUT, &KSNODETYPE_LINE_CONNECTOR, &kConnectorNames[k])
#define QX_CAPTURE_PINS(k)                                                    \
  QX_PIN(KSPIN_DATAFLOW_IN, &KSNODETYPE_LINE_CONNECTOR, &kConnectorNames[k]), \
      QX_PIN(KSPIN_DATAFLOW_OUT, &KSCATEGORY_AUDIO, nullptr)
PCPIN_DESCRIPTOR gTopologyPins[] = {
    QX_RENDER_PINS(0),  QX_RENDER_PINS(1),  QX_RENDER_PINS(2),  QX_RENDER_PINS(3),  QX_RENDER_PINS(4),
    QX_RENDER_PINS(5),  QX_RENDER_PINS(6),  QX_RENDER_PINS(7),  QX_RENDER_PINS(8),  QX_CAPTURE_PINS(0),
    QX_CAPTURE_PINS(1), QX_CAPTURE_PINS(2), QX_CAPTURE_PINS(3), QX_CAPTURE_PINS(4), QX_CAPTURE_PINS(5),
    QX_CAPTURE_PINS(6), QX_CAPTURE_PINS(7), QX_CAPTURE_PINS(8)};
#undef QX_CAPTURE_PINS
#undef QX_RENDER_PINS
#undef QX_PIN
static_assert(sizeof gTopologyPins / sizeof gTopologyPins[0] == 4 * kPairs);

PCPROPERTY_ITEM gVolumeProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, kAccessGetSetBasic, WdmMiniportTopology::VolumeHandler},
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_CPU_RESOURCES, kAccessGetBasic, WdmMiniportTopology::CpuResourcesHandler}};
PCPROPERTY_ITEM gMuteProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE, kAccessGetSetBasic, WdmMiniportTopology::MuteHandler},
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_CPU_RESOURCES, kAccessGetBasic, WdmMiniportTopology::CpuResourcesHandler}};
PCAUTOMATION_TABLE gVolumeAutomation = {sizeof(PCPROPERTY_ITEM), 2, gVolumeProperties, 0, 0, nullptr, 0, 0, nullptr, 0};
PCAUTOMATION_TABLE gMuteAutomation = {sizeof(PCPROPERTY_ITEM), 2, gMuteProperties, 0, 0, nullptr, 0, 0, nullptr, 0};

#define QX_VOLUME_NODE {0, &gVolumeAutomation, &KSNODETYPE_VOLUME, &KSAUDFNAME_WAVE_VOLUME}
#define QX_MUTE_NODE {0, &gMuteAutomation, &KSNODETYPE_MUTE, &KSAUDFNAME_MIC_MUTE}
PCNODE_DESCRIPTOR gTopologyNodes[] = {QX_VOLUME_NODE, QX_VOLUME_NODE, QX_VOLUME_NODE, QX_VOLUME_NODE, QX_VOLUME_NODE,
                                      QX_VOLUME_NODE, QX_VOLUME_NODE, QX_VOLUME_NODE, QX_VOLUME_NODE, QX_MUTE_NODE,
                                      QX_MUTE_NODE,   QX_MUTE_NODE,   QX_MUTE_NODE,   QX_MUTE_NODE,   QX_MUTE_NODE,
                                      QX_MUTE_NODE,   QX_MUTE_NODE,   QX_MUTE_NODE};
#undef QX_MUTE_NODE
#undef QX_VOLUME_NODE

#define QX_PATH(in, node, out) {PCFILTER_NODE, in, node, 1}, {node, 0, PCFILTER_NODE, out}
PCCONNECTION_DESCRIPTOR gTopologyConnections[] = {
    QX_PATH(0, 0, 1),     QX_PATH(2, 1, 3),     QX_PATH(4, 2, 5),     QX_PATH(6, 3, 7),     QX_PATH(8, 4, 9),
    QX_PATH(10, 5, 11),   QX_PATH(12, 6, 13),   QX_PATH(14, 7, 15),   QX_PATH(16, 8, 17),   QX_PATH(18, 9, 19),
    QX_PATH(20, 10, 21),  QX_PATH(22, 11, 23),  QX_PATH(24, 12, 25),  QX_PATH(26, 13, 27),  QX_PATH(28, 14, 29),
    QX_PATH(30, 15, 31),  QX_PATH(32, 16, 33),  QX_PATH(34, 17, 35)};
#undef QX_PATH

PCFILTER_DESCRIPTOR gTopologyFilter = {0,
                                       nullptr,
                                       sizeof(PCPIN_DESCRIPTOR),
                                       sizeof gTopologyPins / sizeof gTopologyPins[0],
                                       gTopologyPins,
                                       sizeof(PCNODE_DESCRIPTOR),
                                       sizeof gTopologyNodes / sizeof gTopologyNodes[0],
                                       gTopologyNodes,
                                       sizeof gTopologyConnections / sizeof gTopologyConnections[0],
                                       gTopologyConnections,
                                       0,
                                       nullptr};

bool HasChannel(const PCPROPERTY_REQUEST* r) { return r->InstanceSize >= sizeof(LONG) && r->Instance != nullptr; }
LONG ChannelOf(const PCPROPERTY_REQUEST* r) { return *static_cast<const LONG*>(r->Instance); }

void PutLong(PPCPROPERTY_REQUEST r, LONG value) {
  *static_cast<LONG*>(r->Value) = value;
  r->ValueSize = sizeof(LONG);
}

KSPROPERTY_DESCRIPTION Description(ULONG access, ULONG size, ULONG type, ULONG members) {
  KSPROPERTY_DESCRIPTION d{};
  d.AccessFlags = access;
  d.DescriptionSize = size;
  d.PropTypeSet.Set = KSPROPTYPESETID_General;
  d.PropTypeSet.Id = type;
  d.PropTypeSet.Flags = 0;
  d.MembersListCount = members;
  d.Reserved = 0;
  return d;
}

// Basic support without member lists: the description, or the access flags alone.
NTSTATUS BasicSupport(PPCPROPERTY_REQUEST r, ULONG access, ULONG type) {
  if (r->ValueSize >= sizeof(KSPROPERTY_DESCRIPTION)) {
    const KSPROPERTY_DESCRIPTION d = Description(access, sizeof(KSPROPERTY_DESCRIPTION), type, 0);
    std::memcpy(r->Value, &d, sizeof d);
    r->ValueSize = sizeof d;
    return STATUS_SUCCESS;
  }
  if (r->ValueSize >= sizeof(ULONG)) {
    *static_cast<ULONG*>(r->Value) = access;
    r->ValueSize = sizeof(ULONG);
    return STATUS_SUCCESS;
  }
  return STATUS_INVALID_DEVICE_REQUEST;
}

struct VolumeDescription {
  KSPROPERTY_DESCRIPTION description;
  KSPROPERTY_MEMBERSHEADER members;
  KSPROPERTY_STEPPING_LONG range;
};
static_assert(sizeof(VolumeDescription) == 72 && offsetof(VolumeDescription, members) == 40 &&
              offsetof(VolumeDescription, range) == 56);

// The mute controls that answer.
bool MuteNodeAnswers(ULONG node) { return (node >= kMuteNode && node <= kMuteNode + 3) || node == kMuteNode + 8; }

}  // namespace

WdmMiniportTopology::~WdmMiniportTopology() {
  if (mAdapterCommon != nullptr) mAdapterCommon->Release();
  if (mPort != nullptr) mPort->Release();
}

NTSTATUS WdmMiniportTopology::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (IsEqualGUID(iid, IID_IUnknown)) return CUnknown::NonDelegatingQueryInterface(iid, object);
  if (IsEqualGUID(iid, IID_IMiniport) || IsEqualGUID(iid, IID_IMiniportTopology)) {
    *object = static_cast<IMiniportTopology*>(this);
    AddRef();
    return STATUS_SUCCESS;
  }
  *object = nullptr;
  return STATUS_INVALID_PARAMETER;
}

NTSTATUS WdmMiniportTopology::GetDescription(PPCFILTER_DESCRIPTOR* description) {
  *description = &gTopologyFilter;
  return STATUS_SUCCESS;
}

NTSTATUS WdmMiniportTopology::DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID, PULONG) {
  return STATUS_NOT_IMPLEMENTED;
}

void WdmMiniportTopology::DropPort() {
  PAGED_CODE();
  if (mPort == nullptr) return;
  mPort->Release();
  mPort = nullptr;
}

NTSTATUS WdmMiniportTopology::Init(PUNKNOWN unknownAdapter, PRESOURCELIST, PPORTTOPOLOGY port) {
  PAGED_CODE();
  mPort = port;
  mPort->AddRef();
  NTSTATUS status = STATUS_INVALID_PARAMETER;
  if (unknownAdapter != nullptr)
    status = unknownAdapter->QueryInterface(IID_IAdapterCommon, reinterpret_cast<void**>(&mAdapterCommon));
  if (!NT_SUCCESS(status)) {
    mAdapterCommon = nullptr;
    mPort->Release();
    mPort = nullptr;
  }
  return status;
}

NTSTATUS WdmMiniportTopology::VolumeHandler(PPCPROPERTY_REQUEST r) {
  PAGED_CODE();
  if (r->Node == kFilterRequest) return STATUS_INVALID_PARAMETER;
  const bool volume = r->Node == kVolumeNode && r->PropertyItem->Id == KSPROPERTY_AUDIO_VOLUMELEVEL;
  if (r->Verb & KSPROPERTY_TYPE_GET) {
    if (!volume || !HasChannel(r) || (ChannelOf(r) != 0 && ChannelOf(r) != 1) || r->ValueSize < sizeof(LONG))
      return STATUS_INVALID_PARAMETER;
    PutLong(r, 0);
    return STATUS_SUCCESS;
  }
  if (r->Verb & KSPROPERTY_TYPE_SET) {
    if (!volume || !HasChannel(r) || ChannelOf(r) < -1 || ChannelOf(r) > 1 || r->ValueSize != sizeof(LONG))
      return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
  }
  if ((r->Verb & KSPROPERTY_TYPE_BASICSUPPORT) && volume) {
    if (r->ValueSize >= sizeof(VolumeDescription)) {
      VolumeDescription d{};
      d.description = Description(kAccessGetSetBasic, sizeof(VolumeDescription), VT_I4, 1);
      d.members = {KSPROPERTY_MEMBER_STEPPEDRANGES, sizeof(KSPROPERTY_STEPPING_LONG), 1, 0};
      d.range.SteppingDelta = kVolumeStep;
      d.range.Bounds.SignedMinimum = kVolumeMinimum;
      d.range.Bounds.SignedMaximum = kVolumeMaximum;
      std::memcpy(r->Value, &d, sizeof d);
      r->ValueSize = sizeof d;
      return STATUS_SUCCESS;
    }
    if (r->ValueSize >= sizeof(KSPROPERTY_DESCRIPTION)) {
      const KSPROPERTY_DESCRIPTION d = Description(kAccessGetSetBasic, sizeof(VolumeDescription), VT_I4, 1);
      std::memcpy(r->Value, &d, sizeof d);
      r->ValueSize = sizeof d;
      return STATUS_SUCCESS;
    }
    return BasicSupport(r, kAccessGetSetBasic, VT_I4);
  }
  return STATUS_INVALID_PARAMETER;
}

NTSTATUS WdmMiniportTopology::MuteHandler(PPCPROPERTY_REQUEST r) {
  PAGED_CODE();
  if (r->Node == kFilterRequest) return STATUS_INVALID_PARAMETER;
  const bool mute = r->PropertyItem->Id == KSPROPERTY_AUDIO_MUTE;
  const bool control = mute && MuteNodeAnswers(r->Node) && HasChannel(r) && ChannelOf(r) == 0;
  if (r->Verb & KSPROPERTY_TYPE_GET) {
    if (!control || r->ValueSize < sizeof(LONG)) return STATUS_INVALID_PARAMETER;
    PutLong(r, 0);
    return STATUS_SUCCESS;
  }
  if (r->Verb & KSPROPERTY_TYPE_SET) return control && r->ValueSize == sizeof(LONG) ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
  if ((r->Verb & KSPROPERTY_TYPE_BASICSUPPORT) && mute && r->Node == kMuteNode && r->ValueSize >= sizeof(ULONG))
    return BasicSupport(r, kAccessGetSetBasic, VT_BOOL);
  return STATUS_INVALID_PARAMETER;
}

NTSTATUS WdmMiniportTopology::CpuResourcesHandler(PPCPROPERTY_REQUEST r) {
  PAGED_CODE();
  if (r->Node == kFilterRequest) return STATUS_INVALID_DEVICE_REQUEST;
  if (r->Verb & KSPROPERTY_TYPE_GET) {
    if (r->ValueSize < sizeof(LONG)) return STATUS_BUFFER_TOO_SMALL;
    PutLong(r, KSAUDIO_CPU_RESOURCES_NOT_HOST_CPU);
    return STATUS_SUCCESS;
  }
  if (r->Verb & KSPROPERTY_TYPE_BASICSUPPORT) return BasicSupport(r, kAccessGetBasic, VT_I4);
  return STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS CreateMiniportTopology(PUNKNOWN* unknown, PUNKNOWN outerUnknown, POOL_TYPE poolType) {
  PAGED_CODE();
  *unknown = nullptr;
  auto* miniport = new (poolType) WdmMiniportTopology(outerUnknown);
  if (miniport == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  // The object's IUnknown, whose calls go to the outer unknown when there is one.
  *unknown = static_cast<PMINIPORTTOPOLOGY>(miniport);
  (*unknown)->AddRef();
  return STATUS_SUCCESS;
}
