// Kernel pools: tagged allocation with a per-tag ledger, leak reports and failure injection.
#pragma once

#include <string>
#include <vector>

#include "KernelTypes.h"

enum POOL_TYPE {
  NonPagedPool = 0,
  PagedPool = 1,
  NonPagedPoolMustSucceed = 2,
  NonPagedPoolCacheAligned = 4,
  PagedPoolCacheAligned = 5,
  NonPagedPoolNx = 512,
};

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
void ExFreePool(PVOID P);
void ExFreePoolWithTag(PVOID P, ULONG Tag);

namespace plat {

// Writes a four-character tag as the kernel shows it: 'Wdm ' is the bytes W, d, m, space.
constexpr ULONG PoolTag(const char (&s)[5]) {
  return static_cast<ULONG>(static_cast<unsigned char>(s[0])) |
         static_cast<ULONG>(static_cast<unsigned char>(s[1])) << 8 |
         static_cast<ULONG>(static_cast<unsigned char>(s[2])) << 16 |
         static_cast<ULONG>(static_cast<unsigned char>(s[3])) << 24;
}

struct PoolUse {
  ULONG tag;
  bool paged;
  size_t allocations;
  size_t bytes;
};

class PoolLedger {
 public:
  static std::vector<PoolUse> Outstanding();      // per tag and pool, what is still allocated
  static size_t OutstandingAllocations();
  static std::string LeakReport();                // empty when nothing is outstanding
  static void Forget();                           // drops the records (after a leak was reported)
  static size_t AllocationCount();                // allocations since the last Reset

  // Failure injection: the Nth allocation from now (1 = the next) fails, or every allocation
  // of a tag fails until cleared.
  static void FailNth(size_t n);
  static void FailTag(ULONG tag, bool on);
  static void ClearFailures();
  static void Reset();                            // no failures, counters at 0, records kept
};

std::string TagText(ULONG tag);

// Pool of a page or more is whole shared pages that the memory manager may map a second time
// (into a process). The allocation holding [p, p + length), its start and its length in whole pages.
bool PoolPagesOf(const void* p, size_t length, void** start, size_t* pageBytes);
// Mappings of an allocation's pages elsewhere: freeing it while one is left is a violation.
void PoolNoteMapping(void* start, int delta);

}  // namespace plat
