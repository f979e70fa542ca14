#include "tests/wdm/WdmRig.h"

#include <gtest/gtest.h>

#include "driver/QX531PnpDevice.h"
#include "platform/kernel/PnpManager.h"
#include "platform/kernel/RegistryHive.h"
#include "wdm/WdmDevice.h"
#include "wdm/WdmMiniportMidi.h"

namespace wdmtest {

WdmRig::WdmRig(uint64_t seed, uint32_t processors) : DriverRig(seed, processors) {
  plat::PnpRegisterService(u"qx5310wdm", u"QX5310Wdm.sys");
  plat::RegistryHive::CreateKey(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\qx5310wdm");
  plat::PnpBindHardwareId(u"*HVN0007", u"qx5310wdm");
}

PDEVICE_OBJECT WdmRig::ChildOf(const sim::Node& unit) const {
  PDEVICE_OBJECT pdo = PdoOf(unit);
  if (pdo == nullptr) return nullptr;
  std::vector<PDEVICE_OBJECT> children = plat::PnpChildren(pdo);
  return children.size() == 1 ? children[0] : nullptr;
}

std::vector<std::u16string> WdmRig::SubdeviceNames(const sim::Node& unit) const {
  std::vector<std::u16string> names;
  PDEVICE_OBJECT child = ChildOf(unit);
  if (child == nullptr) return names;
  for (const plat::PcSubdeviceInfo& s : plat::PcSubdevices(child)) names.push_back(s.name);
  return names;
}

std::unique_ptr<plat::KsFilter> WdmRig::Filter(const sim::Node& unit, std::u16string_view name) {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  PDEVICE_OBJECT child = ChildOf(unit);
  if (child == nullptr) return nullptr;
  return plat::KsFilter::Open(child, name, &status);
}

// The adapter's type information is in its image, not in the test: its members are reached
// without the sanitiser's type check.
__attribute__((no_sanitize("vptr"))) IMiniportMidi* WdmRig::MidiMiniportOf(const sim::Node& unit,
                                                                            ULONG port) const {
  PDEVICE_OBJECT child = ChildOf(unit);
  if (child == nullptr || child->AttachedDevice == nullptr || port >= WdmDevice::kMidiPorts) return nullptr;
  // Port class's device keeps the adapter's device after port class's own part of its extension.
  WdmDevice* adapter = *reinterpret_cast<WdmDevice**>(static_cast<UCHAR*>(child->AttachedDevice->DeviceExtension) +
                                                      PORT_CLASS_DEVICE_EXTENSION_SIZE);
  return adapter != nullptr ? adapter->mMidiMiniports[port] : nullptr;
}

void WdmRig::StartMidi(const sim::Node& unit) {
  uint32_t midiOnly = QX531Device::kStreamMaskMidi;
  uint32_t returned = 0;
  ASSERT_EQ(DeviceOf(unit)->HandleControlRequest(5, &midiOnly, sizeof midiOnly, 0, &returned), 0);
  Quiesce();
}

KSDATARANGE_AUDIO PcmRange(ULONG channels, ULONG minBits, ULONG maxBits, ULONG minRate, ULONG maxRate) {
  KSDATARANGE_AUDIO r{};
  r.DataRange.FormatSize = sizeof r;
  r.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  r.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  r.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  r.MaximumChannels = channels;
  r.MinimumBitsPerSample = minBits;
  r.MaximumBitsPerSample = maxBits;
  r.MinimumSampleFrequency = minRate;
  r.MaximumSampleFrequency = maxRate;
  return r;
}

std::vector<UCHAR> MidiBytesOf(const std::vector<uint32_t>& packets) {
  static constexpr int kBytes[16] = {0, 0, 2, 3, 3, 1, 2, 3, 3, 3, 3, 3, 2, 2, 3, 1};
  std::vector<UCHAR> bytes;
  for (uint32_t p : packets)
    for (int i = 0; i < kBytes[(p >> 24) & 0xF]; ++i) bytes.push_back(static_cast<UCHAR>(p >> (16 - 8 * i)));
  return bytes;
}

}  // namespace wdmtest
