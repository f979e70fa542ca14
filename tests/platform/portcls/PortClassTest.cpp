// The port class stand-in with a small adapter image on a test bus PDO: loading and start
// through PcInitializeAdapterDriver and PcAddAdapterDevice, subdevices and their interfaces,
// removal and unload, the pin client's order on wave, MIDI and topology filters, and the
// port's deferred work against stream destruction under interleaving seeds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/kernel/Loader.h"
#include "platform/kernel/PnpTestBus.h"
#include "platform/kernel/RegistryHive.h"
#include "platform/kernel/Scheduler.h"
#include "platform/kernel/Verifier.h"
#include "platform/portcls/PinClient.h"
#include "platform/portcls/include/stdunk.h"
#include "tests/platform/portcls/images/TestAdapter.h"
#include "tests/support/Seeds.h"
#include "platform/kernel/WideText.h"

namespace {

std::string Narrow(const std::u16string& s) { return std::string(s.begin(), s.end()); }

std::vector<std::string> Lines(const std::u16string& text) {
  std::vector<std::string> out;
  std::string line;
  for (char16_t c : text) {
    if (c == u'\n') {
      out.push_back(line);
      line.clear();
    } else {
      line += static_cast<char>(c);
    }
  }
  return out;
}

class PortClass : public testing::Test {
 public:
  static KSDATARANGE_AUDIO ClientRange(ULONG channels, ULONG minRate, ULONG maxRate) {
    KSDATARANGE_AUDIO r{};
    r.DataRange.FormatSize = sizeof r;
    r.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    r.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    r.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    r.MaximumChannels = channels;
    r.MinimumBitsPerSample = 16;
    r.MaximumBitsPerSample = 32;
    r.MinimumSampleFrequency = minRate;
    r.MaximumSampleFrequency = maxRate;
    return r;
  }

 protected:
  void SetUp() override {
    plat::RegistryHive::Clear();
    plat::PnpRegisterService(testadapter::kService, testadapter::kImage);
    plat::PnpBindHardwareId(testadapter::kHardwareId, testadapter::kService);
  }
  void TearDown() override {
    if (pdo != nullptr) Unplug();
    EXPECT_TRUE(plat::PnpShutdown());
    EXPECT_EQ(plat::ObNamespaceSize(), 0u);
    EXPECT_EQ(plat::IoLiveIrps(), 0u);
    plat::RegistryHive::Clear();
  }

  void Plug() {
    pdo = plat::TestBus::Plug({testadapter::kHardwareId, u"1"});
    plat::PnpSettle();
  }
  void Unplug() {
    plat::TestBus::Unplug(pdo);
    plat::PnpSettle();
    pdo = nullptr;
  }

  static ULONG Dword(std::u16string_view name) {
    plat::RegistryValue value;
    ULONG n = 0xFFFFFFFF;
    if (NT_SUCCESS(plat::RegistryHive::QueryValue(testadapter::kEventsKey, name, &value)) && value.data.size() == 4)
      std::memcpy(&n, value.data.data(), 4);
    return n;
  }
  // The miniports' calls since the last look.
  static std::vector<std::string> TakeLog() {
    plat::RegistryValue value;
    std::u16string text;
    if (NT_SUCCESS(plat::RegistryHive::QueryValue(testadapter::kEventsKey, u"Log", &value)) && value.data.size() >= 2)
      text.assign(reinterpret_cast<const char16_t*>(value.data.data()), value.data.size() / 2 - 1);
    plat::RegistryHive::DeleteValue(testadapter::kEventsKey, u"Log");
    return Lines(text);
  }
  std::vector<std::u16string> Interfaces(const GUID& category, ULONG flags = 0) {
    PWSTR list = nullptr;
    EXPECT_EQ(IoGetDeviceInterfaces(&category, pdo, flags, &list), STATUS_SUCCESS);
    std::vector<std::u16string> out;
    for (PWSTR p = list; p != nullptr && *p != 0; p += plat::WideLength(p) + 1) out.push_back(plat::U16(p));
    ExFreePool(list);
    return out;
  }
  static std::u16string FriendlyName(const std::u16string& link) {
    plat::WideString copy(link);
    UNICODE_STRING name{static_cast<USHORT>(copy.size() * 2), static_cast<USHORT>(copy.size() * 2), copy.data()};
    HANDLE key = nullptr;
    if (!NT_SUCCESS(IoOpenDeviceInterfaceRegistryKey(&name, KEY_READ, &key))) return u"?";
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, L"FriendlyName");
    UCHAR buffer[256] = {};
    ULONG got = 0;
    NTSTATUS status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, buffer, sizeof buffer, &got);
    ZwClose(key);
    if (!NT_SUCCESS(status)) return u"";
    auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    return std::u16string(reinterpret_cast<const char16_t*>(info->Data), info->DataLength / 2 - 1);
  }
  std::unique_ptr<plat::KsFilter> Filter(std::u16string_view name) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    auto filter = plat::KsFilter::Open(pdo, name, &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    return filter;
  }

  plat::Scheduler sched;
  PDEVICE_OBJECT pdo = nullptr;
};

TEST_F(PortClass, AdapterStartsWithAResourceListAndRegistersEachSubdeviceUnderItsCategories) {
  Plug();
  EXPECT_EQ(plat::PnpState(pdo), plat::DevnodeState::Started);
  EXPECT_EQ(Dword(u"StartedWithResources"), 1u);
  EXPECT_EQ(Dword(u"StartStatus"), static_cast<ULONG>(STATUS_SUCCESS));

  struct Case {
    std::u16string name;
    std::vector<GUID> categories;
  } cases[] = {{u"Wave", {KSCATEGORY_AUDIO, KSCATEGORY_RENDER, KSCATEGORY_CAPTURE}},
               {u"Midi", {KSCATEGORY_AUDIO, KSCATEGORY_RENDER, KSCATEGORY_CAPTURE}},
               {u"Topology", {KSCATEGORY_AUDIO, KSCATEGORY_TOPOLOGY}}};
  std::vector<plat::PcSubdeviceInfo> subdevices = plat::PcSubdevices(pdo);
  ASSERT_EQ(subdevices.size(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(Narrow(cases[i].name));
    EXPECT_EQ(subdevices[i].name, cases[i].name);
    EXPECT_EQ(subdevices[i].categories, cases[i].categories);
    for (const GUID& category : cases[i].categories) {
      std::vector<std::u16string> links = Interfaces(category);
      EXPECT_EQ(std::count_if(links.begin(), links.end(),
                              [&](const std::u16string& l) { return l.ends_with(u"}\\" + cases[i].name); }),
                1);
    }
  }
  EXPECT_EQ(Interfaces(KSCATEGORY_AUDIO).size(), 3u);
}

// The start request goes down the stack first; the adapter's start routine runs only once the
// bus driver has started the device, whether it answers at once or later.
TEST_F(PortClass, TheAdaptersStartRoutineRunsOnlyAfterTheBusStartedTheDevice) {
  struct Case {
    bool pend;
    NTSTATUS busStatus;
    bool adapterStarted;
  } cases[] = {{false, STATUS_SUCCESS, true}, {true, STATUS_SUCCESS, true},
               {false, STATUS_DEVICE_NOT_READY, false}, {true, STATUS_DEVICE_NOT_READY, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "pending " << c.pend << " bus status " << std::hex << c.busStatus);
    plat::RegistryHive::DeleteTree(testadapter::kEventsKey);
    pdo = plat::TestBus::Plug({testadapter::kHardwareId, u"1", c.pend, c.busStatus});
    plat::PnpSettle();
    EXPECT_EQ(Dword(u"StartStatus") == static_cast<ULONG>(STATUS_SUCCESS), c.adapterStarted);
    EXPECT_EQ(plat::PnpState(pdo) == plat::DevnodeState::Started, c.adapterStarted);
    EXPECT_EQ(plat::PcSubdevices(pdo).size(), c.adapterStarted ? 3u : 0u);
    Unplug();
  }
}

TEST_F(PortClass, AFilterIsRegisteredOnceUnderOneNameAndANameTakenIsRefusedWhateverItsCase) {
  Plug();
  EXPECT_EQ(Dword(u"DuplicateStatus"), static_cast<ULONG>(STATUS_OBJECT_NAME_COLLISION));
  EXPECT_EQ(Dword(u"SecondNameStatus"), static_cast<ULONG>(STATUS_OBJECT_NAME_COLLISION));
  EXPECT_EQ(plat::PcSubdevices(pdo).size(), 3u);
}

TEST_F(PortClass, PhysicalConnectionsJoinOutputPinsToInputPinsOfRegisteredSubdevices) {
  Plug();
  EXPECT_EQ(Dword(u"ConnectionStatus"), static_cast<ULONG>(STATUS_SUCCESS));
  std::vector<plat::PcConnectionInfo> connections = plat::PcPhysicalConnections(pdo);
  ASSERT_EQ(connections.size(), 1u);
  EXPECT_EQ(connections[0].from, u"Wave");
  EXPECT_EQ(connections[0].fromPin, 3u);
  EXPECT_EQ(connections[0].to, u"Topology");
  EXPECT_EQ(connections[0].toPin, 0u);
}

TEST_F(PortClass, TheInstallDescriptionGivesFirstFriendlyNamesAndLeavesARenameAlone) {
  Plug();
  std::u16string renamed;
  for (const plat::PcSubdeviceInfo& s : plat::PcSubdevices(pdo)) {
    std::u16string expected = s.name == u"Wave" ? u"QX Test Wave" : s.name == u"Midi" ? u"QX Test MIDI" : u"";
    for (const std::u16string& link : s.links) EXPECT_EQ(FriendlyName(link), expected) << Narrow(link);
    if (s.name == u"Wave") renamed = s.links[0];
  }
  // A rename, as a user's or a later installer's, survives the next start.
  plat::WideString copy(renamed);
  UNICODE_STRING name{static_cast<USHORT>(copy.size() * 2), static_cast<USHORT>(copy.size() * 2), copy.data()};
  HANDLE key = nullptr;
  ASSERT_EQ(IoOpenDeviceInterfaceRegistryKey(&name, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
  UNICODE_STRING valueName;
  RtlInitUnicodeString(&valueName, L"FriendlyName");
  std::u16string value = u"Studio Wave";
  ASSERT_EQ(ZwSetValueKey(key, &valueName, 0, REG_SZ, value.data(), static_cast<ULONG>((value.size() + 1) * 2)), STATUS_SUCCESS);
  ZwClose(key);
  Unplug();
  Plug();
  EXPECT_EQ(FriendlyName(renamed), u"Studio Wave");
}

TEST_F(PortClass, RemovalReleasesEveryMiniportDisablesTheInterfacesAndUnloadsTheAdapter) {
  Plug();
  EXPECT_EQ(plat::LdrLoadedDrivers(), std::vector<std::u16string>{testadapter::kImage});
  TakeLog();
  Unplug();
  std::vector<std::string> log = TakeLog();
  for (const char* gone : {"wave: destroyed", "midi: destroyed", "topology: destroyed"})
    EXPECT_NE(std::find(log.begin(), log.end(), gone), log.end()) << gone;
  EXPECT_TRUE(plat::LdrLoadedDrivers().empty());
  EXPECT_EQ(Dword(u"Unloads"), 1u);
  // What is left belongs to the test bus, which stays.
  for (const plat::PoolUse& use : plat::PoolLedger::Outstanding())
    for (ULONG tag : {plat::PoolTag("PcCl"), plat::PoolTag("PcTA"), plat::PoolTag("Dma ")})
      EXPECT_NE(use.tag, tag) << plat::TagText(tag);
  EXPECT_TRUE(Interfaces(KSCATEGORY_AUDIO).empty());
  EXPECT_EQ(Interfaces(KSCATEGORY_AUDIO, DEVICE_INTERFACE_INCLUDE_NONACTIVE).size(), 3u);
}

TEST_F(PortClass, WavePinsOpenInTheStacksOrderAndTheirPositionsFollowTheClock) {
  Plug();
  auto filter = Filter(u"Wave");
  struct Case {
    ULONG pin;
    const char* stream;
  } cases[] = {{testadapter::kWaveRenderPin, "render"}, {testadapter::kWaveCapturePin, "capture"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stream);
    TakeLog();
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    auto pin = plat::KsWavePin::Open(*filter, c.pin, ClientRange(2, 8000, 96000), 10, 1 << 20, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(TakeLog(), (std::vector<std::string>{"wave: intersect 0", "wave: intersect sized",
                                                   std::string("wave: new ") + c.stream + " stream", "wave: set format",
                                                   "wave: notification frequency"}));
    ASSERT_EQ(pin->Format().size(), sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE));
    const auto* format = reinterpret_cast<const KSDATAFORMAT_WAVEFORMATEXTENSIBLE*>(pin->Format().data());
    EXPECT_EQ(format->WaveFormatExt.Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
    EXPECT_EQ(format->WaveFormatExt.Format.nSamplesPerSec, 48000u);
    EXPECT_EQ(format->WaveFormatExt.dwChannelMask, KSAUDIO_SPEAKER_STEREO);
    EXPECT_EQ(pin->FramingSize(), 480u * 4);

    ASSERT_EQ(pin->Run(), STATUS_SUCCESS);
    EXPECT_EQ(TakeLog(), (std::vector<std::string>{"wave: acquire", "wave: pause", "wave: run"}));
    sched.RunFor(105 * plat::kNsPerMs);
    ULONG position = 0;
    ASSERT_EQ(pin->Position(&position), STATUS_SUCCESS);
    EXPECT_EQ(position, 105u * 48 * 4 % testadapter::kWaveBufferBytes);
    EXPECT_EQ(pin->Notifications(), 10u);
    EXPECT_EQ(pin->NotificationIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(pin->BytesMoved(), 100u * 48 * 4);
    ASSERT_EQ(pin->Leave(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(TakeLog(), (std::vector<std::string>{"wave: pause", "wave: acquire", "wave: stop"}));
    if (c.pin == testadapter::kWaveCapturePin) {
      std::vector<UCHAR> recorded = pin->Recorded();
      ASSERT_EQ(recorded.size(), 100u * 48 * 4);
      for (size_t i = 0; i < recorded.size(); ++i)
        ASSERT_EQ(recorded[i], static_cast<UCHAR>(i)) << "at " << i;
      // Taken, the bytes are the same and the pin keeps nothing, however long it runs on.
      EXPECT_EQ(pin->TakeRecorded(), recorded);
      ASSERT_EQ(pin->Run(), STATUS_SUCCESS);
      sched.RunFor(20 * plat::kNsPerMs);
      EXPECT_TRUE(pin->Recorded().empty());
      ASSERT_EQ(pin->Leave(KSSTATE_STOP), STATUS_SUCCESS);
      TakeLog();
    }
    pin.reset();
    EXPECT_EQ(TakeLog(), std::vector<std::string>{std::string("wave: ") + c.stream + " stream destroyed"});
  }
}

TEST_F(PortClass, AWavePinIsRefusedForARangeWithoutOverlapOrBeyondItsInstanceCount) {
  Plug();
  auto filter = Filter(u"Wave");
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  EXPECT_EQ(plat::KsWavePin::Open(*filter, testadapter::kWaveRenderPin, ClientRange(2, 88200, 96000), 10, 0, &status),
            nullptr);
  EXPECT_EQ(status, STATUS_NO_MATCH);
  auto first = plat::KsWavePin::Open(*filter, testadapter::kWaveRenderPin, ClientRange(2, 8000, 96000), 10, 0, &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(plat::KsWavePin::Open(*filter, testadapter::kWaveRenderPin, ClientRange(1, 8000, 96000), 10, 0, &status),
            nullptr);
  EXPECT_NE(status, STATUS_SUCCESS);
  // A bridge pin is no stream.
  KSDATARANGE_AUDIO analog = ClientRange(2, 8000, 96000);
  analog.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_ANALOG;
  analog.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_NONE;
  EXPECT_EQ(plat::KsWavePin::Open(*filter, 1, analog, 10, 0, &status), nullptr);
  EXPECT_EQ(status, STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(PortClass, MidiPassesBothWaysThroughNotifyServiceAndRead) {
  Plug();
  auto filter = Filter(u"Midi");
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  auto out = plat::KsMidiPin::Open(*filter, testadapter::kMidiRenderPin, &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  auto in = plat::KsMidiPin::Open(*filter, testadapter::kMidiCapturePin, &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  ASSERT_EQ(out->Run(), STATUS_SUCCESS);
  ASSERT_EQ(in->Run(), STATUS_SUCCESS);
  // More than the adapter's loop holds: the port presents the rest again at each service.
  std::vector<UCHAR> sent(3 * testadapter::kMidiLoopBytes + 7);
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<UCHAR>(i);
  ASSERT_TRUE(out->Write(sent));
  sched.RunFor(plat::kNsPerMs);
  EXPECT_EQ(out->Unwritten(), 0u);
  EXPECT_EQ(in->Read(), sent);
  ASSERT_EQ(in->Leave(KSSTATE_STOP), STATUS_SUCCESS);
  ASSERT_EQ(out->Leave(KSSTATE_STOP), STATUS_SUCCESS);
  in.reset();
  out.reset();
  filter.reset();
  Unplug();
  EXPECT_GE(Dword(u"MidiServices"), 4u);
}

// A client waits for a capture pin's bytes, as on a pending read, instead of looking again and
// again.
TEST_F(PortClass, AMidiCapturePinSetsItsClientsEventWhenBytesComeInAndOnlyThen) {
  Plug();
  auto filter = Filter(u"Midi");
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  auto out = plat::KsMidiPin::Open(*filter, testadapter::kMidiRenderPin, &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  auto in = plat::KsMidiPin::Open(*filter, testadapter::kMidiCapturePin, &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  KEVENT arrived;
  KeInitializeEvent(&arrived, SynchronizationEvent, FALSE);
  in->SignalReads(&arrived);
  ASSERT_EQ(out->Run(), STATUS_SUCCESS);
  ASSERT_EQ(in->Run(), STATUS_SUCCESS);
  sched.RunFor(plat::kNsPerMs);
  EXPECT_EQ(KeReadStateEvent(&arrived), 0) << "nothing came in";
  const std::vector<UCHAR> sent = {0x90, 0x40, 0x7F};
  ASSERT_TRUE(out->Write(sent));
  sched.RunFor(plat::kNsPerMs);
  EXPECT_NE(KeReadStateEvent(&arrived), 0);
  KeClearEvent(&arrived);
  EXPECT_EQ(in->Read(), sent);
  in->SignalReads(nullptr);
  ASSERT_TRUE(out->Write(sent));
  sched.RunFor(plat::kNsPerMs);
  EXPECT_EQ(KeReadStateEvent(&arrived), 0) << "the client no longer asked for it";
  EXPECT_EQ(in->Read(), sent);
  ASSERT_EQ(in->Leave(KSSTATE_STOP), STATUS_SUCCESS);
  ASSERT_EQ(out->Leave(KSSTATE_STOP), STATUS_SUCCESS);
  in.reset();
  out.reset();
  filter.reset();
  Unplug();
}

TEST_F(PortClass, TopologyNodePropertiesAnswerGetSetAndBasicSupport) {
  Plug();
  auto filter = Filter(u"Topology");
  auto get = [&](ULONG node, ULONG id, LONG channel, LONG* value) {
    ULONG size = sizeof *value;
    return filter->ChannelProperty(node, KSPROPSETID_Audio, id, KSPROPERTY_TYPE_GET, channel, value, &size);
  };
  auto set = [&](ULONG node, ULONG id, LONG channel, LONG value) {
    ULONG size = sizeof value;
    return filter->ChannelProperty(node, KSPROPSETID_Audio, id, KSPROPERTY_TYPE_SET, channel, &value, &size);
  };
  constexpr LONG kMinus10dB = -10 * 65536;
  EXPECT_EQ(set(testadapter::kVolumeNode, KSPROPERTY_AUDIO_VOLUMELEVEL, 1, kMinus10dB), STATUS_SUCCESS);
  EXPECT_EQ(set(testadapter::kVolumeNode, KSPROPERTY_AUDIO_VOLUMELEVEL, 0, 65536), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(set(testadapter::kMuteNode, KSPROPERTY_AUDIO_MUTE, 0, 1), STATUS_SUCCESS);
  struct Case {
    ULONG node;
    ULONG id;
    LONG channel;
    NTSTATUS status;
    LONG value;
  } cases[] = {
      {testadapter::kVolumeNode, KSPROPERTY_AUDIO_VOLUMELEVEL, 0, STATUS_SUCCESS, 0},
      {testadapter::kVolumeNode, KSPROPERTY_AUDIO_VOLUMELEVEL, 1, STATUS_SUCCESS, kMinus10dB},
      {testadapter::kVolumeNode, KSPROPERTY_AUDIO_VOLUMELEVEL, 2, STATUS_INVALID_PARAMETER, 0},
      {testadapter::kMuteNode, KSPROPERTY_AUDIO_MUTE, 0, STATUS_SUCCESS, 1},
      {testadapter::kMuteNode, KSPROPERTY_AUDIO_VOLUMELEVEL, 0, STATUS_NOT_FOUND, 0},
      {testadapter::kVolumeNode, KSPROPERTY_AUDIO_CPU_RESOURCES, 0, STATUS_NOT_FOUND, 0},
      {7, KSPROPERTY_AUDIO_VOLUMELEVEL, 0, STATUS_INVALID_PARAMETER, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "node " << c.node << " property " << c.id << " channel " << c.channel);
    LONG value = 0x55555555;
    EXPECT_EQ(get(c.node, c.id, c.channel, &value), c.status);
    if (NT_SUCCESS(c.status)) {
      EXPECT_EQ(value, c.value);
    }
  }

  // Basic support: as much of the description as the buffer holds.
  struct Support {
    ULONG node;
    ULONG id;
    ULONG buffer;
    ULONG reported;
  } supports[] = {{testadapter::kVolumeNode, KSPROPERTY_AUDIO_VOLUMELEVEL, 72, 72},
                  {testadapter::kVolumeNode, KSPROPERTY_AUDIO_VOLUMELEVEL, 50, 40},
                  {testadapter::kVolumeNode, KSPROPERTY_AUDIO_VOLUMELEVEL, 4, 4},
                  {testadapter::kMuteNode, KSPROPERTY_AUDIO_MUTE, 72, 40}};
  for (const Support& s : supports) {
    SCOPED_TRACE(testing::Message() << "node " << s.node << " buffer " << s.buffer);
    alignas(8) UCHAR buffer[72] = {};
    ULONG size = s.buffer;
    ASSERT_EQ(filter->Property(s.node, KSPROPSETID_Audio, s.id, KSPROPERTY_TYPE_BASICSUPPORT, nullptr, 0, buffer, &size),
              STATUS_SUCCESS);
    EXPECT_EQ(size, s.reported);
    if (s.reported == 4) {
      EXPECT_EQ(*reinterpret_cast<ULONG*>(buffer), KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT);
      continue;
    }
    const auto* d = reinterpret_cast<const KSPROPERTY_DESCRIPTION*>(buffer);
    EXPECT_EQ(d->PropTypeSet.Set, KSPROPTYPESETID_General);
    EXPECT_EQ(d->PropTypeSet.Id, s.id == KSPROPERTY_AUDIO_MUTE ? VT_BOOL : VT_I4);
    if (s.reported == 72) {
      const auto* range = reinterpret_cast<const KSPROPERTY_STEPPING_LONG*>(buffer + 56);
      EXPECT_EQ(range->Bounds.SignedMinimum, -96 * 65536);
      EXPECT_EQ(range->Bounds.SignedMaximum, 0);
    }
  }
}

// The clock's notifications, the service group's DPC reading positions and the pins' close run
// on other processors under every seed; closing a stream while its notification is queued or
// running must neither lose the pin's state nor touch a released stream.
TEST(PortClassRace, PositionDpcsAndServiceGroupsSurviveStreamDestructionUnderEverySeed) {
  for (uint64_t seed : qxtest::InterleavingSeeds()) {
    SCOPED_TRACE(qxtest::SeedTrace(seed));
    plat::Scheduler machine;
    machine.SetSeed(seed);
    plat::RegistryHive::Clear();
    plat::PnpRegisterService(testadapter::kService, testadapter::kImage);
    plat::PnpBindHardwareId(testadapter::kHardwareId, testadapter::kService);
    PDEVICE_OBJECT device = plat::TestBus::Plug({testadapter::kHardwareId, u"1"});
    plat::PnpSettle();
    bool done = false;
    ULONG notifications = 0;
    machine.Spawn("audio stack", [&] {
      NTSTATUS status = STATUS_UNSUCCESSFUL;
      auto filter = plat::KsFilter::Open(device, u"Wave", &status);
      KSDATARANGE_AUDIO range = PortClass::ClientRange(2, 8000, 96000);
      auto render = plat::KsWavePin::Open(*filter, testadapter::kWaveRenderPin, range, 1, 0, &status);
      auto capture = plat::KsWavePin::Open(*filter, testadapter::kWaveCapturePin, range, 1, 1 << 16, &status);
      auto midi = plat::KsFilter::Open(device, u"Midi", &status);
      auto midiOut = plat::KsMidiPin::Open(*midi, testadapter::kMidiRenderPin, &status);
      auto midiIn = plat::KsMidiPin::Open(*midi, testadapter::kMidiCapturePin, &status);
      render->Play(std::vector<UCHAR>(4096, 0x5A));
      render->Run();
      capture->Run();
      midiOut->Run();
      midiIn->Run();
      LARGE_INTEGER wait;
      wait.QuadPart = -static_cast<LONGLONG>(5 + seed % 7) * 10000;
      KeDelayExecutionThread(KernelMode, FALSE, &wait);
      // One pin of each goes straight from run to closed while the other still runs; the MIDI
      // capture pin goes while the service its render pin's write asked for may be under way.
      render.reset();
      midiOut->Write(std::vector<UCHAR>(3 * testadapter::kMidiLoopBytes, 0x90));
      midiIn.reset();
      KeDelayExecutionThread(KernelMode, FALSE, &wait);
      notifications = capture->Notifications();
      capture.reset();
      midiOut.reset();
      filter.reset();
      midi.reset();
      done = true;
    });
    ASSERT_TRUE(machine.RunUntil([&] { return done; }, plat::kNsPerSecond));
    EXPECT_GT(notifications, 0u);
    machine.RunFor(10 * plat::kNsPerMs);
    plat::TestBus::Unplug(device);
    plat::PnpSettle();
    EXPECT_TRUE(plat::PnpShutdown());
    EXPECT_EQ(plat::PoolLedger::OutstandingAllocations(), 0u) << plat::PoolLedger::LeakReport();
    plat::RegistryHive::Clear();
    if (testing::Test::HasFailure()) break;
  }
}

TEST_F(PortClass, TheTestBusHandsOutBusMasterDmaAdaptersWhoseCommonBuffersAreTracked) {
  Plug();
  DEVICE_DESCRIPTION description{};
  description.Version = DEVICE_DESCRIPTION_VERSION1;
  description.Master = TRUE;
  description.Dma32BitAddresses = TRUE;
  description.MaximumLength = 0x10000;
  ULONG mapRegisters = 0;
  PDMA_ADAPTER adapter = IoGetDmaAdapter(pdo, &description, &mapRegisters);
  ASSERT_NE(adapter, nullptr);
  EXPECT_GT(mapRegisters, 0u);
  PHYSICAL_ADDRESS logical{};
  PVOID buffer = adapter->DmaOperations->AllocateCommonBuffer(adapter, 0x8000, &logical, FALSE);
  ASSERT_NE(buffer, nullptr);
  EXPECT_NE(logical.QuadPart, 0);
  EXPECT_LT(logical.QuadPart, 0x100000000LL);
  EXPECT_EQ(adapter->DmaOperations->AllocateCommonBuffer(adapter, 0x20000, &logical, FALSE), nullptr);
  EXPECT_NE(plat::ExpectViolation([&] { adapter->DmaOperations->PutDmaAdapter(adapter); }), "");
  adapter->DmaOperations->FreeCommonBuffer(adapter, 0x8000, logical, buffer, FALSE);
  adapter->DmaOperations->PutDmaAdapter(adapter);

  // A device whose bus has no standard interface gets none.
  PDEVICE_OBJECT root = plat::PnpAddRootDevice(u"QXTEST\\NOBUS", u"0");
  EXPECT_EQ(IoGetDmaAdapter(root, &description, &mapRegisters), nullptr);
  plat::PnpRemoveRootDevice(root);
}

}  // namespace

namespace {

// A topology miniport of the test's own, with whatever filter it is given.
class LocalTopology final : public CUnknown, public IMiniportTopology {
 public:
  explicit LocalTopology(PCFILTER_DESCRIPTOR* filter) : CUnknown(nullptr), mFilter(filter) {}
  DECLARE_STD_UNKNOWN()
  NTSTATUS GetDescription(PPCFILTER_DESCRIPTOR* description) override {
    *description = mFilter;
    return STATUS_SUCCESS;
  }
  NTSTATUS DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID, PULONG) override {
    return STATUS_NOT_IMPLEMENTED;
  }
  NTSTATUS Init(PUNKNOWN, PRESOURCELIST, PPORTTOPOLOGY) override { return STATUS_SUCCESS; }

 private:
  PCFILTER_DESCRIPTOR* mFilter;
};

NTSTATUS LocalTopology::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (IsEqualGUID(iid, IID_IMiniport) || IsEqualGUID(iid, IID_IMiniportTopology)) {
    *object = static_cast<IMiniportTopology*>(this);
    AddRef();
    return STATUS_SUCCESS;
  }
  return CUnknown::NonDelegatingQueryInterface(iid, object);
}

KSDATARANGE gLineRange = {{sizeof(KSDATARANGE), 0, 0, 0, KSDATAFORMAT_TYPE_AUDIO, KSDATAFORMAT_SUBTYPE_ANALOG,
                           KSDATAFORMAT_SPECIFIER_NONE}};
PKSDATARANGE gLineRanges[] = {&gLineRange};
PCPIN_DESCRIPTOR gLinePins[] = {
    {0, 0, 0, nullptr, {0, nullptr, 0, nullptr, 1, gLineRanges, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_NONE, &KSCATEGORY_AUDIO, nullptr, {0}}}};
PCCONNECTION_DESCRIPTOR gToNowhere[] = {{PCFILTER_NODE, 0, 3, 1}};

// The port Init of a miniport of the test's own on the adapter's device, then its registration.
NTSTATUS InitAndRegister(PDEVICE_OBJECT fdo, PCFILTER_DESCRIPTOR* filter, PWSTR name) {
  PPORT port = nullptr;
  NTSTATUS status = PcNewPort(&port, CLSID_PortTopology);
  if (!NT_SUCCESS(status)) return status;
  auto* miniport = new LocalTopology(filter);
  miniport->NonDelegatingAddRef();
  status = port->Init(fdo, nullptr, static_cast<IMiniport*>(miniport), nullptr, nullptr);
  miniport->Release();
  if (NT_SUCCESS(status)) status = PcRegisterSubdevice(fdo, name, port);
  port->Release();
  return status;
}

}  // namespace

TEST_F(PortClass, PortClassRefusesWhatWindowsRefuses) {
  Plug();
  PDEVICE_OBJECT fdo = pdo->AttachedDevice;
  PPORT port = nullptr;
  EXPECT_EQ(PcNewPort(&port, KSCATEGORY_AUDIO), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(port, nullptr);

  PCFILTER_DESCRIPTOR sound = {0, nullptr, sizeof(PCPIN_DESCRIPTOR), 1, gLinePins, sizeof(PCNODE_DESCRIPTOR), 0, nullptr,
                               0, nullptr, 0, nullptr};
  PCFILTER_DESCRIPTOR smallPins = sound;
  smallPins.PinSize = sizeof(PCPIN_DESCRIPTOR) - 8;
  PCFILTER_DESCRIPTOR badVersion = sound;
  badVersion.Version = 2;
  PCFILTER_DESCRIPTOR badConnection = sound;
  badConnection.ConnectionCount = 1;
  badConnection.Connections = gToNowhere;
  struct Case {
    const char* what;
    PDEVICE_OBJECT device;
    PCFILTER_DESCRIPTOR* filter;
    std::u16string name;
    NTSTATUS status;
  } cases[] = {
      {"a device port class did not add", pdo, &sound, u"Line", STATUS_INVALID_PARAMETER},
      {"pin records shorter than a pin descriptor", fdo, &smallPins, u"Line", STATUS_INVALID_PARAMETER},
      {"a descriptor version it does not know", fdo, &badVersion, u"Line", STATUS_INVALID_PARAMETER},
      {"a connection to a node that does not exist", fdo, &badConnection, u"Line", STATUS_INVALID_PARAMETER},
      {"the fourth subdevice, the most the adapter asked for", fdo, &sound, u"Line", STATUS_SUCCESS},
      {"a fifth subdevice", fdo, &sound, u"Line2", STATUS_INSUFFICIENT_RESOURCES},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(InitAndRegister(c.device, c.filter, plat::WideString(c.name).data()), c.status);
  }
  EXPECT_EQ(plat::PcSubdevices(pdo).size(), 4u);
}
