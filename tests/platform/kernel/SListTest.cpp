#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "platform/kernel/Verifier.h"
#include "platform/kernel/include/wdm.h"

namespace {

struct Item {
  SLIST_ENTRY link;
  std::atomic<int> holders{0};  // how many threads hold the item at once: never more than one
};

TEST(SList, PushPopIsLastInFirstOutAndCountsDepth) {
  SLIST_HEADER head;
  InitializeSListHead(&head);
  KSPIN_LOCK unused;
  KeInitializeSpinLock(&unused);
  Item items[3];
  EXPECT_EQ(ExInterlockedPopEntrySList(&head, &unused), nullptr);
  EXPECT_EQ(ExInterlockedPushEntrySList(&head, &items[0].link, &unused), nullptr);
  EXPECT_EQ(InterlockedPushEntrySList(&head, &items[1].link), &items[0].link);  // the previous first
  EXPECT_EQ(InterlockedPushEntrySList(&head, &items[2].link), &items[1].link);
  EXPECT_EQ(ExQueryDepthSList(&head), 3);
  EXPECT_EQ(FirstEntrySList(&head), &items[2].link);
  EXPECT_EQ(InterlockedPopEntrySList(&head), &items[2].link);
  EXPECT_EQ(ExQueryDepthSList(&head), 2);

  PSLIST_ENTRY chain = ExInterlockedFlushSList(&head);
  EXPECT_EQ(chain, &items[1].link);
  EXPECT_EQ(chain->Next, &items[0].link);
  EXPECT_EQ(chain->Next->Next, nullptr);
  EXPECT_EQ(ExQueryDepthSList(&head), 0);
  EXPECT_EQ(ExInterlockedPopEntrySList(&head, &unused), nullptr);
}

TEST(SList, MisalignedEntryIsAViolation) {
  SLIST_HEADER head;
  InitializeSListHead(&head);
  alignas(16) unsigned char raw[48];
  auto* misaligned = reinterpret_cast<PSLIST_ENTRY>(raw + 8);
  EXPECT_NE(plat::ExpectViolation([&] { InterlockedPushEntrySList(&head, misaligned); }).find("aligned"),
            std::string::npos);
}

// Free-running: real threads, no scheduler. Each thread pops an item, holds it alone for a moment
// and pushes it back; at the end every item is on the list exactly once.
TEST(SList, StaysConsistentUnderRealThreads) {
  constexpr int kItems = 64, kThreads = 8, kRounds = 20000;
  SLIST_HEADER head;
  InitializeSListHead(&head);
  std::vector<Item> items(kItems);
  for (auto& item : items) InterlockedPushEntrySList(&head, &item.link);

  std::atomic<bool> go{false};
  std::atomic<int> doubleHeld{0}, empties{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&] {
      while (!go.load()) std::this_thread::yield();
      std::vector<Item*> held;
      for (int r = 0; r < kRounds; ++r) {
        PSLIST_ENTRY e = (r % 3 == 0) ? ExInterlockedPopEntrySList(&head, nullptr) : InterlockedPopEntrySList(&head);
        if (e == nullptr) {
          ++empties;
        } else {
          Item* item = CONTAINING_RECORD(e, Item, link);
          if (item->holders.fetch_add(1) != 0) ++doubleHeld;
          held.push_back(item);
        }
        if (held.size() > 2 || (e == nullptr && !held.empty())) {  // give back, oldest first
          Item* item = held.front();
          held.erase(held.begin());
          item->holders.fetch_sub(1);
          InterlockedPushEntrySList(&head, &item->link);
        }
      }
      for (Item* item : held) {
        item->holders.fetch_sub(1);
        ExInterlockedPushEntrySList(&head, &item->link, nullptr);
      }
    });
  go = true;
  for (auto& t : threads) t.join();

  EXPECT_EQ(doubleHeld.load(), 0);
  EXPECT_EQ(ExQueryDepthSList(&head), kItems);
  std::set<PSLIST_ENTRY> seen;
  size_t walked = 0;  // bounded, so that a list corrupted into a cycle fails rather than hangs
  for (PSLIST_ENTRY e = ExInterlockedFlushSList(&head); e != nullptr && walked <= kItems; e = e->Next, ++walked)
    seen.insert(e);
  EXPECT_EQ(walked, static_cast<size_t>(kItems));
  EXPECT_EQ(seen.size(), static_cast<size_t>(kItems));
}

}  // namespace
