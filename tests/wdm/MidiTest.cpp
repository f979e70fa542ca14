// MIDI through the adapter's ports as Windows' audio stack drives them: bytes written to a port go
// to the unit on that port's cable, MIDI from the unit on a cable is read from its port, and the
// surface reaches the host through "MidiC" on the main unit and "MidiKR6" on an expansion unit.
#include <gtest/gtest.h>

#include "driver/QX531PnpDevice.h"
#include "platform/portcls/PortMidi.h"
#include "sim/units/Kr6Unit.h"
#include "sim/units/MainUnit.h"
#include "tests/wdm/WdmRig.h"

namespace {

using wdmtest::WdmRig;

constexpr ULONG kRenderPin = 0;
constexpr ULONG kCapturePin = 2;

struct Port {
  const char16_t* name;
  uint8_t cable;
};
// The ports whose MIDI the unit plays on its own outputs; cable 4 is the surface.
const Port kPlayedPorts[] = {{u"Midi1", 0}, {u"Midi2", 1}, {u"Midi3", 2}, {u"Midi4", 3}, {u"MidiVP1", 5}, {u"MidiVP2", 6}};
const Port kAllPorts[] = {{u"Midi1", 0}, {u"Midi2", 1},   {u"Midi3", 2},  {u"Midi4", 3},
                          {u"MidiC", 4}, {u"MidiVP1", 5}, {u"MidiVP2", 6}};

std::unique_ptr<plat::KsMidiPin> OpenRunning(plat::KsFilter& filter, ULONG pin) {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  std::unique_ptr<plat::KsMidiPin> p = plat::KsMidiPin::Open(filter, pin, &status);
  EXPECT_EQ(status, STATUS_SUCCESS);
  if (p != nullptr) {
    EXPECT_EQ(p->Run(), STATUS_SUCCESS);
  }
  return p;
}

TEST(AdapterMidi, BytesWrittenToEachPortReachTheUnitOnItsCable) {
  WdmRig rig;
  sim::MainUnit main;
  rig.Plug(main);
  rig.StartMidi(main);
  const std::vector<UCHAR> bytes = {0x90, 0x3C, 0x40, 0x3E, 0x41, 0xF0, 0x01, 0x02, 0x03, 0x04, 0xF7, 0xC5, 0x07};
  // Each event packet carries its status: running status arrives spelt out.
  const std::vector<UCHAR> played = {0x90, 0x3C, 0x40, 0x90, 0x3E, 0x41, 0xF0, 0x01,
                                     0x02, 0x03, 0x04, 0xF7, 0xC5, 0x07};
  for (const Port& port : kPlayedPorts) {
    SCOPED_TRACE(std::string(port.name, port.name + std::char_traits<char16_t>::length(port.name)));
    std::unique_ptr<plat::KsFilter> filter = rig.Filter(main, port.name);
    ASSERT_NE(filter, nullptr);
    std::unique_ptr<plat::KsMidiPin> out = OpenRunning(*filter, kRenderPin);
    ASSERT_NE(out, nullptr);
    main.ClearMidiOut();
    ASSERT_TRUE(out->Write(bytes));
    rig.Quiesce();
    EXPECT_EQ(out->Unwritten(), 0u);
    EXPECT_EQ(main.MidiOutBytes(port.cable), played);
    for (uint32_t packet : main.MidiOutPackets(port.cable)) EXPECT_EQ(packet >> 28, port.cable);
  }
}

TEST(AdapterMidi, MidiFromTheUnitIsReadFromThePortOfItsCableWhileTheCaptureRuns) {
  WdmRig rig;
  sim::MainUnit main;
  rig.Plug(main);
  rig.StartMidi(main);
  for (const Port& port : kAllPorts) {
    SCOPED_TRACE(port.cable);
    std::unique_ptr<plat::KsFilter> filter = rig.Filter(main, port.name);
    ASSERT_NE(filter, nullptr);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    std::unique_ptr<plat::KsMidiPin> in = plat::KsMidiPin::Open(*filter, kCapturePin, &status);
    ASSERT_NE(in, nullptr);
    const uint32_t cable = static_cast<uint32_t>(port.cable) << 28;
    main.SendMidiInPacket(cable | 0x09903C40);
    rig.Quiesce();
    EXPECT_TRUE(in->Read().empty()) << "dropped while the capture is stopped";
    ASSERT_EQ(in->Run(), STATUS_SUCCESS);
    const std::vector<uint32_t> sent = {cable | 0x09903C40, cable | 0x0BB00705, cable | 0x0CC01200,
                                        cable | 0x0FF80000};
    for (uint32_t packet : sent) main.SendMidiInPacket(packet);
    rig.Quiesce();
    EXPECT_EQ(in->Read(), wdmtest::MidiBytesOf(sent));
  }
}

TEST(AdapterMidi, TheExpansionUnitsSurfaceArrivesOnMidiKR6AndItsAnswerGoesBack) {
  WdmRig rig;
  sim::MainUnit main;
  sim::Kr6Unit kr6(7);
  rig.Plug(main);
  rig.Plug(kr6);
  rig.StartMidi(kr6);
  std::unique_ptr<plat::KsFilter> filter = rig.Filter(kr6, u"MidiKR6");
  ASSERT_NE(filter, nullptr);
  std::unique_ptr<plat::KsMidiPin> in = OpenRunning(*filter, kCapturePin);
  ASSERT_NE(in, nullptr);
  kr6.MoveFader(0, 0x2000);
  rig.Quiesce();
  EXPECT_FALSE(in->Read().empty()) << "the fader's MIDI";
}

TEST(AdapterMidi, TheMainUnitsSurfaceArrivesOnMidiC) {
  WdmRig rig;
  sim::MainUnit main;
  rig.Plug(main);
  rig.StartMidi(main);
  std::unique_ptr<plat::KsFilter> control = rig.Filter(main, u"MidiC");
  std::unique_ptr<plat::KsFilter> first = rig.Filter(main, u"Midi1");
  ASSERT_NE(control, nullptr);
  std::unique_ptr<plat::KsMidiPin> in = OpenRunning(*control, kCapturePin);
  std::unique_ptr<plat::KsMidiPin> other = OpenRunning(*first, kCapturePin);
  main.SendMidiInPacket(0x4B'B0'07'05);
  rig.Quiesce();
  EXPECT_EQ(in->Read(), (std::vector<UCHAR>{0xB0, 0x07, 0x05}));
  EXPECT_TRUE(other->Read().empty()) << "only the surface's port";
}

// The unit is unreachable, so nothing leaves the unit driver's MIDI-out ring; events go in until
// it is full.
std::vector<uint32_t> FillTheRing(WdmRig& rig, sim::MainUnit& main, plat::KsMidiPin& out, uint8_t cable) {
  std::vector<uint32_t> sent;
  rig.bus.SetReachable(main.Guid(), false);
  for (uint32_t n = 0; n < 2048 && !rig.DeviceOf(main)->MidiOutRingFull(); ++n) {
    const UCHAR key = static_cast<UCHAR>(n & 0x7F);
    const UCHAR velocity = static_cast<UCHAR>((n >> 7) + 1);
    EXPECT_TRUE(out.Write({0x90, key, velocity}));
    sent.push_back(static_cast<uint32_t>(cable) << 28 | 0x09900000u | key << 8 | velocity);
  }
  EXPECT_TRUE(rig.DeviceOf(main)->MidiOutRingFull());
  return sent;
}

void BringBack(WdmRig& rig, sim::MainUnit& main) {
  rig.bus.SetReachable(main.Guid(), true);
  rig.bus.Reset();
  rig.Settle();
  for (int i = 0; i < 20; ++i) rig.Quiesce();
}

// A running render pin of a main unit's port whose next event the full MIDI-out ring refuses:
// `sent` is what the unit is owed once it is reachable again.
struct RefusingPort {
  RefusingPort(const char16_t* name, uint8_t cable) {
    rig.Plug(main);
    rig.StartMidi(main);
    filter = rig.Filter(main, name);
    if (filter != nullptr) out = OpenRunning(*filter, kRenderPin);
    if (out == nullptr) return;
    main.ClearMidiOut();
    sent = FillTheRing(rig, main, *out, cable);
  }
  WdmRig rig;
  sim::MainUnit main;
  std::unique_ptr<plat::KsFilter> filter;
  std::unique_ptr<plat::KsMidiPin> out;
  std::vector<uint32_t> sent;
};

TEST(AdapterMidi, AnEventTheFullRingRefusedIsSentLaterEvenWhenNoWriteFollows) {
  RefusingPort port(u"Midi2", 1);
  ASSERT_NE(port.out, nullptr);
  ASSERT_TRUE(port.out->Write({0x80, 0x3C, 0x00}));
  EXPECT_EQ(port.out->Unwritten(), 0u) << "its last byte completed it: the write took every byte";
  port.sent.push_back(0x18803C00);
  port.rig.Quiesce();
  BringBack(port.rig, port.main);
  EXPECT_EQ(port.main.MidiOutPackets(1), port.sent);
}

TEST(AdapterMidi, AWriteCutShortByARefusalGoesOnWhereItStoppedAndParsesNothingTwice) {
  RefusingPort port(u"Midi3", 2);
  ASSERT_NE(port.out, nullptr);
  ASSERT_TRUE(port.out->Write({0x92, 0x3C, 0x40, 0x82, 0x3C, 0x00, 0xFE}));
  EXPECT_EQ(port.out->Unwritten(), 7u) << "the note-on was refused: nothing taken yet";
  port.sent.insert(port.sent.end(), {0x29923C40, 0x28823C00, 0x2FFE0000});
  BringBack(port.rig, port.main);
  EXPECT_EQ(port.out->Unwritten(), 0u);
  EXPECT_EQ(port.main.MidiOutPackets(2), port.sent);
}

// A stop drops the bytes the port still held after a refusal; the bytes written after it are new
// and reach the unit, however few, while the refused event itself still goes.
TEST(AdapterMidi, AfterAStopDroppedAShortWritesRestTheNextBytesAreParsedNotSkipped) {
  RefusingPort port(u"Midi3", 2);
  ASSERT_NE(port.out, nullptr);
  ASSERT_TRUE(port.out->Write({0x92, 0x3C, 0x40, 0x82, 0x3C, 0x00}));
  ASSERT_EQ(port.out->Unwritten(), 6u) << "the note-on was refused after three bytes";
  ASSERT_EQ(port.out->Leave(KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(port.out->Unwritten(), 0u);
  ASSERT_EQ(port.out->Run(), STATUS_SUCCESS);
  port.sent.push_back(0x29923C40);
  BringBack(port.rig, port.main);
  ASSERT_TRUE(port.out->Write({0xC2, 0x05}));
  port.rig.Quiesce();
  EXPECT_EQ(port.out->Unwritten(), 0u);
  port.sent.push_back(0x2CC20500);
  EXPECT_EQ(port.main.MidiOutPackets(2), port.sent);
}

TEST(AdapterMidi, InputGoesOnWhileAnyCaptureRunsAndArrivesInWholePackets) {
  WdmRig rig;
  sim::MainUnit main;
  rig.Plug(main);
  rig.StartMidi(main);
  std::unique_ptr<plat::KsFilter> filter = rig.Filter(main, u"Midi4");
  std::unique_ptr<plat::KsMidiPin> first = OpenRunning(*filter, kCapturePin);
  std::unique_ptr<plat::KsMidiPin> second = OpenRunning(*filter, kCapturePin);
  ASSERT_TRUE(first != nullptr && second != nullptr);
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  EXPECT_EQ(plat::KsMidiPin::Open(*filter, kCapturePin, &status), nullptr) << "two capture streams at most";
  ASSERT_EQ(second->Leave(KSSTATE_STOP), STATUS_SUCCESS);
  main.SendMidiInPacket(0x39933C40);
  rig.Quiesce();
  EXPECT_EQ(first->Read(), (std::vector<UCHAR>{0x93, 0x3C, 0x40})) << "the other capture still runs";

  // More than the pin and the ring hold together, unread: what does not fit is dropped a packet
  // at a time.
  // A program change first, so that a note straddles the ring's end when it fills.
  main.SendMidiInPacket(0x3CC30500);
  for (uint32_t n = 0; n < 1800; ++n) main.SendMidiInPacket(0x39930040 | (n & 0x7F) << 8);
  rig.Quiesce();
  std::vector<UCHAR> read = first->Read();
  // The next packet has the port read the ring again.
  main.SendMidiInPacket(0x39937F40);
  rig.Quiesce();
  std::vector<UCHAR> more = first->Read();
  read.insert(read.end(), more.begin(), more.end());
  ASSERT_GT(read.size(), 4096u + 500u);
  ASSERT_LT(read.size(), 2 + 1800u * 3);
  ASSERT_EQ(read[0], 0xC3);
  ASSERT_EQ(read.size() % 3, 2u);
  for (size_t i = 2; i < read.size(); i += 3) ASSERT_TRUE(read[i] == 0x93 && read[i + 2] == 0x40) << i << " of " << read.size();
}

// A render stream of the port's miniport, opened as port class opens one.
PMINIPORTMIDISTREAM OpenRenderStream(WdmRig& rig, sim::MainUnit& main, ULONG port) {
  IMiniportMidi* miniport = rig.MidiMiniportOf(main, port);
  if (miniport == nullptr) return nullptr;
  KSDATAFORMAT format{sizeof(KSDATAFORMAT), 0, 0, 0, KSDATAFORMAT_TYPE_MUSIC, KSDATAFORMAT_SUBTYPE_MIDI,
                      KSDATAFORMAT_SPECIFIER_NONE};
  PMINIPORTMIDISTREAM stream = nullptr;
  PSERVICEGROUP group = nullptr;
  EXPECT_EQ(miniport->NewStream(&stream, nullptr, NonPagedPool, kRenderPin, FALSE, &format, &group), STATUS_SUCCESS);
  EXPECT_EQ(group, nullptr);
  return stream;
}

ULONG WriteTo(PMINIPORTMIDISTREAM stream, std::vector<UCHAR> bytes) {
  ULONG written = 0xFFFFFFFF;
  EXPECT_EQ(stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &written), STATUS_SUCCESS);
  return written;
}

// After a short write the stream skips the bytes it already parsed; a write no longer than those
// takes them all and leaves the rest of the skip for the next.
TEST(AdapterMidi, AWriteNoLongerThanTheBytesAlreadyParsedReportsThemWrittenAndSkipsTheRestNextTime) {
  RefusingPort port(u"Midi3", 2);
  ASSERT_NE(port.out, nullptr);
  PMINIPORTMIDISTREAM stream = OpenRenderStream(port.rig, port.main, 2);
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(WriteTo(stream, {0x92, 0x3C, 0x40, 0x82, 0x3C, 0x00}), 0u) << "the note-on was refused";
  BringBack(port.rig, port.main);
  EXPECT_EQ(WriteTo(stream, {0x92, 0x3C}), 2u) << "two of the three parsed bytes";
  EXPECT_EQ(WriteTo(stream, {0x40, 0x82, 0x3C, 0x00}), 4u) << "the third parsed byte skipped, the rest parsed";
  port.rig.Quiesce();
  port.sent.insert(port.sent.end(), {0x29923C40, 0x28823C00});
  EXPECT_EQ(port.main.MidiOutPackets(2), port.sent) << "each event once";
  stream->Release();
}

TEST(AdapterMidi, StoppingOneOfTwoRunningCapturesLeavesTheOtherEveryByteTheRingHeld) {
  WdmRig rig;
  sim::MainUnit main;
  rig.Plug(main);
  rig.StartMidi(main);
  std::unique_ptr<plat::KsFilter> filter = rig.Filter(main, u"Midi2");
  std::unique_ptr<plat::KsMidiPin> first = OpenRunning(*filter, kCapturePin);
  std::unique_ptr<plat::KsMidiPin> second = OpenRunning(*filter, kCapturePin);
  ASSERT_TRUE(first != nullptr && second != nullptr);
  // Enough to fill both pins' buffers and leave some in the ring.
  std::vector<uint32_t> sent;
  for (uint32_t n = 0; n < (2 * plat::pc::MidiPin::kQueueBytes + 300) / 3; ++n)
    sent.push_back(0x19910000 | (n & 0x7F) << 8 | (n >> 7 & 0x7F));
  for (uint32_t packet : sent) main.SendMidiInPacket(packet);
  rig.Quiesce();
  ASSERT_EQ(second->Leave(KSSTATE_STOP), STATUS_SUCCESS);
  std::vector<UCHAR> read = first->Read();
  const std::vector<UCHAR> other = second->Read();
  ASSERT_EQ(read.size() + other.size(), 2 * plat::pc::MidiPin::kQueueBytes) << "both pins full";
  read.insert(read.end(), other.begin(), other.end());
  // The next packet has the port read the ring again.
  sent.push_back(0x19917F7F);
  main.SendMidiInPacket(sent.back());
  rig.Quiesce();
  const std::vector<UCHAR> rest = first->Read();
  read.insert(read.end(), rest.begin(), rest.end());
  EXPECT_EQ(read, wdmtest::MidiBytesOf(sent));
}

TEST(AdapterMidi, InputWhileTheCaptureIsPausedIsDropped) {
  WdmRig rig;
  sim::MainUnit main;
  rig.Plug(main);
  rig.StartMidi(main);
  std::unique_ptr<plat::KsFilter> filter = rig.Filter(main, u"MidiVP2");
  std::unique_ptr<plat::KsMidiPin> in = OpenRunning(*filter, kCapturePin);
  ASSERT_NE(in, nullptr);
  ASSERT_EQ(in->Leave(KSSTATE_PAUSE), STATUS_SUCCESS);
  main.SendMidiInPacket(0x69963C40);
  rig.Quiesce();
  ASSERT_EQ(in->Run(), STATUS_SUCCESS);
  main.SendMidiInPacket(0x6CC60500);
  rig.Quiesce();
  EXPECT_EQ(in->Read(), (std::vector<UCHAR>{0xC6, 0x05})) << "only what came while it ran";
}

// A packet that carries no MIDI bytes still has the port read the ring: what waited there
// arrives, and nothing is added.
TEST(AdapterMidi, APacketWithoutMidiBytesStillHasThePortReadTheRing) {
  for (uint32_t codeIndex : {0u, 1u}) {
    SCOPED_TRACE(codeIndex);
    WdmRig rig;
    sim::MainUnit main;
    rig.Plug(main);
    rig.StartMidi(main);
    std::unique_ptr<plat::KsFilter> filter = rig.Filter(main, u"Midi1");
    std::unique_ptr<plat::KsMidiPin> in = OpenRunning(*filter, kCapturePin);
    ASSERT_NE(in, nullptr);
    std::vector<uint32_t> sent;
    for (uint32_t n = 0; n < (plat::pc::MidiPin::kQueueBytes + 30) / 3; ++n)
      sent.push_back(0x09900040 | (n & 0x7F) << 8);
    for (uint32_t packet : sent) main.SendMidiInPacket(packet);
    rig.Quiesce();
    std::vector<UCHAR> read = in->Read();
    ASSERT_EQ(read.size(), plat::pc::MidiPin::kQueueBytes) << "the pin full, the rest in the ring";
    main.SendMidiInPacket(codeIndex << 24 | 0x00903C40);
    rig.Quiesce();
    const std::vector<UCHAR> rest = in->Read();
    read.insert(read.end(), rest.begin(), rest.end());
    EXPECT_EQ(read, wdmtest::MidiBytesOf(sent));
  }
}

TEST(AdapterMidi, TwoEventsOfOneRefusedByteWaitAndGoInTheirOrder) {
  RefusingPort port(u"MidiVP1", 5);
  ASSERT_NE(port.out, nullptr);
  // 0xF6 closes the system exclusive message and is a message of its own.
  ASSERT_TRUE(port.out->Write({0xF0, 0x01, 0xF6}));
  port.sent.insert(port.sent.end(), {0x57F001F6, 0x55F60000});
  BringBack(port.rig, port.main);
  EXPECT_EQ(port.main.MidiOutPackets(5), port.sent);
}

}  // namespace
