#include "platform/kernel/Callback.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>

#include "platform/kernel/Scheduler.h"

namespace {
std::atomic<size_t> gAllocations{0};
}  // namespace

// Counts every allocation of this test binary, so a test can show a path makes none.
void* operator new(size_t n) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace {

using plat::Callback;

TEST(Callback, SmallCallablesLiveInPlaceAndLargeOnesOnTheHeapAndEachIsDestroyedOnce) {
  auto counter = std::make_shared<int>(0);
  struct Case {
    bool large;
  };
  for (Case c : {Case{false}, Case{true}}) {
    SCOPED_TRACE(c.large ? "large" : "small");
    std::weak_ptr<int> watch = counter;
    size_t before = gAllocations.load();
    {
      Callback a;
      if (c.large) {
        std::array<char, 200> pad{};
        a = [counter, pad] { *counter += 1 + pad[0]; };
      } else {
        a = [counter] { *counter += 1; };
      }
      EXPECT_EQ(gAllocations.load() - before, c.large ? 1u : 0u);
      Callback b = std::move(a);
      EXPECT_FALSE(a);
      b();
      Callback d;
      d = std::move(b);
      d();
      EXPECT_EQ(counter.use_count(), 2);
    }
    EXPECT_EQ(counter.use_count(), 1);
  }
  EXPECT_EQ(*counter, 4);
}

TEST(Callback, EventsAndDpcsCostNoAllocationOnceTheSchedulerIsWarm) {
  plat::Scheduler s;
  int ran = 0;
  auto round = [&] {
    for (int i = 0; i < 64; ++i) {
      uint64_t cancelled = s.After(500 + i, [&ran, i] { ran -= i; });
      s.After(100 + i, [&ran] { ++ran; }, DISPATCH_LEVEL, "a label longer than any small-string buffer");
      s.Cancel(cancelled);
      s.QueueDpc([&ran] { ++ran; });
    }
    s.RunFor(1000);
  };
  round();
  size_t before = gAllocations.load();
  for (int r = 0; r < 10; ++r) round();
  EXPECT_EQ(gAllocations.load() - before, 0u);
  EXPECT_EQ(ran, 11 * 128);
}

}  // namespace
