// Each IASIO operation of the driver against a scripted main unit: what it answers for good and
// bad arguments, for replies that are missing, short or of another kind, and which requests it sends.
#include <cmath>
#include <functional>
#include <utility>

#include "platform/win32/Shell.h"
#include "platform/win32/include/shellapi.h"
#include "driver/AsioRequests.h"
#include "tests/asio/ScriptedAsio.h"
#include "unit/ControlRequests.h"

namespace asiotest {
namespace {

// The DLL's view of the requests is the kernel driver's, for a 64-bit caller.
static_assert(QX531ControlCode(kAsioGetCaps) == IOCTL_QX531_ASIO_GET_CAPS);
static_assert(QX531ControlCode(kAsioOutputReady) == IOCTL_QX531_ASIO_OUTPUT_READY);
static_assert(QX531ControlCode(kAsioGetClockState) == IOCTL_QX531_ASIO_GET_CLOCK_STATE);
static_assert(kAsioCapsMagicWord == kAsioCapsMagic && kAsioChannelSlots == kAsioListEntries);
static_assert(sizeof(AsioCreateRequest) == sizeof(AsioCreateBuffersRequest64));
static_assert(offsetof(AsioCreateRequest, recordChannels) == offsetof(AsioCreateBuffersRequest64, mRecordChannels));
static_assert(sizeof(AsioCreateReply) == sizeof(AsioCreateBuffersReply64));
static_assert(sizeof(AsioClockState) == sizeof(AsioClockStateReply) && sizeof(AsioCaps) == sizeof(AsioCapsReply));

class AsioOperations : public ScriptedAsio {
 protected:
  ASIOError CreateFor(std::vector<ASIOLong> inputs, std::vector<ASIOLong> outputs, ASIOLong frames = kFrames) {
    ASIOError result = ASE_OK;
    Run([&] { result = host->CreateBuffers(inputs, outputs, frames); });
    return result;
  }
  ASIOError Init() {
    ASIOError result = ASIOFalse;
    Run([&] { result = host->Driver()->init(nullptr); });
    return result;
  }
  std::string ErrorText() {
    char text[128] = {};
    Run([&] { host->Driver()->getErrorMessage(text); });
    return text;
  }
  ASIOChannelInfo ChannelInfo(ASIOLong channel, ASIOBool input, ASIOError* result) {
    ASIOChannelInfo info{};
    info.channel = channel;
    info.isInput = input;
    Run([&] { *result = host->Driver()->getChannelInfo(&info); });
    return info;
  }
};

TEST_F(AsioOperations, InitTakesTheCapabilitiesOnlyFromAWholeReplyWithTheMagicAndClampsTheCounts) {
  const struct {
    const char* name;
    AsioCaps caps;
    uint32_t bytes;
    bool fail;
    ASIOBool result;
    ASIOLong inputs;
    ASIOSampleType type;
  } cases[] = {
      {"good, 16-bit", {kAsioCapsMagicWord, 128, 18, 18, 16}, 20, false, ASIOTrue, 18, ASIOSTInt16LSB},
      {"counts above 18", {kAsioCapsMagicWord, 128, 40, 99, 24}, 20, false, ASIOTrue, 18, ASIOSTInt32LSB},
      {"fewer channels", {kAsioCapsMagicWord, 128, 8, 8, 24}, 20, false, ASIOTrue, 8, ASIOSTInt32LSB},
      {"wrong magic", {0x12345678, 128, 8, 8, 16}, 20, false, ASIOFalse, 18, ASIOSTInt32LSB},
      {"short reply", {kAsioCapsMagicWord, 128, 8, 8, 16}, 19, false, ASIOFalse, 18, ASIOSTInt32LSB},
      {"failed request", {kAsioCapsMagicWord, 128, 8, 8, 16}, 20, true, ASIOFalse, 18, ASIOSTInt32LSB},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    m->SetReply(main, ctest::Answer(kAsioGetCaps, &c.caps, sizeof c.caps, c.bytes));
    if (c.fail) Fail(kAsioGetCaps);
    LoadHost();
    EXPECT_EQ(Init(), c.result);
    ASIOLong inputs = 0, outputs = 0;
    Run([&] { host->Driver()->getChannels(&inputs, &outputs); });
    EXPECT_EQ(inputs, c.inputs);
    ASIOError result = ASE_OK;
    EXPECT_EQ(ChannelInfo(0, ASIOTrue, &result).type, c.type);
    if (c.result == ASIOFalse) {
      EXPECT_EQ(ErrorText(), "Error during QX531 ASIO Init");
    }
    ASSERT_EQ(Sent(kAsioGetCaps).back().inLength, 4u);
    EXPECT_EQ(ctest::LoggedWord(Sent(kAsioGetCaps).back(), 0), 24u);
  }
}

TEST_F(AsioOperations, WithoutAMainUnitTheDriverIsCreatedButInitFailsAndTheCheckedOperationsAnswerNotPresent) {
  m->Unplug(main);
  LoadHost();
  EXPECT_EQ(Init(), ASIOFalse);
  EXPECT_EQ(ErrorText(), "Couldn't locate QX-531 driver");
  char name[32] = {};
  Run([&] { host->Driver()->getDriverName(name); });
  EXPECT_STREQ(name, "QX531 24-bit");
  EXPECT_EQ(CreateFor({0}, {0}), ASE_NotPresent);
  EXPECT_EQ(Call<ASIOError>([](IASIO* d) { return d->start(); }), ASE_NotPresent);
  EXPECT_EQ(Call<ASIOError>([](IASIO* d) { return d->stop(); }), ASE_NotPresent);
  EXPECT_EQ(Call<ASIOError>([](IASIO* d) { return d->disposeBuffers(); }), ASE_NotPresent);
}

TEST_F(AsioOperations, CreateBuffersRefusesBadListsAndSizesBeforeSendingAnything) {
  LoadHost();
  ASSERT_EQ(Init(), ASIOTrue);
  std::vector<ASIOLong> nineteen(19, 0);
  const struct {
    const char* name;
    std::vector<ASIOLong> inputs, outputs;
    ASIOLong frames;
    ASIOError result;
  } cases[] = {
      {"19 inputs", nineteen, {0}, kFrames, ASE_InvalidParameter},
      {"19 outputs", {0}, nineteen, kFrames, ASE_InvalidParameter},
      {"input channel 18", {18}, {0}, kFrames, ASE_InvalidParameter},
      {"output channel -1", {0}, {-1}, kFrames, ASE_InvalidParameter},
      {"no channels", {}, {}, kFrames, ASE_InvalidParameter},
      {"another buffer size", {0}, {0}, kFrames * 2, ASE_InvalidMode},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(CreateFor(c.inputs, c.outputs, c.frames), c.result);
  }
  EXPECT_TRUE(Sent(kAsioCreateBuffers).empty());
  EXPECT_EQ(Call<ASIOError>([](IASIO* d) { return d->createBuffers(nullptr, 1, kFrames, nullptr); }),
            ASE_InvalidParameter);
}

TEST_F(AsioOperations, CreateBuffersHandsOutTheReplysAddressesByDirectionAndRefusesASecondCreate) {
  LoadHost();
  ASSERT_EQ(Init(), ASIOTrue);
  ASSERT_EQ(CreateFor({3, 5}, {0, 1}), ASE_OK);
  const std::vector<ASIOBufferInfo>& b = host->Buffers();
  for (size_t k = 0; k < 2; ++k) {
    EXPECT_EQ(b[k].buffers[0], &halves[(2 * k) * kFrames]);
    EXPECT_EQ(b[k].buffers[1], &halves[(2 * k + 1) * kFrames]);
    EXPECT_EQ(b[2 + k].buffers[0], &halves[(68 + 2 * k) * kFrames]);
    EXPECT_EQ(b[2 + k].buffers[1], &halves[(69 + 2 * k) * kFrames]);
  }
  const scripted::LogEntry sent = Sent(kAsioCreateBuffers).back();
  EXPECT_EQ(sent.inLength, 296u);
  EXPECT_EQ(sent.outLength, 1088u);
  const uint32_t expected[] = {24, kFrames, 0, 0, 2, 0, 1};
  for (size_t w = 0; w < std::size(expected); ++w) EXPECT_EQ(ctest::LoggedWord(sent, w), expected[w]) << w;
  // The record list at byte 156: its count, then the channels.
  EXPECT_EQ(ctest::LoggedWord(sent, 39), 2u);
  EXPECT_EQ(ctest::LoggedWord(sent, 40), 3u);
  EXPECT_EQ(ctest::LoggedWord(sent, 41), 5u);
  EXPECT_EQ(CreateFor({0}, {0}), ASE_InvalidMode) << "a second create without dispose";
  EXPECT_EQ(Sent(kAsioCreateBuffers).size(), 1u);
}

TEST_F(AsioOperations, AFailedOrShortCreateHandsNoAddressToTheHost) {
  const struct {
    const char* name;
    uint32_t bytes;
    bool fail;
    size_t disposes;
  } cases[] = {{"failed request", 1088, true, 0}, {"short reply", 1080, false, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    AsioCreateReply reply{};
    for (uint32_t i = 0; i < kHalves; ++i) reply.addresses[i] = reinterpret_cast<uintptr_t>(&halves[i * kFrames]);
    m->SetReply(main, ctest::Answer(kAsioCreateBuffers, &reply, sizeof reply, c.bytes));
    if (c.fail) Fail(kAsioCreateBuffers);
    m->ClearLog(main);
    LoadHost();
    ASSERT_EQ(Init(), ASIOTrue);
    EXPECT_EQ(CreateFor({0}, {0}), ASE_HWMalfunction);
    for (const ASIOBufferInfo& b : host->Buffers()) EXPECT_TRUE(b.buffers[0] == nullptr && b.buffers[1] == nullptr);
    EXPECT_EQ(Sent(kAsioDisposeBuffers).size(), c.disposes) << "what a readless reply mapped goes again";
    EXPECT_EQ(Call<ASIOError>([](IASIO* d) { return d->start(); }), ASE_InvalidMode) << "no buffers exist";
  }
}

TEST_F(AsioOperations, StartNeedsBuffersAndAWholeReplyAndAFailedStartLeavesNoThreadAndNoSession) {
  const struct {
    const char* name;
    uint32_t bytes;
    bool fail;
    bool cellAddress;
    size_t stops;
  } cases[] = {{"failed request", 8, true, true, 0},
               {"short reply", 4, false, true, 1},
               {"no index cell", 8, false, false, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const AsioStartOut start = {c.cellAddress ? reinterpret_cast<uintptr_t>(&cell) : 0};
    m->SetReply(main, ctest::Answer(kAsioStart, &start, sizeof start, c.bytes));
    if (c.fail) Fail(kAsioStart);
    m->ClearLog(main);
    LoadHost(true);
    EXPECT_EQ(HostStart(), ASE_HWMalfunction);
    EXPECT_EQ(Sent(kAsioStop).size(), c.stops) << "a session the kernel driver made active is stopped again";
    EXPECT_EQ(Call<ASIOError>([](IASIO* d) { return d->stop(); }), ASE_InvalidMode) << "not running";
    EXPECT_EQ(program->DebugOutput().find("Thread is created"), std::string::npos);
    Run([&] { host.reset(); });
  }
  const AsioStartOut start = {reinterpret_cast<uintptr_t>(&cell)};
  m->SetReply(main, ctest::Answer(kAsioStart, &start, sizeof start));
  m->ClearLog(main);
  LoadHost();
  ASSERT_EQ(Init(), ASIOTrue);
  EXPECT_EQ(Call<ASIOError>([](IASIO* d) { return d->start(); }), ASE_InvalidMode) << "no buffers";
  EXPECT_EQ(Call<ASIOError>([](IASIO* d) { return d->stop(); }), ASE_InvalidMode);
  EXPECT_EQ(Call<ASIOError>([](IASIO* d) { return d->disposeBuffers(); }), ASE_InvalidMode);
  ASSERT_EQ(CreateFor({0}, {0}), ASE_OK);
  EXPECT_EQ(Call<ASIOError>([](IASIO* d) { return d->stop(); }), ASE_InvalidMode) << "stop before start";
  EXPECT_EQ(HostStart(), ASE_OK);
  EXPECT_EQ(HostStart(), ASE_InvalidMode) << "a second start while running";
  EXPECT_EQ(Sent(kAsioStart).size(), 1u);
  EXPECT_EQ(HostStop(), ASE_OK);
}

TEST_F(AsioOperations, TheSampleRateFromARealClockIsSnappedAndFromNoClockTakenOnlyWhenExact) {
  LoadHost();
  const struct {
    uint32_t code, rate;
    double reported;
  } cases[] = {{1, 44100, 44100.0}, {2, 45999, 44100.0}, {2, 47999, 48000.0}, {2, 67999, 48000.0},
               {2, 68000, 88200.0}, {3, 91999, 88200.0}, {4, 92000, 96000.0}, {1, 0, 44100.0},
               {0, 48000, 48000.0}, {0, 96000, 96000.0}, {0, 47999, 1234.0}, {0, 0, 1234.0}};
  const auto latencies = [&] {
    ASIOLong in = 0, out = 0;
    Run([&] { host->Driver()->getLatencies(&in, &out); });
    return std::pair{in, out};
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.code << " " << c.rate);
    ClockState({c.code, c.rate, 0});
    const std::pair<ASIOLong, ASIOLong> before = latencies();
    ASIOSampleRate rate = 1234.0;
    EXPECT_EQ(Call<ASIOError>([&](IASIO* d) { return d->getSampleRate(&rate); }), ASE_OK);
    EXPECT_EQ(rate, c.reported);
    if (c.reported == 1234.0) {
      EXPECT_EQ(latencies(), before) << "no rate taken, so the driver's rate stays too";
    }
  }
  const struct {
    const char* name;
    bool fail;
    uint32_t bytes;
  } bad[] = {{"failed request", true, 12}, {"short reply", false, 8}};
  for (const auto& c : bad) {
    SCOPED_TRACE(c.name);
    const AsioClockState state = {1, 48000, 0};
    m->SetReply(main, ctest::Answer(kAsioGetClockState, &state, sizeof state, c.bytes));
    if (c.fail) Fail(kAsioGetClockState);
    ASIOSampleRate rate = 1234.0;
    EXPECT_EQ(Call<ASIOError>([&](IASIO* d) { return d->getSampleRate(&rate); }), ASE_HWMalfunction);
    EXPECT_EQ(rate, 1234.0);
  }
  EXPECT_EQ(Call<ASIOError>([](IASIO* d) { return d->getSampleRate(nullptr); }), ASE_InvalidParameter);
}

TEST_F(AsioOperations, SetSampleRateSendsAUnitRateOnlyOnTheInternalClock) {
  LoadHost();
  const struct {
    uint32_t code;
    double rate;
    ASIOError result;
    bool sent;
  } cases[] = {{1, 96000.0, ASE_OK, true},         {1, 44100.0, ASE_OK, true},
               {1, 22050.0, ASE_NoClock, false},   {1, 96000.5, ASE_NoClock, false},
               {2, 96000.0, ASE_InvalidMode, false}, {4, 0.0, ASE_NoClock, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.code << " " << c.rate);
    ClockState({c.code, 48000, 0});
    m->ClearLog(main);
    EXPECT_EQ(Call<ASIOError>([&](IASIO* d) { return d->setSampleRate(c.rate); }), c.result);
    const std::vector<scripted::LogEntry> sent = Sent(kAsioSetSampleRate);
    ASSERT_EQ(sent.size(), c.sent ? 1u : 0u);
    if (c.sent) {
      EXPECT_EQ(ctest::LoggedWord(sent[0], 0), static_cast<uint32_t>(c.rate));
    }
  }
  const double rates[] = {44100.0, 48000.0, 88200.0, 96000.0, 32000.0, 0.0};
  for (double rate : rates)
    EXPECT_EQ(Call<ASIOError>([&](IASIO* d) { return d->canSampleRate(rate); }), rate >= 44100.0 ? ASE_OK : ASE_NoClock);
}

TEST_F(AsioOperations, LatenciesFollowTheBufferSizeAndTheRateLastLearned) {
  LoadHost();
  ASSERT_EQ(Init(), ASIOTrue);
  const struct {
    uint32_t rate;
    ASIOLong in, out;
  } cases[] = {{44100, 286, 308}, {96000, 286, 319}};
  for (const auto& c : cases) {
    ClockState({1, c.rate, 0});
    ASIOSampleRate rate = 0;
    ASIOLong in = 0, out = 0;
    Run([&] {
      host->Driver()->getSampleRate(&rate);
      EXPECT_EQ(host->Driver()->getLatencies(&in, &out), ASE_OK);
    });
    EXPECT_EQ(in, c.in);
    EXPECT_EQ(out, c.out);
  }
  Caps({kAsioCapsMagicWord, 64, 18, 18, 24});
  ASIOLong sizes[4] = {};
  EXPECT_EQ(Call<ASIOError>([&](IASIO* d) { return d->getBufferSize(&sizes[0], &sizes[1], &sizes[2], &sizes[3]); }),
            ASE_OK);
  EXPECT_EQ(sizes[0], 64);
  EXPECT_EQ(sizes[2], 64);
  EXPECT_EQ(sizes[3], 0);
  Caps({0, 128, 18, 18, 24});
  EXPECT_EQ(Call<ASIOError>([&](IASIO* d) { return d->getBufferSize(&sizes[0], &sizes[1], &sizes[2], &sizes[3]); }),
            ASE_OK);
  EXPECT_EQ(sizes[1], 64) << "the last good size stays";
  EXPECT_EQ(ErrorText(), "Error during QX531 ASIO getBufferSize");
}

TEST_F(AsioOperations, ClockSourcesFillWhatTheHostAsksForAndSetClockSourceTakesOnlyAListedIndex) {
  LoadHost();
  ClockState({4, 48000, 0});
  EXPECT_EQ(Call<ASIOError>([](IASIO* d) { return d->setClockSource(0); }), ASE_InvalidParameter)
      << "nothing listed yet";
  ASIOClockSource clocks[4] = {};
  ASIOLong count = 2;
  EXPECT_EQ(Call<ASIOError>([&](IASIO* d) { return d->getClockSources(clocks, &count); }), ASE_OK);
  EXPECT_EQ(count, 2);
  EXPECT_STREQ(clocks[0].name, "Internal");
  EXPECT_STREQ(clocks[1].name, "Word Clock In");
  EXPECT_EQ(clocks[1].associatedChannel, -1);
  EXPECT_EQ(clocks[2].name[0], 0) << "beyond the host's count nothing is written";
  EXPECT_EQ(Call<ASIOError>([](IASIO* d) { return d->setClockSource(2); }), ASE_InvalidParameter);
  count = 9;
  ASIOClockSource more[9] = {};
  EXPECT_EQ(Call<ASIOError>([&](IASIO* d) { return d->getClockSources(more, &count); }), ASE_OK);
  EXPECT_EQ(count, 4);
  EXPECT_STREQ(more[2].name, "ADAT Optical");
  EXPECT_STREQ(more[3].name, "S/PDIF");
  for (ASIOLong i = 0; i < 4; ++i) EXPECT_EQ(more[i].isCurrentSource, i == 2 ? ASIOTrue : ASIOFalse);
  for (ASIOLong asked : {0, -1}) {
    SCOPED_TRACE(asked);
    ASIOClockSource none[1] = {};
    ASIOLong n = asked;
    EXPECT_EQ(Call<ASIOError>([&](IASIO* d) { return d->getClockSources(none, &n); }), ASE_OK);
    EXPECT_EQ(n, asked) << "a count below 1 stays";
    EXPECT_EQ(none[0].name[0], 0);
    EXPECT_EQ(Call<ASIOError>([](IASIO* d) { return d->setClockSource(0); }), ASE_InvalidParameter)
        << "nothing listed";
  }
  count = 4;
  ASSERT_EQ(Call<ASIOError>([&](IASIO* d) { return d->getClockSources(more, &count); }), ASE_OK);
  const struct {
    ASIOLong index;
    ASIOError result;
    uint32_t code;
  } cases[] = {{0, ASE_OK, 1}, {1, ASE_OK, 2}, {2, ASE_OK, 4}, {3, ASE_OK, 3}, {4, ASE_InvalidParameter, 0},
               {-1, ASE_InvalidParameter, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.index);
    m->ClearLog(main);
    EXPECT_EQ(Call<ASIOError>([&](IASIO* d) { return d->setClockSource(c.index); }), c.result);
    const std::vector<scripted::LogEntry> sent = Sent(kAsioSetClockSource);
    ASSERT_EQ(sent.size(), c.result == ASE_OK ? 1u : 0u);
    if (!sent.empty()) {
      EXPECT_EQ(ctest::LoggedWord(sent[0], 0), c.code);
    }
  }
}

TEST_F(AsioOperations, ChannelInfoNamesEachChannelAndRefusesChannelsOutsideTheUnit) {
  LoadHost();
  ASSERT_EQ(Init(), ASIOTrue);
  const struct {
    ASIOLong channel;
    ASIOBool input;
    ASIOError result;
    const char* name;
  } cases[] = {{0, ASIOTrue, ASE_OK, "Analog 1"},  {8, ASIOFalse, ASE_OK, "ADAT 1"},
               {16, ASIOTrue, ASE_OK, "S/PDIF L"}, {17, ASIOTrue, ASE_OK, "S/PDIF R"},
               {18, ASIOTrue, ASE_InvalidParameter, ""}, {-1, ASIOFalse, ASE_InvalidParameter, ""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.channel);
    ASIOError result = ASE_OK;
    const ASIOChannelInfo info = ChannelInfo(c.channel, c.input, &result);
    EXPECT_EQ(result, c.result);
    if (c.result != ASE_OK) continue;
    EXPECT_STREQ(info.name, c.name);
    EXPECT_EQ(info.type, ASIOSTInt32LSB);
    EXPECT_EQ(info.isActive, ASIOTrue);
  }
  EXPECT_EQ(Call<ASIOError>([](IASIO* d) { return d->getChannelInfo(nullptr); }), ASE_InvalidParameter);
}

TEST_F(AsioOperations, FutureAnswersItsSelectorsAndMonitorsAChannelOrAllOfThem) {
  LoadHost(true);
  const struct {
    ASIOLong selector;
    ASIOError result;
  } plain[] = {{kAsioEnableTimeCodeRead, ASE_SUCCESS}, {kAsioDisableTimeCodeRead, ASE_SUCCESS},
               {kAsioCanInputMonitor, ASE_SUCCESS},    {kAsioCanTimeInfo, ASE_SUCCESS},
               {kAsioTransport, ASE_NotPresent},       {kAsioCanTimeCode, ASE_NotPresent}};
  for (const auto& c : plain)
    EXPECT_EQ(Call<ASIOError>([&](IASIO* d) { return d->future(c.selector, nullptr); }), c.result) << c.selector;
  const uint32_t monitor = QX531RequestNumber(IOCTL_QX531_SET_INPUT_MONITOR);
  const struct {
    ASIOLong input;
    ASIOError result;
    size_t sent;
  } cases[] = {{5, ASE_SUCCESS, 1}, {-1, ASE_SUCCESS, 18}, {18, ASE_InvalidParameter, 0}, {-2, ASE_InvalidParameter, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    m->ClearLog(main);
    ASIOInputMonitor request = {c.input, 3, 0x20000000, ASIOTrue, 0x7F};
    EXPECT_EQ(Call<ASIOError>([&](IASIO* d) { return d->future(kAsioSetInputMonitor, &request); }), c.result);
    const std::vector<scripted::LogEntry> sent = Sent(monitor);
    ASSERT_EQ(sent.size(), c.sent);
    for (size_t i = 0; i < sent.size(); ++i) {
      EXPECT_EQ(ctest::LoggedWord(sent[i], 0), c.input < 0 ? i : static_cast<uint32_t>(c.input));
      EXPECT_EQ(ctest::LoggedWord(sent[i], 1), 1u);
      EXPECT_EQ(ctest::LoggedWord(sent[i], 2), 0x20000000u);
      EXPECT_EQ(ctest::LoggedWord(sent[i], 3), 0x7Fu);
    }
  }
  EXPECT_EQ(Call<ASIOError>([](IASIO* d) { return d->future(kAsioSetInputMonitor, nullptr); }), ASE_InvalidParameter);
  EXPECT_NE(program->DebugOutput().find("InputMon input=5, output=3, gain=20000000, state=t, pan=7f\n"),
            std::string::npos);
}

TEST_F(AsioOperations, EveryNullOutPointerIsRefused) {
  LoadHost();
  ASSERT_EQ(Init(), ASIOTrue);
  ASIOLong a = 0, b = 0, c = 0;
  ASIOClockSource clocks[4] = {};
  ASIOSamples position{};
  ASIOTimeStamp stamp{};
  const struct {
    const char* name;
    std::function<ASIOError(IASIO*)> call;
  } cases[] = {
      {"getChannels inputs", [&](IASIO* d) { return d->getChannels(nullptr, &a); }},
      {"getChannels outputs", [&](IASIO* d) { return d->getChannels(&a, nullptr); }},
      {"getLatencies input", [&](IASIO* d) { return d->getLatencies(nullptr, &a); }},
      {"getLatencies output", [&](IASIO* d) { return d->getLatencies(&a, nullptr); }},
      {"getBufferSize min", [&](IASIO* d) { return d->getBufferSize(nullptr, &a, &b, &c); }},
      {"getBufferSize max", [&](IASIO* d) { return d->getBufferSize(&a, nullptr, &b, &c); }},
      {"getBufferSize preferred", [&](IASIO* d) { return d->getBufferSize(&a, &b, nullptr, &c); }},
      {"getBufferSize granularity", [&](IASIO* d) { return d->getBufferSize(&a, &b, &c, nullptr); }},
      {"getClockSources list", [&](IASIO* d) { return d->getClockSources(nullptr, &a); }},
      {"getClockSources count", [&](IASIO* d) { return d->getClockSources(clocks, nullptr); }},
      {"getSamplePosition position", [&](IASIO* d) { return d->getSamplePosition(nullptr, &stamp); }},
      {"getSamplePosition stamp", [&](IASIO* d) { return d->getSamplePosition(&position, nullptr); }},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    a = 4;
    EXPECT_EQ(Call<ASIOError>(k.call), ASE_InvalidParameter);
  }
}

TEST_F(AsioOperations, AFailedRequestAnswersHWMalfunctionAndOnceTheUnitHasGoneNotPresent) {
  LoadHost();
  ASSERT_EQ(Init(), ASIOTrue);
  ASIOClockSource clocks[4] = {};
  ASIOLong count = 4;
  ASSERT_EQ(Call<ASIOError>([&](IASIO* d) { return d->getClockSources(clocks, &count); }), ASE_OK);
  ASIOInputMonitor monitor = {5, 3, 0x20000000, ASIOTrue, 0x7F};
  const struct {
    const char* name;
    uint32_t request;
    std::function<ASIOError(IASIO*)> call;
  } cases[] = {
      {"setClockSource", kAsioSetClockSource, [](IASIO* d) { return d->setClockSource(1); }},
      {"setSampleRate's clock state", kAsioGetClockState, [](IASIO* d) { return d->setSampleRate(48000.0); }},
      {"setSampleRate's rate", kAsioSetSampleRate, [](IASIO* d) { return d->setSampleRate(48000.0); }},
      {"getClockSources", kAsioGetClockState,
       [&](IASIO* d) {
         ASIOLong n = 4;
         return d->getClockSources(clocks, &n);
       }},
      {"input monitor", QX531RequestNumber(IOCTL_QX531_SET_INPUT_MONITOR),
       [&](IASIO* d) { return d->future(kAsioSetInputMonitor, &monitor); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    m->ClearLog(main);
    Fail(c.request);
    EXPECT_EQ(Call<ASIOError>(c.call), ASE_HWMalfunction);
    EXPECT_EQ(Sent(c.request).size(), 1u);
  }
  m->Unplug(main);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Call<ASIOError>(c.call), ASE_NotPresent);
  }
  ASIOLong sizes[4] = {};
  EXPECT_EQ(Call<ASIOError>([&](IASIO* d) { return d->getBufferSize(&sizes[0], &sizes[1], &sizes[2], &sizes[3]); }),
            ASE_NotPresent);
  EXPECT_EQ(ErrorText(), "Couldn't locate QX-531 driver");
}

TEST_F(AsioOperations, OutputReadyAnswersOkUnlessTheUnitHasGone) {
  LoadHost(true);
  const struct {
    const char* name;
    bool unplug;
    ASIOError result;
  } cases[] = {{"failed request", false, ASE_OK}, {"unit gone", true, ASE_NotPresent}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.unplug) m->Unplug(main);
    Fail(kAsioOutputReady);
    EXPECT_EQ(Call<ASIOError>([](IASIO* d) { return d->outputReady(); }), c.result);
  }
}

TEST_F(AsioOperations, TheControlPanelIsOpenedThroughTheShellWithTheAppletInTheSystemDirectory) {
  plat::win32::ClearShellExecuteRequests();
  LoadHost();
  int handle = 0;
  Run([&] {
    host->Driver()->init(&handle);
    EXPECT_EQ(host->Driver()->controlPanel(), ASE_OK);
  });
  const std::vector<plat::win32::ShellExecuteRequest> opened = plat::win32::ShellExecuteRequests();
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0].processId, program->Id());
  EXPECT_EQ(opened[0].window, &handle);
  EXPECT_EQ(opened[0].verb, "open");
  EXPECT_EQ(opened[0].file, "rundll32.exe");
  EXPECT_EQ(opened[0].parameters, "shell32.dll,Control_RunDLL C:\\Windows\\system32\\Qx5310cp.cpl");
  EXPECT_FALSE(opened[0].hasDirectory);
  EXPECT_EQ(opened[0].show, SW_SHOWNORMAL);
}

TEST_F(AsioOperations, DisposeStopsARunningStreamAndTheDestructorClosesEverything) {
  LoadHost(true);
  ASSERT_EQ(HostStart(), ASE_OK);
  EXPECT_EQ(HostDispose(), ASE_OK);
  const std::vector<scripted::LogEntry> log = m->Log(main);
  std::vector<uint32_t> order;
  for (const scripted::LogEntry& e : log)
    if (e.request >= kAsioStart && e.request <= kAsioClose) order.push_back(e.request);
  EXPECT_EQ(order, (std::vector<uint32_t>{kAsioCreateBuffers, kAsioStart, kAsioStop, kAsioDisposeBuffers}));
  EXPECT_NE(program->DebugOutput().find("Exiting myThread"), std::string::npos);

  ASSERT_EQ(CreateFor({0}, {0}), ASE_OK);
  ASSERT_EQ(HostStart(), ASE_OK);
  m->ClearLog(main);
  const ctest::Machine::Unit unit = main;
  const uint32_t opensBefore = m->State(unit).closes;
  Run([&] { host.reset(); });
  order.clear();
  for (const scripted::LogEntry& e : m->Log(main)) order.push_back(e.request);
  EXPECT_EQ(order, (std::vector<uint32_t>{kAsioStop, kAsioDisposeBuffers, kAsioClose}));
  EXPECT_EQ(m->State(unit).closes, opensBefore + 1) << "the unit's handle was closed";
}

}  // namespace
}  // namespace asiotest
