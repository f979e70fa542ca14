#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "platform/kernel/Scheduler.h"

namespace {

using plat::Scheduler;
using Trace = Scheduler::Trace;

uint64_t HashOf(const std::function<void(Scheduler&)>& records) {
  Scheduler s;
  records(s);
  return s.TraceHash();
}

uint64_t HashOfBytes(const std::vector<uint8_t>& bytes) {
  return HashOf([&](Scheduler& s) { s.RecordBytes(Trace::IsoPacket, bytes); });
}

std::vector<uint8_t> Pattern(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 37 + 11);
  return bytes;
}

// Lengths around every word, lane and round boundary, short async payloads, and the 96 kHz record
// and playback packets.
constexpr size_t kLengths[] = {1, 4, 7, 8, 9, 12, 15, 16, 17, 31, 33, 63, 64, 65, 127, 128, 129, 648, 872};

TEST(TraceHash, OneRecordTwiceGivesOneHash) {
  for (const size_t length : kLengths) EXPECT_EQ(HashOfBytes(Pattern(length)), HashOfBytes(Pattern(length))) << length;
}

TEST(TraceHash, EveryChangedPayloadByteChangesIt) {
  for (const size_t length : kLengths) {
    const std::vector<uint8_t> base = Pattern(length);
    const uint64_t hash = HashOfBytes(base);
    for (size_t at = 0; at < length; ++at) {
      for (const uint8_t flip : {0x01, 0x80, 0xFF}) {
        std::vector<uint8_t> changed = base;
        changed[at] ^= flip;
        EXPECT_NE(HashOfBytes(changed), hash) << length << " bytes, byte " << at << " ^ " << int{flip};
      }
    }
  }
}

TEST(TraceHash, ATrailingZeroByteChangesIt) {
  for (const size_t length : kLengths) {
    std::vector<uint8_t> longer = Pattern(length);
    longer.push_back(0);
    EXPECT_NE(HashOfBytes(longer), HashOfBytes(Pattern(length))) << length;
  }
  EXPECT_NE(HashOfBytes({0}), HashOfBytes({}));
}

TEST(TraceHash, OrderMatters) {
  const std::vector<uint8_t> first = Pattern(20), second = Pattern(30);
  struct Case {
    const char* what;
    std::function<void(Scheduler&)> one, other;
  };
  const Case cases[] = {
      {"two packets",
       [&](Scheduler& s) {
         s.RecordBytes(Trace::IsoPacket, first);
         s.RecordBytes(Trace::IsoPacket, second);
       },
       [&](Scheduler& s) {
         s.RecordBytes(Trace::IsoPacket, second);
         s.RecordBytes(Trace::IsoPacket, first);
       }},
      {"two records",
       [](Scheduler& s) {
         s.Record(Trace::IrpDispatch, 1, 2);
         s.Record(Trace::IrpComplete, 3, 4);
       },
       [](Scheduler& s) {
         s.Record(Trace::IrpComplete, 3, 4);
         s.Record(Trace::IrpDispatch, 1, 2);
       }},
      {"the two words of a record", [](Scheduler& s) { s.Record(Trace::Event, 5, 9); },
       [](Scheduler& s) { s.Record(Trace::Event, 9, 5); }},
      {"two words inside a packet",
       [](Scheduler& s) {
         const std::vector<uint8_t> bytes = {1, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0};
         s.RecordBytes(Trace::IsoPacket, bytes);
       },
       [](Scheduler& s) {
         const std::vector<uint8_t> bytes = {2, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0};
         s.RecordBytes(Trace::IsoPacket, bytes);
       }},
  };
  for (const Case& c : cases) EXPECT_NE(HashOf(c.one), HashOf(c.other)) << c.what;
}

TEST(TraceHash, TheTimeAndKindOfARecordChangeIt) {
  ASSERT_EQ(HashOf([](Scheduler& s) { s.RunFor(plat::kNsPerCycle); }), HashOf([](Scheduler&) {}))
      << "idle time leaves nothing in the trace";
  const std::vector<uint8_t> bytes = Pattern(648);
  const uint64_t now = HashOf([&](Scheduler& s) { s.RecordBytes(Trace::IsoPacket, bytes); });
  EXPECT_NE(HashOf([&](Scheduler& s) {
              s.RunFor(plat::kNsPerCycle);
              s.RecordBytes(Trace::IsoPacket, bytes);
            }),
            now);
  EXPECT_NE(HashOf([&](Scheduler& s) { s.RecordBytes(Trace::AsyncRequest, bytes); }), now);
  const uint64_t record = HashOf([](Scheduler& s) { s.Record(Trace::BusCycle, 1, 2); });
  EXPECT_NE(HashOf([](Scheduler& s) {
              s.RunFor(plat::kNsPerCycle);
              s.Record(Trace::BusCycle, 1, 2);
            }),
            record);
  EXPECT_NE(HashOf([](Scheduler& s) { s.Record(Trace::BusReset, 1, 2); }), record);
}

}  // namespace
