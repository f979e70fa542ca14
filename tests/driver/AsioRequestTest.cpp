// The ASIO host's requests 256-266 from 32-bit and 64-bit processes, as tables: lengths, layouts,
// refused records, the event handle's checks, the session belonging to the file object that
// created its buffers, and a session that ends with its handle or its process leaving nothing
// mapped, referenced or allocated.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "driver/AsioRequests.h"
#include "driver/QX531PnpDevice.h"
#include "platform/kernel/ObjectManager.h"
#include "platform/kernel/Pool.h"
#include "platform/kernel/Process.h"
#include "platform/kernel/RegistryHive.h"
#include "sim/units/MainUnit.h"
#include "sim/host/AsioHost.h"
#include "tests/driver/DriverRig.h"
#include "sim/host/UserClient.h"

namespace {

using host::AsioHost;
using drvtest::DriverRig;
using host::Reply;
using host::Words;

constexpr ULONG kWdmTag = plat::PoolTag("Wdm ");

std::vector<uint32_t> AllChannels() {
  std::vector<uint32_t> all;
  for (uint32_t c = 0; c < kAsioChannels; ++c) all.push_back(c);
  return all;
}

size_t Mappings() { return plat::CurrentProcess()->Mappings().size(); }

// References to the object a handle of the calling process names.
LONG ReferencesOf(void* handle) {
  PVOID object = nullptr;
  if (!NT_SUCCESS(plat::CurrentProcess()->Handles().Reference(handle, nullptr, 0, false, &object))) return -1;
  const LONG references = plat::ObReferenceCount(object) - 1;
  ObDereferenceObject(object);
  return references;
}

// The address a reply of a caller of `bits` bits starts with.
uint64_t AddressIn(const Reply& reply, unsigned bits) {
  uint64_t address = 0;
  std::memcpy(&address, reply.output.data(), bits == 32 ? 4 : 8);
  return address;
}

size_t WdmAllocations() {
  for (const plat::PoolUse& use : plat::PoolLedger::Outstanding())
    if (use.tag == kWdmTag && !use.paged) return use.allocations;
  return 0;
}

class AsioRequests : public testing::TestWithParam<unsigned> {
 protected:
  void SetUp() override {
    rig.Plug(unit);
    rig.Quiesce();
    device = rig.DeviceOf(unit);
    ASSERT_NE(device, nullptr);
  }

  unsigned Bits() const { return GetParam(); }

  // Runs `body` with a host of the test's width in a process of its own; its result is the exit code.
  uint32_t Host(const std::function<uint32_t(AsioHost&)>& body) {
    return rig.RunProgram(Bits(), [&]() -> uint32_t {
      AsioHost host(Bits());
      if (!host.IsOpen()) return 100;
      return body(host);
    });
  }

  DriverRig rig;
  sim::MainUnit unit;
  QX531PnpDevice* device = nullptr;
};

TEST_P(AsioRequests, CapabilitiesAnswerTheMagicTheFramesAndEighteenEachWayWhateverTheInput) {
  struct Case {
    const char* what;
    std::vector<uint8_t> input;
    uint32_t outputLength;
    bool ok;
  };
  const std::vector<Case> cases = {
      {"no input, no room", {}, 0, false},
      {"one byte short", Words({24}), 19, false},
      {"the host's word 24", Words({24}), 20, true},
      {"another word", Words({16}), 20, true},
      {"a long input and room to spare", std::vector<uint8_t>(300, 0xAB), 64, true},
  };
  std::vector<Reply> replies;
  ASSERT_EQ(Host([&](AsioHost& host) -> uint32_t {
              for (const Case& c : cases) replies.push_back(host.Send(IOCTL_QX531_ASIO_GET_CAPS, c.input, c.outputLength));
              return 0;
            }),
            0u);
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].what);
    EXPECT_EQ(replies[i].ok, cases[i].ok);
    if (!cases[i].ok) {
      EXPECT_EQ(replies[i].bytes, 0u);
      continue;
    }
    EXPECT_EQ(replies[i].bytes, sizeof(AsioCapsReply));
    EXPECT_EQ(replies[i].Word(0), 397411u);
    EXPECT_EQ(replies[i].Word(1), device->BufferFrames());
    EXPECT_EQ(replies[i].Word(2), 18u);
    EXPECT_EQ(replies[i].Word(3), 18u);
    EXPECT_EQ(replies[i].Word(4), 24u);
  }
}

struct CreateCase {
  const char* what;
  uint32_t sampleBits;
  uint32_t frames;
  std::vector<uint32_t> records;
  std::vector<uint32_t> playbacks;
  int inputTrim;   // bytes taken off the record's length
  int outputTrim;  // bytes taken off the reply's length
  bool ok;
};

TEST_P(AsioRequests, BufferCreationChecksItsRecordAndMapsOnlyWhatItAccepts) {
  const std::vector<CreateCase> cases = {
      {"all 18 by 18", 24, 256, AllChannels(), AllChannels(), 0, 0, true},
      {"no channels: the cell alone", 24, 256, {}, {}, 0, 0, true},
      {"a whole half of 32-bit samples", 32, 2048, {0}, {0}, 0, 0, true},
      {"a whole half of 16-bit samples", 16, 4096, {3}, {4}, 0, 0, true},
      {"one frame beyond a half", 24, 2049, {0}, {0}, 0, 0, false},
      {"one 16-bit frame beyond a half", 16, 4097, {0}, {0}, 0, 0, false},
      {"no frames", 24, 0, {0}, {0}, 0, 0, false},
      {"frames whose bytes wrap", 24, 0x40000001, {0}, {0}, 0, 0, false},
      {"19 record channels", 24, 256, [] { auto v = AllChannels(); v.push_back(0); return v; }(), {}, 0, 0, false},
      {"19 playback channels", 24, 256, {}, [] { auto v = AllChannels(); v.push_back(0); return v; }(), 0, 0, false},
      {"record channel 18", 24, 256, {0, 18}, {0}, 0, 0, false},
      {"playback channel 18", 24, 256, {0}, {18}, 0, 0, false},
      {"a channel far out", 24, 256, {0xFFFFFFFF}, {}, 0, 0, false},
      {"the record one byte short", 24, 256, {0}, {0}, 1, 0, false},
      {"the reply one byte short", 24, 256, {0}, {0}, 0, 1, false},
  };
  for (const CreateCase& c : cases) {
    SCOPED_TRACE(c.what);
    const size_t poolBefore = WdmAllocations();
    Reply reply;
    size_t mapped = 0, afterDispose = 0;
    std::vector<size_t> lengths;
    ASSERT_EQ(Host([&](AsioHost& host) -> uint32_t {
                std::vector<uint8_t> in = host::CreateBuffersInput(Bits(), c.sampleBits, c.frames, c.records, c.playbacks);
                in.resize(in.size() - c.inputTrim);
                reply = host.Send(IOCTL_QX531_ASIO_CREATE_BUFFERS, in, host::CreateBuffersReplyBytes(Bits()) - c.outputTrim);
                mapped = Mappings();
                for (const plat::UserMapping& m : plat::CurrentProcess()->Mappings()) lengths.push_back(m.length);
                if (!host.Dispose()) return 1;
                afterDispose = Mappings();
                return 0;
              }),
              0u);
    EXPECT_EQ(reply.ok, c.ok);
    EXPECT_EQ(afterDispose, 0u);
    EXPECT_EQ(WdmAllocations(), poolBefore) << "the cell and the descriptions are given back";
    if (!c.ok) {
      EXPECT_EQ(reply.bytes, 0u);
      EXPECT_EQ(mapped, 0u) << "a refused creation maps nothing";
      continue;
    }
    EXPECT_EQ(reply.bytes, host::CreateBuffersReplyBytes(Bits()));
    EXPECT_EQ(mapped, 1 + 2 * (c.records.size() + c.playbacks.size()));
    // The cell's page, and for each half the pages its bytes touch.
    ASSERT_FALSE(lengths.empty());
    EXPECT_EQ(lengths.front(), PAGE_SIZE);
    for (size_t i = 1; i < lengths.size(); ++i) EXPECT_LE(lengths[i], kAsioHalfBytes + PAGE_SIZE);
  }
}

TEST_P(AsioRequests, ABufferCreationThatRunsOutOfPoolAnywhereLeavesNothingMappedOrAllocated) {
  const size_t poolBefore = WdmAllocations();
  size_t refused = 0;
  for (size_t n = 1; n <= 12; ++n) {
    SCOPED_TRACE(testing::Message() << "allocation " << n << " fails");
    bool ok = false;
    size_t mapped = 0;
    ASSERT_EQ(Host([&](AsioHost& host) -> uint32_t {
                plat::PoolLedger::FailNth(n);
                ok = host.CreateBuffers({0, 1, 2}, {3, 4}, 256);
                plat::PoolLedger::ClearFailures();
                mapped = Mappings();
                if (ok && !host.Dispose()) return 1;
                return 0;
              }),
              0u);
    EXPECT_EQ(mapped, ok ? 11u : 0u);
    EXPECT_EQ(WdmAllocations(), poolBefore);
    refused += ok ? 0 : 1;
  }
  EXPECT_GT(refused, 0u);
}

TEST_P(AsioRequests, TheReplyHoldsBothHalvesOfEachEntryAtTheCallersOffsets) {
  Reply reply;
  ASSERT_EQ(Host([&](AsioHost& host) -> uint32_t {
              reply = host.Send(IOCTL_QX531_ASIO_CREATE_BUFFERS,
                                host::CreateBuffersInput(Bits(), 24, 64, {0, 1}, {5, 17}),
                                host::CreateBuffersReplyBytes(Bits()));
              return host.Dispose() ? 0 : 1;
            }),
            0u);
  ASSERT_TRUE(reply.ok);
  const size_t width = Bits() == 32 ? 4 : 8;
  ASSERT_EQ(reply.bytes, Bits() == 32 ? 544u : 1088u);
  const std::set<size_t> filled = {0, 1, 2, 3, 68, 69, 70, 71};
  std::set<uint64_t> addresses;
  for (size_t i = 0; i < reply.bytes / width; ++i) {
    uint64_t address = 0;
    std::memcpy(&address, reply.output.data() + i * width, width);
    SCOPED_TRACE(i);
    if (!filled.count(i)) {
      EXPECT_EQ(address, 0u);
      continue;
    }
    EXPECT_NE(address, 0u);
    if (Bits() == 32) {
      EXPECT_LT(address, uint64_t{1} << 32);
    }
    addresses.insert(address);
  }
  EXPECT_EQ(addresses.size(), filled.size()) << "every half is a mapping of its own";
}

TEST_P(AsioRequests, StartTakesOnlyAnEventHandleOfTheCallerAndNeedsBuffers) {
  struct Case {
    const char* what;
    int handle;  // 0 the host's event, 1 a mutex, 2 the unit's file, 3 a value no handle has, 4 none
    bool buffers;
    int inputTrim;
    int outputTrim;
    bool ok;
  };
  const std::vector<Case> cases = {
      {"the host's event", 0, true, 0, 0, true},
      {"no buffers", 0, false, 0, 0, false},
      {"a mutex", 1, true, 0, 0, false},
      {"the unit's own file", 2, true, 0, 0, false},
      {"a value that is no handle", 3, true, 0, 0, false},
      {"a null handle", 4, true, 0, 0, false},
      {"the handle one byte short", 0, true, 1, 0, false},
      {"the reply one byte short", 0, true, 0, 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Reply reply;
    bool active = false;
    uint8_t cell = 0xFF;
    ASSERT_EQ(Host([&](AsioHost& host) -> uint32_t {
                if (c.buffers && !host.CreateBuffers({0}, {0}, 256)) return 1;
                void* handles[] = {host::NewEventHandle(), host::NewMutexHandle(), host.Device(),
                                   reinterpret_cast<void*>(uintptr_t{0x7F0}), nullptr};
                std::vector<uint8_t> in = host::StartInput(Bits(), handles[c.handle]);
                in.resize(in.size() - c.inputTrim);
                reply = host.Send(IOCTL_QX531_ASIO_START, in, host::StartReplyBytes(Bits()) - c.outputTrim);
                active = device->AsioActive();
                if (reply.ok) cell = *reinterpret_cast<volatile uint8_t*>(AddressIn(reply, Bits()));
                host.Stop();
                host.Dispose();
                host::CloseUserHandle(handles[0]);
                host::CloseUserHandle(handles[1]);
                return 0;
              }),
              0u);
    EXPECT_EQ(reply.ok, c.ok);
    EXPECT_EQ(active, c.ok);
    EXPECT_EQ(reply.bytes, c.ok ? host::StartReplyBytes(Bits()) : 0u);
    if (c.ok) {
      EXPECT_EQ(cell, 0u) << "the reply is the cell's address in the host";
    }
  }
}

TEST_P(AsioRequests, AStartLetsGoOfTheEventOfTheStartBeforeAndStopOfItsOwn) {
  LONG first = 0, second = 0, firstAfterRestart = 0, secondAfterStop = 0;
  ASSERT_EQ(Host([&](AsioHost& host) -> uint32_t {
              if (!host.CreateBuffers({0}, {0}, 256)) return 1;
              void* a = host::NewEventHandle();
              void* b = host::NewEventHandle();
              if (!host.Send(IOCTL_QX531_ASIO_START, host::StartInput(Bits(), a), 8).ok) return 2;
              first = ReferencesOf(a);
              if (!host.Send(IOCTL_QX531_ASIO_START, host::StartInput(Bits(), b), 8).ok) return 3;
              firstAfterRestart = ReferencesOf(a);
              second = ReferencesOf(b);
              if (!host.Stop()) return 4;
              secondAfterStop = ReferencesOf(b);
              host.Dispose();
              host::CloseUserHandle(a);
              host::CloseUserHandle(b);
              return 0;
            }),
            0u);
  EXPECT_EQ(first, 2) << "the handle's and the driver's";
  EXPECT_EQ(firstAfterRestart, 1);
  EXPECT_EQ(second, 2);
  EXPECT_EQ(secondAfterStop, 1);
  EXPECT_FALSE(device->AsioActive());
}

// What of the session another file object's request could disturb.
struct SessionFlags {
  UCHAR firstBuffer;
  LONG resetRequest;
  uint32_t sampleRate;
  bool operator==(const SessionFlags&) const = default;
  friend void PrintTo(const SessionFlags& f, std::ostream* os) {
    *os << "first-buffer " << int{f.firstBuffer} << ", reset request " << f.resetRequest << ", rate " << f.sampleRate;
  }
};

TEST_P(AsioRequests, TheSessionBelongsToTheFileObjectThatCreatedItsBuffers) {
  struct Step {
    const char* what;
    uint32_t code;
    bool fromOwner;
    bool ok;
    uint32_t error;  // when refused
  };
  constexpr uint32_t kBusy = 170;  // STATUS_DEVICE_BUSY as the caller sees it
  constexpr uint32_t kRefused = 87;
  // The owner has buffers, is started, has had its first output ready and has a reset request
  // waiting; a second handle of the same process tries everything. Nothing it may do touches the
  // owner's flags, clock or rate.
  const std::vector<Step> steps = {
      {"caps from the other", IOCTL_QX531_ASIO_GET_CAPS, false, true, 0},
      {"create from the other", IOCTL_QX531_ASIO_CREATE_BUFFERS, false, false, kRefused},
      {"start from the other", IOCTL_QX531_ASIO_START, false, false, kRefused},
      {"output ready from the other", IOCTL_QX531_ASIO_OUTPUT_READY, false, false, kRefused},
      {"stop from the other", IOCTL_QX531_ASIO_STOP, false, false, kRefused},
      {"dispose from the other", IOCTL_QX531_ASIO_DISPOSE_BUFFERS, false, false, kRefused},
      {"clock source from the other", IOCTL_QX531_ASIO_SET_CLOCK_SOURCE, false, false, kBusy},
      {"sample rate from the other", IOCTL_QX531_ASIO_SET_SAMPLE_RATE, false, false, kBusy},
      {"clock state from the other", IOCTL_QX531_ASIO_GET_CLOCK_STATE, false, true, 0},
      {"info from the other", IOCTL_QX531_ASIO_GET_INFO, false, true, 0},
      {"close from the other", IOCTL_QX531_ASIO_CLOSE, false, true, 0},
      {"clock state from the owner", IOCTL_QX531_ASIO_GET_CLOCK_STATE, true, true, 0},
      {"output ready from the owner", IOCTL_QX531_ASIO_OUTPUT_READY, true, true, 0},
      {"stop from the owner", IOCTL_QX531_ASIO_STOP, true, true, 0},
      {"dispose from the owner", IOCTL_QX531_ASIO_DISPOSE_BUFFERS, true, true, 0},
      {"create from the other once the owner disposed", IOCTL_QX531_ASIO_CREATE_BUFFERS, false, true, 0},
      {"create from the first, now not the owner", IOCTL_QX531_ASIO_CREATE_BUFFERS, true, false, kRefused},
  };
  AsioClientState& asio = device->AsioState();
  const auto flags = [&] { return SessionFlags{asio.mFirstBuffer, asio.mResetRequest, device->SampleRate()}; };
  const uint32_t otherRate = device->SampleRate() == 96000 ? 48000 : 96000;
  std::vector<Reply> replies;
  std::vector<SessionFlags> before, after;
  Reply ownerClock;
  ASSERT_EQ(Host([&](AsioHost& owner) -> uint32_t {
              AsioHost other(Bits());
              if (!other.IsOpen() || !owner.CreateBuffers({0, 1}, {0, 1}, 128) || !owner.Start()) return 1;
              if (!owner.OutputReady()) return 2;
              ownerClock = owner.Send(IOCTL_QX531_ASIO_GET_CLOCK_STATE, {}, 12);
              asio.mResetRequest = 1;
              void* event = host::NewEventHandle();
              for (const Step& s : steps) {
                AsioHost& from = s.fromOwner ? owner : other;
                std::vector<uint8_t> in;
                uint32_t out = 32;
                if (s.code == IOCTL_QX531_ASIO_CREATE_BUFFERS) {
                  in = host::CreateBuffersInput(Bits(), 24, 128, {2}, {2});
                  out = host::CreateBuffersReplyBytes(Bits());
                } else if (s.code == IOCTL_QX531_ASIO_START) {
                  in = host::StartInput(Bits(), event);
                } else if (s.code == IOCTL_QX531_ASIO_SET_CLOCK_SOURCE) {
                  in = Words({ownerClock.Word(0) == 2 ? 3u : 2u});
                } else if (s.code == IOCTL_QX531_ASIO_SET_SAMPLE_RATE) {
                  in = Words({otherRate});
                }
                before.push_back(flags());
                replies.push_back(from.Send(s.code, in, out));
                after.push_back(flags());
              }
              other.Dispose();
              host::CloseUserHandle(event);
              return 0;
            }),
            0u);
  ASSERT_EQ(replies.size(), steps.size());
  for (size_t i = 0; i < steps.size(); ++i) {
    SCOPED_TRACE(steps[i].what);
    EXPECT_EQ(replies[i].ok, steps[i].ok);
    EXPECT_EQ(replies[i].error, steps[i].error);
    if (steps[i].code == IOCTL_QX531_ASIO_GET_CLOCK_STATE) {
      EXPECT_EQ(replies[i].Word(0), ownerClock.Word(0)) << "the owner's clock";
      EXPECT_EQ(replies[i].Word(1), ownerClock.Word(1)) << "the owner's rate";
      EXPECT_EQ(replies[i].Word(2), steps[i].fromOwner ? 1u : 0u) << "the reset request is told to its owner";
    }
    if (steps[i].fromOwner || i + 2 >= steps.size()) continue;
    EXPECT_EQ(after[i], before[i]) << "the owner's first-buffer, reset request and rate are left as they were";
  }
  EXPECT_EQ(before.front().firstBuffer, 0) << "the owner's first output ready has cleared it";
  EXPECT_EQ(before.front().resetRequest, 1);
}

TEST_P(AsioRequests, ClosingTheOwnersHandleEndsTheSessionAsStopAndDisposeWould) {
  const size_t poolBefore = WdmAllocations();
  size_t mappedBefore = 0, mappedAfter = 0;
  LONG eventReferences = 0;
  bool activeAfter = true;
  ASSERT_EQ(rig.RunProgram(Bits(), [&]() -> uint32_t {
              void* event = nullptr;
              {
                AsioHost host(Bits());
                if (!host.CreateBuffers(AllChannels(), AllChannels(), 256) || !host.Start()) return 1;
                mappedBefore = Mappings();
                event = host::NewEventHandle();
                // The host's own event goes with the host; this one names the same kind of object
                // and shows the driver's reference count on what it was given.
                if (!host.Send(IOCTL_QX531_ASIO_START, host::StartInput(Bits(), event), 8).ok) return 2;
              }
              mappedAfter = Mappings();
              eventReferences = ReferencesOf(event);
              activeAfter = device->AsioActive();
              host::CloseUserHandle(event);
              return 0;
            }),
            0u);
  EXPECT_EQ(mappedBefore, 1u + 2 * 36);
  EXPECT_EQ(mappedAfter, 0u);
  EXPECT_EQ(eventReferences, 1);
  EXPECT_FALSE(activeAfter);
  EXPECT_EQ(WdmAllocations(), poolBefore);
}

TEST_P(AsioRequests, AHostKilledMidSessionLeavesNothingAndTheNextHostIsServed) {
  const size_t poolBefore = WdmAllocations();
  volatile bool started = false;
  plat::Process* first = plat::StartProcess("host.exe", Bits(), [&]() -> ULONG {
    AsioHost host(Bits());
    if (!host.CreateBuffers(AllChannels(), AllChannels(), 256) || !host.Start()) return 1;
    started = true;
    for (;;) host.WaitForHalf(1000);
  });
  ASSERT_TRUE(rig.sched.RunUntil([&] { return started; }, rig.sched.Now() + plat::kNsPerSecond));
  // While the first lives, a second process is refused the session.
  EXPECT_EQ(Host([](AsioHost& host) -> uint32_t { return host.CreateBuffers({0}, {0}, 256) ? 0 : 1; }), 1u);
  plat::KillProcess(first);
  // Its end would report a mapping left behind.
  plat::WaitProcess(first);
  EXPECT_TRUE(first->Fault().empty()) << first->Fault();
  plat::ReleaseProcess(first);
  EXPECT_FALSE(device->AsioActive());
  EXPECT_EQ(WdmAllocations(), poolBefore);
  EXPECT_EQ(Host([](AsioHost& host) -> uint32_t {
              return host.CreateBuffers({0}, {0}, 256) && host.Start() && host.Stop() && host.Dispose() ? 0 : 1;
            }),
            0u);
}

TEST_P(AsioRequests, DisposeWhileStartedStopsFirst) {
  bool activeAfter = true;
  size_t mappedAfter = 1;
  ASSERT_EQ(Host([&](AsioHost& host) -> uint32_t {
              if (!host.CreateBuffers({0}, {0}, 256) || !host.Start()) return 1;
              if (!host.Dispose()) return 2;
              activeAfter = device->AsioActive();
              mappedAfter = Mappings();
              return host.Start() ? 3 : 0;
            }),
            0u);
  EXPECT_FALSE(activeAfter);
  EXPECT_EQ(mappedAfter, 0u);
}

TEST_P(AsioRequests, ClockSourceTakesCodesOneToFourFromExactlyFourBytes) {
  struct Case {
    const char* what;
    std::vector<uint8_t> input;
    bool ok;
    uint32_t source;  // what the clock state reports afterwards
  };
  const std::vector<Case> cases = {
      {"word clock", Words({2}), true, 2},    {"ADAT", Words({4}), true, 4},
      {"S/PDIF", Words({3}), true, 3},        {"code 0", Words({0}), false, 3},
      {"code 5", Words({5}), false, 3},       {"three bytes: nothing", {1, 0, 0}, true, 3},
      {"eight bytes: nothing", Words({1, 1}), true, 3}, {"internal", Words({1}), true, 1},
  };
  std::vector<Reply> replies, states;
  ASSERT_EQ(Host([&](AsioHost& host) -> uint32_t {
              for (const Case& c : cases) {
                replies.push_back(host.Send(IOCTL_QX531_ASIO_SET_CLOCK_SOURCE, c.input, 0));
                states.push_back(host.Send(IOCTL_QX531_ASIO_GET_CLOCK_STATE, {}, 12));
              }
              return 0;
            }),
            0u);
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].what);
    EXPECT_EQ(replies[i].ok, cases[i].ok);
    EXPECT_EQ(states[i].Word(0), cases[i].source);
  }
}

TEST_P(AsioRequests, SampleRateTakesTheFourRatesAndKeepsThemInTheServiceParameters) {
  const std::u16string parameters = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\qx5310\\Parameters";
  struct Case {
    const char* what;
    std::vector<uint8_t> input;
    bool ok;
    uint32_t rate;  // the clock state's and the registry's afterwards
  };
  const std::vector<Case> cases = {
      {"48000", Words({48000}), true, 48000},  {"88200", Words({88200}), true, 88200},
      {"96000", Words({96000}), true, 96000},  {"44101", Words({44101}), false, 96000},
      {"0", Words({0}), false, 96000},         {"two bytes: nothing", {0x44, 0xAC}, true, 96000},
      {"44100", Words({44100}), true, 44100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Reply reply, state;
    ASSERT_EQ(Host([&](AsioHost& host) -> uint32_t {
                reply = host.Send(IOCTL_QX531_ASIO_SET_SAMPLE_RATE, c.input, 0);
                state = host.Send(IOCTL_QX531_ASIO_GET_CLOCK_STATE, {}, 12);
                return 0;
              }),
              0u);
    EXPECT_EQ(reply.ok, c.ok);
    EXPECT_EQ(state.Word(1), c.rate);
    plat::RegistryValue value;
    ASSERT_EQ(plat::RegistryHive::QueryValue(parameters, u"SampleRate", &value), STATUS_SUCCESS);
    ASSERT_EQ(value.type, static_cast<ULONG>(REG_DWORD));
    uint32_t stored = 0;
    std::memcpy(&stored, value.data.data(), sizeof stored);
    EXPECT_EQ(stored, c.rate);
  }
}

TEST_P(AsioRequests, ClockStateAndInfoNeedRoomForTheirReplies) {
  struct Case {
    const char* what;
    uint32_t code;
    uint32_t outputLength;
    bool ok;
    uint32_t bytes;
  };
  const std::vector<Case> cases = {
      {"clock state in 11 bytes", IOCTL_QX531_ASIO_GET_CLOCK_STATE, 11, false, 0},
      {"clock state in 8 bytes", IOCTL_QX531_ASIO_GET_CLOCK_STATE, 8, false, 0},
      {"clock state in 12 bytes", IOCTL_QX531_ASIO_GET_CLOCK_STATE, 12, true, 12},
      {"info in 15 bytes", IOCTL_QX531_ASIO_GET_INFO, 15, false, 0},
      {"info in 16 bytes", IOCTL_QX531_ASIO_GET_INFO, 16, true, 16},
      {"info in 40 bytes", IOCTL_QX531_ASIO_GET_INFO, 40, true, 16},
      {"close", IOCTL_QX531_ASIO_CLOSE, 0, true, 0},
  };
  std::vector<Reply> replies;
  ASSERT_EQ(Host([&](AsioHost& host) -> uint32_t {
              for (const Case& c : cases) replies.push_back(host.Send(c.code, {}, c.outputLength));
              return 0;
            }),
            0u);
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].what);
    EXPECT_EQ(replies[i].ok, cases[i].ok);
    EXPECT_EQ(replies[i].bytes, cases[i].bytes);
    if (cases[i].ok && cases[i].code == IOCTL_QX531_ASIO_GET_INFO) {
      EXPECT_EQ(replies[i].Word(0), 102u);
      EXPECT_EQ(replies[i].Word(1), 103u);
      EXPECT_EQ(replies[i].Word(2), 44u);
      EXPECT_EQ(replies[i].Word(3), 44u);
    }
    if (cases[i].ok && cases[i].code == IOCTL_QX531_ASIO_GET_CLOCK_STATE) {
      EXPECT_EQ(replies[i].Word(1), device->SampleRate());
      EXPECT_EQ(replies[i].Word(2), 0u);
    }
  }
}

TEST_P(AsioRequests, TheResetRequestIsReportedOnceAndKeptWhenTheReplyHasNoRoom) {
  struct Case {
    const char* what;
    uint32_t code;
    uint32_t outputLength;
    bool ok;
    uint32_t reported;  // the clock state's reset word
    LONG left;          // the request afterwards
  };
  const std::vector<Case> cases = {
      {"clock state in 8 bytes", IOCTL_QX531_ASIO_GET_CLOCK_STATE, 8, false, 0, 1},
      {"clock state in 12 bytes", IOCTL_QX531_ASIO_GET_CLOCK_STATE, 12, true, 1, 0},
      {"info in 15 bytes", IOCTL_QX531_ASIO_GET_INFO, 15, false, 0, 1},
      {"info in 16 bytes", IOCTL_QX531_ASIO_GET_INFO, 16, true, 0, 0},
  };
  AsioClientState& asio = device->AsioState();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    asio.mResetRequest = 1;
    Reply reply;
    ASSERT_EQ(Host([&](AsioHost& host) -> uint32_t {
                reply = host.Send(c.code, {}, c.outputLength);
                return 0;
              }),
              0u);
    EXPECT_EQ(reply.ok, c.ok);
    if (c.ok && c.code == IOCTL_QX531_ASIO_GET_CLOCK_STATE) {
      EXPECT_EQ(reply.Word(2), c.reported);
    }
    EXPECT_EQ(asio.mResetRequest, c.left);
  }
  asio.mResetRequest = 0;
}

// The owner's handle duplicated into another process: the owner closes its own, the other closes
// the last, and its CLEANUP undoes the mappings in the owner's process, which lives on.
TEST_P(AsioRequests, TheLastHandleClosedInAnotherProcessUndoesTheMappingsInTheOwners) {
  const size_t poolBefore = WdmAllocations();
  volatile int phase = 0;
  plat::Process* owner = nullptr;
  void* ownerHandle = nullptr;
  size_t mappedBefore = 0, mappedAfter = 1;
  bool activeWhileDuplicated = false;
  // Each side waits for the other's step, for at most ten virtual seconds.
  const auto reach = [&](int step) {
    for (int i = 0; phase != step; ++i) {
      if (i == 2000) return false;
      host::Pause(5);
    }
    return true;
  };
  owner = plat::StartProcess("host.exe", Bits(), [&]() -> ULONG {
    {
      AsioHost host(Bits());
      if (!host.CreateBuffers(AllChannels(), AllChannels(), 256) || !host.Start()) return 1;
      mappedBefore = Mappings();
      ownerHandle = host.Device();
      phase = 1;
      if (!reach(2)) return 2;
    }
    activeWhileDuplicated = device->AsioActive();
    phase = 3;
    if (!reach(4)) return 3;
    mappedAfter = Mappings();
    return 0;
  });
  plat::Process* other = plat::StartProcess("other.exe", Bits(), [&]() -> ULONG {
    if (!reach(1)) return 1;
    // DuplicateHandle's work: the owner's file object gets a handle here, for reading and writing.
    constexpr ACCESS_MASK kReadWriteData = 0x1 | 0x2;
    PVOID file = nullptr;
    if (!NT_SUCCESS(owner->Handles().Reference(ownerHandle, nullptr, 0, false, &file))) return 2;
    void* handle = plat::CurrentProcess()->Handles().Insert(file, kReadWriteData);
    phase = 2;
    if (!reach(3)) return 3;
    host::CloseUserHandle(handle);
    phase = 4;
    return 0;
  });
  plat::WaitProcess(other);
  EXPECT_EQ(other->ExitCode(), 0u);
  plat::ReleaseProcess(other);
  plat::WaitProcess(owner);
  EXPECT_EQ(owner->ExitCode(), 0u);
  plat::ReleaseProcess(owner);
  EXPECT_EQ(mappedBefore, 1u + 2 * 36);
  EXPECT_TRUE(activeWhileDuplicated) << "the session lasts while a handle of its file object does";
  EXPECT_EQ(mappedAfter, 0u);
  EXPECT_FALSE(device->AsioActive());
  EXPECT_EQ(WdmAllocations(), poolBefore);
}

INSTANTIATE_TEST_SUITE_P(Callers, AsioRequests, testing::Values(32u, 64u),
                         [](const testing::TestParamInfo<unsigned>& info) {
                           return std::to_string(info.param) + "BitHost";
                         });

}  // namespace
