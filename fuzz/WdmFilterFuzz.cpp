// Requests of Windows' audio stack into the audio adapter's filters through the pin client: data
// intersections with any client range and buffer length, wave pins opened with any format and
// run through their states, and topology node properties with any node, property, verb, channel
// and value size. The machine (the unit driver and the adapter loaded by plug and play on a main
// unit's child) is made once; every pin an input opens is closed before the next input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/bus1394/Bus1394.h"
#include "platform/kernel/PnpManager.h"
#include "platform/kernel/RegistryHive.h"
#include "platform/kernel/Scheduler.h"
#include "platform/portcls/PinClient.h"
#include "platform/portcls/PortWaveCyclic.h"
#include "sim/bus/Bus.h"
#include "sim/units/MainUnit.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace {

const char16_t* const kFilters[] = {u"WaveA1", u"WaveA2", u"WaveA3", u"WaveA4", u"WaveB1", u"WaveB2",
                                    u"WaveB3", u"WaveB4", u"WaveC1", u"Topology", u"Midi1"};
constexpr size_t kWaveFilters = 9;
constexpr size_t kTopology = 9;
constexpr size_t kRangeBytes = 96;
constexpr size_t kFormatBytes = sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE);
constexpr size_t kValueBytes = 96;

struct Machine {
  plat::Scheduler mScheduler;
  sim::Bus mBus{mScheduler};
  sim::MainUnit mMainUnit;
  std::vector<std::unique_ptr<plat::KsFilter>> mFilters;

  Machine() {
    plat::PnpRegisterService(u"qx5310", DriverEntry);
    plat::RegistryHive::CreateKey(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\qx5310");
    plat::PnpBindHardwareId(u"1394\\Halvern&QX-5310", u"qx5310");
    plat::PnpRegisterService(u"qx5310wdm", u"QX5310Wdm.sys");
    plat::RegistryHive::CreateKey(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\qx5310wdm");
    plat::PnpBindHardwareId(u"*HVN0007", u"qx5310wdm");
    plat::Bus1394::Install(mBus);
    plat::Bus1394::Settle();
    mBus.Attach(mMainUnit);
    plat::Bus1394::Settle();
    std::vector<PDEVICE_OBJECT> children = plat::PnpChildren(plat::Bus1394::PdoOf(mMainUnit.Guid()));
    if (children.size() != 1) std::abort();
    for (const char16_t* name : kFilters) {
      NTSTATUS status = STATUS_UNSUCCESSFUL;
      mFilters.push_back(plat::KsFilter::Open(children[0], name, &status));
      if (mFilters.back() == nullptr) std::abort();
    }
  }
};

class Input {
 public:
  Input(const uint8_t* data, size_t size) : mData(data), mSize(size) {}
  bool Empty() const { return mAt >= mSize; }
  uint8_t Byte() { return mAt < mSize ? mData[mAt++] : 0; }
  // Up to `n` bytes into `out` (the rest stays as it was).
  void Bytes(void* out, size_t n) {
    const size_t take = n < mSize - mAt ? n : mSize - mAt;
    if (take != 0) std::memcpy(out, mData + mAt, take);
    mAt += take;
  }

 private:
  const uint8_t* mData;
  size_t mSize;
  size_t mAt = 0;
};

void Intersect(Machine& m, Input& in) {
  plat::KsFilter& filter = *m.mFilters[in.Byte() % std::size(kFilters)];
  const ULONG pin = in.Byte() % 40;
  const ULONG bufferLength = in.Byte();
  alignas(8) UCHAR range[kRangeBytes] = {};
  in.Bytes(range, in.Byte() % (kRangeBytes + 1));
  std::vector<UCHAR> result(bufferLength + 1, 0);
  ULONG length = 0;
  filter.Port().Intersect(pin, reinterpret_cast<PKSDATARANGE>(range), bufferLength,
                          bufferLength != 0 ? result.data() : nullptr, &length);
}

void OpenWithFormat(Machine& m, Input& in) {
  plat::KsFilter& filter = *m.mFilters[in.Byte() % kWaveFilters];
  const ULONG pin = (in.Byte() & 1) != 0 ? 2 : 0;
  alignas(8) UCHAR format[kFormatBytes] = {};
  in.Bytes(format, in.Byte() % (kFormatBytes + 1));
  auto* port = static_cast<plat::pc::PortWaveCyclic*>(&filter.Port());
  plat::pc::WavePin* opened = nullptr;
  if (!NT_SUCCESS(port->NewPin(pin, reinterpret_cast<PKSDATAFORMAT>(format), 0, &opened))) return;
  alignas(8) UCHAR next[kFormatBytes];
  std::memcpy(next, format, sizeof next);
  in.Bytes(next, in.Byte() % (kFormatBytes + 1));
  opened->SetFormat(reinterpret_cast<PKSDATAFORMAT>(next));
  ULONG framing = 0;
  opened->SetNotificationFreq(in.Byte(), &framing);
  for (KSSTATE s : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN, KSSTATE_PAUSE, KSSTATE_ACQUIRE, KSSTATE_STOP})
    opened->SetState(s);
  ULONG position = 0;
  opened->Position(&position);
  opened->Close();
  opened->Release();
}

void TopologyProperty(Machine& m, Input& in) {
  plat::KsFilter& filter = *m.mFilters[kTopology];
  const ULONG node = in.Byte();
  const ULONG id = in.Byte() % 40;
  const ULONG verbs[] = {KSPROPERTY_TYPE_GET, KSPROPERTY_TYPE_SET, KSPROPERTY_TYPE_BASICSUPPORT};
  const ULONG verb = verbs[in.Byte() % 3];
  const LONG channel = static_cast<int8_t>(in.Byte());
  alignas(8) UCHAR value[kValueBytes] = {};
  ULONG valueSize = in.Byte() % (kValueBytes + 1);
  in.Bytes(value, valueSize);
  filter.ChannelProperty(node == 0xFF ? PCFILTER_NODE : node, KSPROPSETID_Audio, id, verb, channel, value, &valueSize);
}

}  // namespace

// Requests one after the other, each an operation byte (0 intersection, 1 a wave pin opened with
// a format, 2 a topology property) and its fields.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Machine* machine = new Machine;
  Input in(data, size);
  while (!in.Empty()) {
    switch (in.Byte() % 3) {
      case 0:
        Intersect(*machine, in);
        break;
      case 1:
        OpenWithFormat(*machine, in);
        break;
      default:
        TopologyProperty(*machine, in);
        break;
    }
  }
  machine->mScheduler.RunFor(plat::kNsPerMs);
  return 0;
}
