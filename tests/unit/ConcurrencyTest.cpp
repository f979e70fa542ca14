#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

#include "tests/unit/Requests.h"
#include "unit/RegisterMap.h"

namespace {

// An expansion unit whose MIDI-out blocks complete inside the issuing call, on whichever thread
// issued them.
class ThreadedUnit : public QX531Device {
 public:
  std::mutex mSentLock;
  std::vector<uint8_t> mSent;

 protected:
  uint32_t ReadQuadlet(PlatformHandle, uint32_t offset) override {
    return offset == QX5310_REGISTER_VERSION ? 0x10000 : 1;
  }
  int32_t WriteBlockAsync(PlatformHandle, uint32_t, const void* data, uint32_t length, WriteCompletion completion,
                          void* context) override {
    {
      std::lock_guard<std::mutex> guard(mSentLock);
      const auto* bytes = static_cast<const uint8_t*>(data);
      mSent.insert(mSent.end(), bytes, bytes + length);
    }
    completion(context, 0);
    return 0;
  }
};

TEST(Concurrency, MidiOutFromSeveralProducersLosesNothingAndKeepsEachProducersOrder) {
  ThreadedUnit unit;
  ASSERT_EQ(unit.HandlePlugIn(), 0);
  constexpr uint32_t kProducers = 4;
  constexpr uint32_t kEvents = 3000;
  std::vector<std::thread> producers;
  for (uint32_t p = 0; p < kProducers; ++p) {
    producers.emplace_back([&unit, p] {
      for (uint32_t n = 0; n < kEvents; ++n) unit.SendMIDIOut(p << 24 | n);
    });
  }
  for (std::thread& producer : producers) producer.join();
  unit.HandleUnPlug();
  ASSERT_EQ(unit.mSent.size() % 4, 0u);
  EXPECT_EQ(unit.mSent.size() / 4 + unit.MidiOutDropped(), kProducers * kEvents) << "every event sent or counted";
  std::vector<int64_t> last(kProducers, -1);
  for (std::size_t i = 0; i < unit.mSent.size(); i += 4) {
    const uint32_t producer = unit.mSent[i];
    const int64_t n = unit.mSent[i + 1] << 16 | unit.mSent[i + 2] << 8 | unit.mSent[i + 3];
    ASSERT_LT(producer, kProducers);
    EXPECT_GT(n, last[producer]);
    last[producer] = n;
  }
}

TEST(Concurrency, LogWritersRacingStayInsideTheLog) {
  QX531Device unit;
  std::vector<std::thread> writers;
  for (int w = 0; w < 4; ++w) {
    writers.emplace_back([&unit] {
      for (int n = 0; n < 2000; ++n) unit.LogLabelDecimal("racing writer ", n);
    });
  }
  for (std::thread& writer : writers) writer.join();
  const Answer answer = Ask(unit, 0, {}, 8192);
  EXPECT_EQ(answer.mBytes, 4095u);
}

}  // namespace
