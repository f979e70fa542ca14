// The published kernel interface over a port that records what the commands ask of it: the
// registry values and the entry, the command records, buffer set-up, start and stop, MIDI out to
// the unit, and what removal leaves a client holding the object.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "driver/QX531KernelInterface.h"
#include "platform/kernel/Leftovers.h"
#include "platform/kernel/PnpManager.h"
#include "platform/kernel/Pool.h"
#include "platform/kernel/RegistryHive.h"
#include "platform/kernel/Scheduler.h"
#include "tests/support/Seeds.h"
#include "platform/kernel/WideText.h"

namespace {

class RecordingPort final : public ClientPort {
 public:
  ~RecordingPort() = default;

  BOOLEAN QueueMidiOut(ULONG packet) override {
    if (detached) ++callsAfterDetach;
    if (room == 0) return FALSE;
    --room;
    queued.push_back(packet);
    return TRUE;
  }
  void ApplyClientMode() override {
    if (detached) ++callsAfterDetach;
    calls.push_back("mode");
    // Long enough for removal to come in meanwhile.
    ZwYieldExecution();
  }
  void RestartClient() override { calls.push_back("restart"); }
  ULONG GetBufferFrames() override { return 256; }
  ULONG GetInputChannelCount() override { return kClientChannels; }
  ULONG GetOutputChannelCount() override { return kClientChannels; }
  void ClientSetSampleRate(ULONG rate) override { calls.push_back("rate " + std::to_string(rate)); }
  void AttachClientPlaybackChannel(ULONG channel, BOOLEAN attach) override {
    calls.push_back((attach ? "+play " : "-play ") + std::to_string(channel));
  }
  void DeliverMidiWord(ULONG packet) override { UnpackMidiWord(&mMidiParsers, packet, KernelClientMidiSink, this); }
  void AttachClientRecordChannel(ULONG channel, BOOLEAN attach) override {
    calls.push_back((attach ? "+record " : "-record ") + std::to_string(channel));
  }
  ULONG ExchangeClientBuffers(ULONG, ULONG64, ULONG64) override { return 0; }

  std::vector<std::string> calls;
  // Set once removal has detached the object: no call may reach the port after it.
  bool detached = false;
  int callsAfterDetach = 0;
  std::vector<ULONG> queued;
  ULONG room = ~0u;
};

std::vector<KernelMidiEvent> gMidiIn;
void CollectMidiIn(ULONG code, const KernelMidiEvent* event, PVOID) {
  if (code == kKernelClientMidiIn) gMidiIn.push_back(*event);
}

std::vector<std::pair<ULONG, KernelClientNotice>> gNotices;
ULONG CollectNotice(ULONG code, ULONG, PVOID argument, PVOID) {
  gNotices.push_back({code, *static_cast<KernelClientNotice*>(argument)});
  return 0;
}

KernelMidiEvent Event(UCHAR cableKind, UCHAR b1, UCHAR b2, UCHAR b3) {
  KernelMidiEvent e{};
  e.mCableKind = cableKind;
  e.mBytes[0] = b1;
  e.mBytes[1] = b2;
  e.mBytes[2] = b3;
  return e;
}

class KernelInterface : public testing::Test {
 protected:
  void SetUp() override {
    plat::RegistryHive::Clear();
    gMidiIn.clear();
    gNotices.clear();
    pdo = plat::PnpAddRootDevice(u"QXTEST\\KERNELINTERFACE", u"0");
    ASSERT_EQ(PublishKernelInterface(pdo, &port), STATUS_SUCCESS);
    KernelInterfaceRecord record{};
    ASSERT_EQ(GetInterfaceCallback(&record, &port), STATUS_SUCCESS);
    commands = record.mInterface;
  }
  void TearDown() override {
    if (commands != nullptr) commands->Release();
    if (port.mKernelInterface != nullptr) {
      UnpublishKernelInterface(&port);
      DetachKernelInterface(&port);
    }
    plat::PnpRemoveRootDevice(pdo);
    EXPECT_TRUE(plat::PnpShutdown());
    EXPECT_EQ(plat::PoolLedger::LeakReport(), "");
    plat::RegistryHive::Clear();
  }

  NTSTATUS Run(ULONG code, ULONG argument, void* record) { return commands->ExecuteCommand(code, argument, record); }

  std::u16string Link() {
    PWSTR list = nullptr;
    EXPECT_EQ(IoGetDeviceInterfaces(&GUID_QX531_KERNEL_INTERFACE, nullptr, DEVICE_INTERFACE_INCLUDE_NONACTIVE, &list),
              STATUS_SUCCESS);
    std::u16string link = plat::U16(list);
    ExFreePool(list);
    return link;
  }
  ULONG Value(PCWSTR name) {
    plat::WideString link(Link());
    UNICODE_STRING u{static_cast<USHORT>(link.size() * 2), static_cast<USHORT>(link.size() * 2), link.data()};
    HANDLE key = nullptr;
    EXPECT_EQ(IoOpenDeviceInterfaceRegistryKey(&u, KEY_READ, &key), STATUS_SUCCESS);
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, name);
    UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 4] = {};
    ULONG length = 0;
    EXPECT_EQ(ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, buffer, sizeof buffer, &length),
              STATUS_SUCCESS);
    ZwClose(key);
    ULONG value = 0;
    std::memcpy(&value, reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer)->Data, sizeof value);
    return value;
  }
  size_t EnabledInterfaces() {
    PWSTR list = nullptr;
    EXPECT_EQ(IoGetDeviceInterfaces(&GUID_QX531_KERNEL_INTERFACE, nullptr, 0, &list), STATUS_SUCCESS);
    size_t n = 0;
    for (PWSTR p = list; *p != 0; p += plat::WideLength(p) + 1) ++n;
    ExFreePool(list);
    return n;
  }

  plat::Scheduler sched;
  PDEVICE_OBJECT pdo = nullptr;
  RecordingPort port;
  IQX531KernelCommands* commands = nullptr;
};

TEST_F(KernelInterface, TheKeyGivesTheEntryAndThePortWhoseRecordNamesTheCommandObject) {
  const ULONG64 entry = ULONG64{Value(kKernelEntryHighValue)} << 32 | Value(kKernelEntryValue);
  const ULONG64 portAddress = ULONG64{Value(kKernelPortHighValue)} << 32 | Value(kKernelPortValue);
  EXPECT_EQ(entry, reinterpret_cast<ULONG64>(&GetInterfaceCallback));
  EXPECT_EQ(portAddress, reinterpret_cast<ULONG64>(&port));
  EXPECT_EQ(EnabledInterfaces(), 1u);

  KernelInterfaceRecord record;
  std::memset(&record, 0xEE, sizeof record);
  const auto call = reinterpret_cast<NTSTATUS (*)(PVOID, PVOID)>(entry);
  ASSERT_EQ(call(&record, reinterpret_cast<PVOID>(portAddress)), STATUS_SUCCESS);
  EXPECT_STREQ(record.mName, "qx531.sys");
  EXPECT_EQ(static_cast<UCHAR>(record.mName[10]), 0xEE) << "bytes after the name are left as they were";
  EXPECT_EQ(record.mInterface, port.mKernelInterface);
  EXPECT_EQ(record.mVersion, 1u);
  record.mInterface->Release();

  EXPECT_EQ(GetInterfaceCallback(nullptr, &port), STATUS_INVALID_PARAMETER);
  RecordingPort other;
  EXPECT_EQ(GetInterfaceCallback(&record, &other), STATUS_NO_SUCH_DEVICE) << "a port that was never published";
  EXPECT_EQ(GetInterfaceCallback(&record, nullptr), STATUS_NO_SUCH_DEVICE);
}

TEST_F(KernelInterface, AnswersQueryInterfaceForItsTwoIdsOnly) {
  struct Case {
    const char* what;
    IID iid;
    NTSTATUS status;
  } cases[] = {
      {"IUnknown", IID_IUnknown, STATUS_SUCCESS},
      {"the command interface", IID_IQX531KernelCommands, STATUS_SUCCESS},
      {"the interface class", GUID_QX531_KERNEL_INTERFACE, STATUS_INVALID_PARAMETER},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(commands->QueryInterface(c.iid, &object), c.status);
    if (c.status == STATUS_SUCCESS) {
      EXPECT_EQ(object, static_cast<IQX531KernelCommands*>(port.mKernelInterface));
      static_cast<IUnknown*>(object)->Release();
    } else {
      EXPECT_EQ(object, nullptr);
    }
  }
  // The publisher's reference and the one the entry handed out.
  EXPECT_EQ(port.mKernelInterface->mReferences, 2);
}

TEST_F(KernelInterface, CommandRecordsAreFilledAsTheInterfaceDescribes) {
  struct Case {
    const char* what;
    ULONG code;
    ULONG argument;
    // (offset, 32-bit word) pairs and (offset, text) pairs the record must hold afterwards.
    std::vector<std::pair<ULONG, ULONG>> words;
    std::vector<std::pair<ULONG, std::string>> texts;
  } cases[] = {
      {"version", 0x1000, 0, {{0, 2}, {4, 0}, {8, 0xA5A5A5A5}, {16, 0x00020001}}, {}},
      {"description",
       0x1001,
       0,
       {{64, 18}, {68, 18}, {72, 30}, {76, 1024}, {80, 1}, {84, 0}, {88, 0x10}, {88 + 4 * 7, 0x10}, {88 + 4 * 8, 0x12},
        {88 + 4 * 15, 0x12}, {88 + 4 * 16, 0x14}, {88 + 4 * 17, 0x14}, {88 + 4 * 18, 0}, {344, 0x10},
        {344 + 4 * 8, 0x12}, {344 + 4 * 17, 0x14}, {600, 0}, {604, 0}, {864, 0}, {868, 0xA5A5A5A5}},
       {{0, "QX-5310"}}},
      {"description of a second unit", 0x1001, 1, {{8, 0x005D325B}}, {{0, "QX-5310 [2]"}}},
      {"buffer frames", 0x100A, 0, {{0, 0xA5A5A5A5}, {4, 256}}, {}},
      {"MIDI port names", 0x1013, 0, {{0, 4}, {4, 4}, {8, 0}, {12, 0}, {140, 0}, {144, 0xA5A5A5A5}},
       {{16, "QX-5310 In"}, {80, "QX-5310 Out"}}},
      {"channel names",
       0x1017,
       0,
       {},
       {{0, "Analog 1"}, {64 * 7, "Analog 8"}, {64 * 8, "ADAT 1"}, {64 * 15, "ADAT 8"}, {64 * 16, "SPDIF 1"},
        {64 * 17, "SPDIF 2"}, {4096, "Analog 1"}, {4096 + 64 * 8, "ADAT 1"}, {4096 + 64 * 17, "SPDIF 2"}}},
      {"no effect", 0x1006, 0, {{0, 0xA5A5A5A5}, {1536, 0xA5A5A5A5}}, {}},
      {"a code without a command", 0x1009, 0, {{0, 0xA5A5A5A5}}, {}},
      {"a code outside the range", 0x2000, 0, {{0, 0xA5A5A5A5}}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<UCHAR> record(8192, 0xA5);
    EXPECT_EQ(Run(c.code, c.argument, record.data()), STATUS_SUCCESS);
    for (auto [offset, word] : c.words) {
      ULONG got;
      std::memcpy(&got, &record[offset], sizeof got);
      EXPECT_EQ(got, word) << "word at " << offset;
    }
    for (const auto& [offset, text] : c.texts)
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(&record[offset])), text) << "text at " << offset;
  }
  EXPECT_TRUE(port.calls.empty());
}

TEST_F(KernelInterface, CommandsThatNeedARecordRefuseNoneAndStartAndStopTakeNoneAsAudio) {
  for (ULONG code : {0x1000u, 0x1001u, 0x1002u, 0x100Au, 0x1013u, 0x1014u, 0x1017u}) {
    SCOPED_TRACE(code);
    EXPECT_EQ(Run(code, 0, nullptr), STATUS_INVALID_PARAMETER);
  }
  EXPECT_TRUE(port.calls.empty());
  EXPECT_EQ(Run(0x1003, 0, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(Run(0x1006, 0, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(Run(0x1004, 0, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(port.mAudioRunning, 1);
  EXPECT_EQ(port.mMidiAttached, 0);
  EXPECT_EQ(Run(0x1005, 0, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(port.mAudioRunning, 0);
  EXPECT_EQ(port.calls, (std::vector<std::string>{"mode", "restart"}));
}

TEST_F(KernelInterface, BufferAllocationSetsTheRateAndAttachesWhatWasAskedAndASecondOneFreesTheFirstBefore) {
  struct RateCase {
    ULONG flags;
    ULONG rate;
    ULONG bytesPerSample;
  } rates[] = {{0, 44100, 4},       {0x2, 44100, 4},       {0x4, 48000, 4},  {0x8, 88200, 4},
               {0x10, 96000, 4},    {0x4 | 0x10, 48000, 4}, {0x100, 44100, 2}, {0x100 | 0x8, 88200, 2}};
  for (const auto& r : rates) {
    SCOPED_TRACE(r.flags);
    KernelBufferRecord record{};
    record.mFlags = r.flags;
    record.mFrames = 128;
    ASSERT_EQ(Run(0x1002, 0, &record), STATUS_SUCCESS);
    EXPECT_EQ(port.calls.back(), "rate " + std::to_string(r.rate));
    EXPECT_EQ(port.mBytesPerSample, r.bytesPerSample);
    EXPECT_EQ(port.mClientFrames, 128u);
  }
  port.calls.clear();

  KernelBufferRecord record;
  std::memset(&record, 0, sizeof record);
  record.mPlay[0] = 1;
  record.mPlay[17] = 3;
  record.mPlay[5] = 2;  // bit 0 clear
  record.mRecord[3] = 1;
  record.mFlags = 0x4;
  std::memset(record.mOutputBuffers, 0xEE, sizeof record.mOutputBuffers);
  ASSERT_EQ(Run(0x1002, 0, &record), STATUS_SUCCESS);
  EXPECT_EQ(port.calls, (std::vector<std::string>{"rate 48000", "+play 0", "+play 17", "+record 3"}));
  EXPECT_NE(record.mOutputBuffers[0], nullptr);
  EXPECT_NE(record.mOutputBuffers[17], nullptr);
  EXPECT_EQ(record.mOutputBuffers[5], nullptr);
  EXPECT_EQ(record.mOutputBuffers[1], nullptr);
  EXPECT_NE(record.mInputBuffers[3], nullptr);
  EXPECT_EQ(record.mOutputBuffers[18], reinterpret_cast<PLONG>(~0ull / 0xFF * 0xEE)) << "beyond the unit's channels";
  EXPECT_EQ(port.mPlaybackBuffers[0], record.mOutputBuffers[0]);
  EXPECT_EQ(port.mRecordBuffers[3], record.mInputBuffers[3]);
  for (ULONG i = 0; i < kKernelClientRingBytes / 4; ++i) ASSERT_EQ(record.mOutputBuffers[17][i], 0);

  port.calls.clear();
  record.mPlay[17] = 0;
  ASSERT_EQ(Run(0x1002, 0, &record), STATUS_SUCCESS);
  EXPECT_EQ(port.calls,
            (std::vector<std::string>{"-play 0", "-play 17", "-record 3", "rate 48000", "+play 0", "+record 3"}));

  port.calls.clear();
  ASSERT_EQ(Run(0x1003, 0, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(port.calls, (std::vector<std::string>{"-play 0", "-record 3"}));
  for (ULONG n = 0; n < kClientChannels; ++n) EXPECT_EQ(port.mPlaybackBuffers[n], nullptr);
  port.calls.clear();
  ASSERT_EQ(Run(0x1003, 0, nullptr), STATUS_SUCCESS);
  EXPECT_TRUE(port.calls.empty()) << "nothing left to free";
}

TEST_F(KernelInterface, StartAndStopMoveTheChannelsWithBuffersInAndOutOfTheMasks) {
  KernelBufferRecord record{};
  record.mPlay[2] = 1;
  record.mRecord[4] = 1;
  record.mRecord[6] = 1;
  ASSERT_EQ(Run(0x1002, 0, &record), STATUS_SUCCESS);
  port.calls.clear();
  port.mFramesExchanged = 99;
  port.mRingPosition = 12;

  ULONG both = kKernelStartAudio | kKernelStartMidi;
  ASSERT_EQ(Run(0x1004, 0, &both), STATUS_SUCCESS);
  EXPECT_EQ(port.mPlaybackMask, 1ull << 2);
  EXPECT_EQ(port.mRecordMask, 1ull << 4 | 1ull << 6);
  EXPECT_EQ(port.mAudioRunning, 1);
  EXPECT_EQ(port.mMidiAttached, 1);
  EXPECT_EQ(port.mFramesExchanged, 0u);
  EXPECT_EQ(port.mRingPosition, 0u);
  EXPECT_EQ(port.calls, std::vector<std::string>{"mode"});

  ULONG midi = kKernelStartMidi;
  ASSERT_EQ(Run(0x1005, 0, &midi), STATUS_SUCCESS);
  EXPECT_EQ(port.mMidiAttached, 0);
  EXPECT_EQ(port.mAudioRunning, 1) << "audio was not asked to stop";
  ULONG audio = kKernelStartAudio;
  ASSERT_EQ(Run(0x1005, 0, &audio), STATUS_SUCCESS);
  EXPECT_EQ(port.mAudioRunning, 0);
  EXPECT_EQ(port.mPlaybackMask | port.mRecordMask, 0u);
  EXPECT_EQ(port.calls, (std::vector<std::string>{"mode", "restart"}));

  // Freeing while audio runs stops it first, so the exchange never reads a freed ring.
  ASSERT_EQ(Run(0x1004, 0, &audio), STATUS_SUCCESS);
  port.calls.clear();
  ASSERT_EQ(Run(0x1003, 0, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(port.mAudioRunning, 0);
  EXPECT_EQ(port.calls, (std::vector<std::string>{"restart", "-play 2", "-record 4", "-record 6"}));
}

TEST_F(KernelInterface, MidiSetupTakesTheMasksAndTheInputAndGivesTheOutputEntry) {
  KernelMidiSetupRecord record{};
  record.mReceive[0] = 1;
  record.mReceive[3] = 1;
  record.mReceive[5] = 2;
  record.mSend[1] = 1;
  record.mSend[7] = 0xFFFFFFFF;
  record.mMidiIn = CollectMidiIn;
  record.mMidiInContext = &gMidiIn;
  ASSERT_EQ(Run(0x1014, 0, &record), STATUS_SUCCESS);
  EXPECT_EQ(port.mMidiInMask, 0x09u);
  EXPECT_EQ(port.mMidiOutMask, 0x82u);
  EXPECT_EQ(record.mDeliver, &DeliverMidiToClient);
  EXPECT_EQ(record.mDeliverArgument, &port);

  // MIDI in reaches the client once it is attached for MIDI, and only on the cables it receives.
  port.DeliverMidiWord(0x09903C40);
  EXPECT_TRUE(gMidiIn.empty()) << "not attached yet";
  ULONG midi = kKernelStartMidi;
  ASSERT_EQ(Run(0x1004, 0, &midi), STATUS_SUCCESS);
  for (ULONG packet : {0x09903C40u, 0x19903C40u, 0x39B00705u, 0x59C00500u}) port.DeliverMidiWord(packet);
  ASSERT_EQ(gMidiIn.size(), 2u);
  EXPECT_EQ(gMidiIn[0].mCableKind, 0x00);
  EXPECT_EQ(gMidiIn[1].mCableKind, 0x30);
  EXPECT_EQ(gMidiIn[1].mBytes[0], 0xB0);
  EXPECT_EQ(gMidiIn[1].mValue, 0u);
}

TEST_F(KernelInterface, EventsBecomePacketsByTheCodeIndexTable) {
  struct Case {
    const char* what;
    bool inSysEx;
    UCHAR b1, b2, b3;
    bool sent;
    UCHAR codeIndex;
    bool inSysExAfter;
  } cases[] = {
      {"note on", false, 0x90, 0x3C, 0x64, true, 0x9, false},
      {"note off", false, 0x80, 0x3C, 0x00, true, 0x8, false},
      {"control change", false, 0xB0, 0x07, 0x64, true, 0xB, false},
      {"program change", false, 0xC0, 0x05, 0x00, true, 0xC, false},
      {"pitch bend", false, 0xEF, 0x00, 0x40, true, 0xE, false},
      {"SysEx start", false, 0xF0, 0x01, 0x02, true, 0x4, true},
      {"SysEx of one byte", false, 0xF0, 0xF7, 0x00, true, 0x6, false},
      {"SysEx of two bytes", false, 0xF0, 0x01, 0xF7, true, 0x7, false},
      {"time code", false, 0xF1, 0x10, 0x00, true, 0x2, false},
      {"song select", false, 0xF3, 0x01, 0x00, true, 0x2, false},
      {"song position", false, 0xF2, 0x10, 0x20, true, 0x3, false},
      {"tune request", false, 0xF6, 0x00, 0x00, true, 0x5, false},
      {"clock", false, 0xF8, 0x00, 0x00, true, 0x5, false},
      {"reset", false, 0xFF, 0x00, 0x00, true, 0x5, false},
      {"a data byte", false, 0x3C, 0x64, 0x00, false, 0, false},
      {"undefined F4", false, 0xF4, 0x00, 0x00, false, 0, false},
      {"undefined F5", false, 0xF5, 0x00, 0x00, false, 0, false},
      {"a stray end", false, 0xF7, 0x00, 0x00, false, 0, false},
      {"SysEx goes on", true, 0x01, 0x02, 0x03, true, 0x4, true},
      {"SysEx ends in byte 1", true, 0xF7, 0x00, 0x00, true, 0x5, false},
      {"SysEx ends in byte 2", true, 0x03, 0xF7, 0x00, true, 0x6, false},
      {"SysEx ends in byte 3", true, 0x03, 0x04, 0xF7, true, 0x7, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    UCHAR inSysEx = c.inSysEx;
    ULONG packet = 0;
    const BOOLEAN sent = KernelMidiEventToPacket(Event(0x30, c.b1, c.b2, c.b3), 3, &inSysEx, &packet);
    EXPECT_EQ(sent != FALSE, c.sent);
    if (c.sent) {
      EXPECT_EQ(packet, ULONG{0x30u | c.codeIndex} << 24 | ULONG{c.b1} << 16 | ULONG{c.b2} << 8 | c.b3)
          << std::hex << packet;
    }
    EXPECT_EQ(inSysEx != 0, c.inSysExAfter);
  }
}

TEST_F(KernelInterface, DeliveryCountsWhatItSkipsAndStopsAtAFullRingWithTheCountSoFar) {
  KernelMidiSetupRecord record{};
  record.mSend[1] = 1;
  record.mSend[2] = 1;
  ASSERT_EQ(Run(0x1014, 0, &record), STATUS_SUCCESS);
  const std::vector<KernelMidiEvent> events = {
      Event(0x10, 0x90, 0x3C, 0x64),  // sent
      Event(0x12, 0x90, 0x3C, 0x64),  // a kind other than 0 or 1: consumed unsent
      Event(0x00, 0x90, 0x3C, 0x64),  // cable 0 may not be sent to: consumed unsent
      Event(0x21, 0xF0, 0x01, 0x02),  // kind 1 is sent as well; the cable enters a SysEx
      Event(0x10, 0x3C, 0x64, 0x00),  // no message: consumed unsent
      Event(0x20, 0x03, 0xF7, 0x00),  // ends the SysEx
      Event(0x90, 0x90, 0x3C, 0x64),  // cable 9: no such cable
  };
  EXPECT_EQ(DeliverMidiToClient(static_cast<ULONG>(events.size()), events.data(), &port), events.size());
  EXPECT_EQ(port.queued, (std::vector<ULONG>{0x19903C64, 0x24F00102, 0x2603F700}));

  // With room for one packet the second is refused: two events consumed (the first, and the
  // skipped one before the refused), and sending the rest again duplicates nothing.
  port.queued.clear();
  port.room = 1;
  const std::vector<KernelMidiEvent> more = {Event(0x20, 0xF0, 0x01, 0x02), Event(0x00, 0x80, 0, 0),
                                             Event(0x20, 0x03, 0x04, 0x05), Event(0x20, 0x06, 0xF7, 0)};
  EXPECT_EQ(DeliverMidiToClient(4, more.data(), &port), 2u);
  port.room = ~0u;
  EXPECT_EQ(DeliverMidiToClient(2, more.data() + 2, &port), 2u);
  EXPECT_EQ(port.queued, (std::vector<ULONG>{0x24F00102, 0x24030405, 0x2606F700}))
      << "the refused event keeps its SysEx state for the second try";

  EXPECT_EQ(DeliverMidiToClient(4, nullptr, &port), 0u);
  RecordingPort other;
  EXPECT_EQ(DeliverMidiToClient(1, events.data(), &other), 0u) << "a port that was never published";
}

TEST_F(KernelInterface, APublishedUnitPublishesOnceAndRemovalLeavesTheObjectHarmless) {
  QX531KernelInterface* object = port.mKernelInterface;
  EXPECT_EQ(PublishKernelInterface(pdo, &port), STATUS_SUCCESS);
  EXPECT_EQ(port.mKernelInterface, object) << "a start after a stop keeps the one publication";
  EXPECT_EQ(EnabledInterfaces(), 1u);

  ASSERT_EQ(commands->SetClientCallbacks(CollectNotice, &gNotices, nullptr), STATUS_SUCCESS);
  KernelBufferRecord buffers{};
  buffers.mPlay[0] = 1;
  buffers.mRecord[1] = 1;
  ASSERT_EQ(Run(0x1002, 0, &buffers), STATUS_SUCCESS);
  ULONG both = kKernelStartAudio | kKernelStartMidi;
  ASSERT_EQ(Run(0x1004, 0, &both), STATUS_SUCCESS);
  KernelMidiSetupRecord midi{};
  midi.mSend[0] = 1;
  ASSERT_EQ(Run(0x1014, 0, &midi), STATUS_SUCCESS);

  // Surprise removal: the interface goes and the key no longer leads anywhere.
  UnpublishKernelInterface(&port);
  EXPECT_EQ(EnabledInterfaces(), 0u);
  EXPECT_EQ(Value(kKernelEntryValue), 0u);
  EXPECT_EQ(Value(kKernelPortValue), 0u);
  EXPECT_NE(Value(kKernelEntryHighValue), 0u) << "the high words stay";

  // Removal: the notice once, then the object is detached.
  NotifyKernelClientOfRemoval(&port);
  NotifyKernelClientOfRemoval(&port);
  ASSERT_EQ(gNotices.size(), 1u);
  EXPECT_EQ(gNotices[0].first, kKernelClientNotice);
  EXPECT_EQ(gNotices[0].second.mWord0, 0u);
  EXPECT_EQ(gNotices[0].second.mWord1, 8u);
  UnpublishKernelInterface(&port);
  DetachKernelInterface(&port);
  EXPECT_EQ(port.mKernelInterface, nullptr);
  EXPECT_EQ(port.mPlaybackBuffers[0], nullptr) << "what the client left allocated is freed";
  EXPECT_EQ(port.mRecordBuffers[1], nullptr);
  EXPECT_EQ(port.mAudioRunning, 0);

  port.calls.clear();
  port.queued.clear();
  std::vector<UCHAR> record(8192, 0xA5);
  for (ULONG code : {0x1000u, 0x1001u, 0x1002u, 0x1003u, 0x1004u, 0x1005u, 0x100Au, 0x1014u, 0x1017u}) {
    SCOPED_TRACE(code);
    EXPECT_EQ(Run(code, 0, record.data()), STATUS_NO_SUCH_DEVICE);
  }
  EXPECT_EQ(commands->SetClientCallbacks(CollectNotice, &gNotices, nullptr), STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(record, std::vector<UCHAR>(8192, 0xA5));
  EXPECT_TRUE(port.calls.empty());
  KernelMidiEvent event = Event(0x00, 0x90, 0x3C, 0x64);
  EXPECT_EQ(DeliverMidiToClient(1, &event, &port), 0u);
  EXPECT_TRUE(port.queued.empty());
  KernelInterfaceRecord entry{};
  EXPECT_EQ(GetInterfaceCallback(&entry, &port), STATUS_NO_SUCH_DEVICE);
  // The client's reference is the last: its release frees the object (the pool check at the end).
  EXPECT_EQ(commands->Release(), 0u);
  commands = nullptr;
}

// Command objects in pool.
size_t FrameworkAllocations() {
  for (const plat::PoolUse& use : plat::PoolLedger::Outstanding())
    if (use.tag == plat::PoolTag("Wdm ") && !use.paged) return use.allocations;
  return 0;
}

// A client that never releases what the entry handed it: removal detaches the object, which stays
// for the client, and the driver's unload gives it back.
TEST_F(KernelInterface, ACommandObjectItsClientNeverReleasedIsGivenBackAtTheDriversUnload) {
  KernelInterfaceRecord kept{};
  ASSERT_EQ(GetInterfaceCallback(&kept, &port), STATUS_SUCCESS);
  commands->Release();
  commands = nullptr;
  UnpublishKernelInterface(&port);
  DetachKernelInterface(&port);
  EXPECT_EQ(kept.mInterface->ExecuteCommand(kKernelCommandNothing, 0, nullptr), STATUS_NO_SUCH_DEVICE)
      << "detached, and still there for the client that holds it";
  EXPECT_EQ(FrameworkAllocations(), 1u);
  FreeDetachedKernelInterfaces();
  EXPECT_EQ(FrameworkAllocations(), 0u);
}

// Registration that fails leaves nothing to find: the interface is not enabled and its key holds
// no address.
TEST_F(KernelInterface, ARegistrationThatFailsEnablesNothingAndWritesNoAddress) {
  PDEVICE_OBJECT second = plat::PnpAddRootDevice(u"QXTEST\\KERNELINTERFACE", u"1");
  RecordingPort other;
  plat::PoolLedger::FailTag(plat::PoolTag("Pnp "), true);
  EXPECT_FALSE(NT_SUCCESS(PublishKernelInterface(second, &other)));
  plat::PoolLedger::FailTag(plat::PoolTag("Pnp "), false);
  EXPECT_EQ(EnabledInterfaces(), 1u) << "the first unit's alone";
  PWSTR list = nullptr;
  ASSERT_EQ(IoGetDeviceInterfaces(&GUID_QX531_KERNEL_INTERFACE, second, DEVICE_INTERFACE_INCLUDE_NONACTIVE, &list),
            STATUS_SUCCESS);
  for (PWSTR link = list; *link != 0; link += plat::WideLength(link) + 1) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, link);
    HANDLE key = nullptr;
    if (!NT_SUCCESS(IoOpenDeviceInterfaceRegistryKey(&name, KEY_READ, &key))) continue;
    for (PCWSTR value : {kKernelEntryValue, kKernelPortValue}) {
      UNICODE_STRING valueName;
      RtlInitUnicodeString(&valueName, value);
      UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 4] = {};
      ULONG length = 0;
      EXPECT_NE(ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, buffer, sizeof buffer, &length),
                STATUS_SUCCESS);
    }
    ZwClose(key);
  }
  ExFreePool(list);
  UnpublishKernelInterface(&other);
  DetachKernelInterface(&other);
  plat::PnpRemoveRootDevice(second);
}

TEST(KernelInterfaceRemoval, WaitsForTheClientsCallsInFlightAndAdmitsNoneAfter) {
  for (uint64_t seed : qxtest::InterleavingSeeds(16)) {
    SCOPED_TRACE(qxtest::SeedTrace(seed));
    plat::RegistryHive::Clear();
    {
      plat::Scheduler sched;
      sched.SetSeed(seed);
      sched.SetProcessors(2);
      PDEVICE_OBJECT pdo = plat::PnpAddRootDevice(u"QXTEST\\KERNELINTERFACE", u"0");
      RecordingPort port;
      ASSERT_EQ(PublishKernelInterface(pdo, &port), STATUS_SUCCESS);
      KernelInterfaceRecord record{};
      ASSERT_EQ(GetInterfaceCallback(&record, &port), STATUS_SUCCESS);
      IQX531KernelCommands* commands = record.mInterface;
      KernelMidiSetupRecord midi{};
      midi.mSend[0] = 1;
      ASSERT_EQ(commands->ExecuteCommand(kKernelCommandMidiSetup, 0, &midi), STATUS_SUCCESS);

      std::vector<NTSTATUS> results;
      ULONG sentAfterDetach = 0;
      sched.Spawn("client", [&] {
        const KernelMidiEvent event = Event(0x00, 0x90, 0x3C, 0x64);
        for (int i = 0; i < 40; ++i) {
          ULONG audio = kKernelStartAudio;
          results.push_back(commands->ExecuteCommand(kKernelCommandStart, 0, &audio));
          const ULONG sent = DeliverMidiToClient(1, &event, &port);
          if (port.detached) sentAfterDetach += sent;
        }
      });
      sched.Spawn("removal", [&] {
        UnpublishKernelInterface(&port);
        DetachKernelInterface(&port);
        port.detached = true;
      });
      sched.RunUntilIdle();

      EXPECT_EQ(port.callsAfterDetach, 0);
      EXPECT_EQ(sentAfterDetach, 0u);
      ASSERT_EQ(results.size(), 40u);
      const auto firstRefused = std::find(results.begin(), results.end(), STATUS_NO_SUCH_DEVICE);
      EXPECT_TRUE(std::all_of(results.begin(), firstRefused, [](NTSTATUS s) { return s == STATUS_SUCCESS; }));
      EXPECT_TRUE(std::all_of(firstRefused, results.end(), [](NTSTATUS s) { return s == STATUS_NO_SUCH_DEVICE; }));
      EXPECT_EQ(commands->Release(), 0u);
      plat::PnpRemoveRootDevice(pdo);
      EXPECT_TRUE(plat::PnpShutdown());
    }
    EXPECT_EQ(plat::PoolLedger::LeakReport(), "");
  }
  plat::RegistryHive::Clear();
}

}  // namespace
