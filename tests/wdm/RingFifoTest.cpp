// The MIDI input ring on its own: its count across the end of the buffer, and bytes that wrap
// around it come back in order.
#include <gtest/gtest.h>

#include <vector>

#include "platform/kernel/Scheduler.h"
#include "wdm/RingFifo.h"

namespace {

constexpr ULONG kCapacity = 512;

TEST(RingFifo, CountsTheBytesHeldWhereverTheIndicesStand) {
  plat::Scheduler sched;
  struct Case {
    ULONG read, write, count;
  };
  for (const Case& c : {Case{0, 0, 0}, Case{300, 300, 0}, Case{10, 500, 490}, Case{500, 10, 23}, Case{512, 0, 1},
                        Case{1, 0, kCapacity}}) {
    SCOPED_TRACE(testing::Message() << "read " << c.read << ", write " << c.write);
    RingFifo fifo(1, kCapacity, NonPagedPool);
    fifo.mReadIndex = c.read;
    fifo.mWriteIndex = c.write;
    fifo.Lock();
    EXPECT_EQ(fifo.FifoCount(), c.count);
    EXPECT_EQ(fifo.FifoRoom(), kCapacity - c.count);
    fifo.Unlock();
  }
}

TEST(RingFifo, BytesWrittenAcrossTheEndComeBackInOrderAndAFullRingTakesNoMore) {
  plat::Scheduler sched;
  RingFifo fifo(1, kCapacity, NonPagedPool);
  fifo.mReadIndex = fifo.mWriteIndex = kCapacity - 2;
  const std::vector<UCHAR> bytes = {1, 2, 3, 4, 5};
  std::vector<UCHAR> out(8, 0);
  fifo.Lock();
  EXPECT_EQ(fifo.FifoWrite(bytes.data(), 5), 5u);
  EXPECT_EQ(fifo.FifoRead(out.data(), 8), 5u);
  EXPECT_EQ(std::vector<UCHAR>(out.begin(), out.begin() + 5), bytes);
  std::vector<UCHAR> many(kCapacity + 10, 7);
  EXPECT_EQ(fifo.FifoWrite(many.data(), kCapacity + 10), kCapacity);
  EXPECT_EQ(fifo.FifoWrite(bytes.data(), 1), 0u);
  fifo.Unlock();
}

}  // namespace
