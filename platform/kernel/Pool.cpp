#include "platform/kernel/Pool.h"

#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <unordered_map>

#include "platform/kernel/Irql.h"
#include "platform/kernel/Scheduler.h"
#include "platform/kernel/Verifier.h"

namespace plat {
namespace {

struct Record {
  ULONG tag;
  bool paged;
  size_t bytes;
  bool shared = false;  // its pages were made shareable to be mapped again
  int mappings = 0;
};

// Pool may also be used by free-running stress tests on real threads, so the ledger locks.
struct Ledger {
  std::mutex m;
  std::unordered_map<void*, Record> live;
  std::map<uintptr_t, void*> pages;  // allocations of a page or more, by address
  size_t count = 0;
  size_t failNth = 0;
  std::set<ULONG> failTags;
};

Ledger& L() {
  static Ledger* ledger = new Ledger;
  return *ledger;
}

bool IsPaged(POOL_TYPE type) { return (static_cast<int>(type) & 1) != 0; }

constexpr size_t kPageBytes = 4096;

size_t WholePages(size_t bytes) { return (bytes + kPageBytes - 1) & ~(kPageBytes - 1); }

// Fresh pool is filled at once, and fresh pages cost a fault each on first touch: the whole pages
// of a large block are made present in one call first. Only a speed-up; a failure changes nothing.
constexpr size_t kPopulateBytes = size_t{64} << 10;

void Populate(void* p, size_t bytes) {
  const auto first = (reinterpret_cast<uintptr_t>(p) + kPageBytes - 1) & ~uintptr_t{kPageBytes - 1};
  const auto end = (reinterpret_cast<uintptr_t>(p) + bytes) & ~uintptr_t{kPageBytes - 1};
  if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_POPULATE_WRITE);
}

// Copies below the sanitizer: the last page holds the allocation's redzone and may hold other
// allocations.
void CopyPages(void* to, const void* from, size_t n) {
  asm volatile("rep movsb" : "+D"(to), "+S"(from), "+c"(n) : : "memory");
}

// Puts shared pages with the same contents under the allocation, at the same address, so that
// they can be mapped a second time. The allocator's bookkeeping and the sanitizer's shadow stay
// as they are.
bool Share(void* p, size_t bytes) {
  size_t length = WholePages(bytes);
  void* shared = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (shared == MAP_FAILED) return false;
  CopyPages(shared, p, length);
  if (mremap(shared, length, length, MREMAP_MAYMOVE | MREMAP_FIXED, p) == MAP_FAILED) {
    munmap(shared, length);
    return false;
  }
  return true;
}

}  // namespace

bool PoolPagesOf(const void* p, size_t length, void** start, size_t* pageBytes) {
  std::lock_guard<std::mutex> lock(L().m);
  auto addr = reinterpret_cast<uintptr_t>(p);
  auto it = L().pages.upper_bound(addr);
  if (it == L().pages.begin()) return false;
  --it;
  Record& r = L().live.at(it->second);
  if (addr + length > it->first + r.bytes) return false;
  if (!r.shared && !Share(it->second, r.bytes)) return false;
  r.shared = true;
  *start = it->second;
  *pageBytes = WholePages(r.bytes);
  return true;
}

void PoolNoteMapping(void* start, int delta) {
  std::lock_guard<std::mutex> lock(L().m);
  L().live.at(start).mappings += delta;
}

std::string TagText(ULONG tag) {
  std::string s;
  for (int i = 0; i < 4; ++i) {
    char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
    s += (c >= 0x20 && c < 0x7F) ? c : '?';
  }
  return s;
}

std::vector<PoolUse> PoolLedger::Outstanding() {
  std::lock_guard<std::mutex> lock(L().m);
  std::map<std::pair<ULONG, bool>, PoolUse> byTag;
  for (const auto& [p, r] : L().live) {
    auto& use = byTag[{r.tag, r.paged}];
    use.tag = r.tag;
    use.paged = r.paged;
    use.allocations += 1;
    use.bytes += r.bytes;
  }
  std::vector<PoolUse> out;
  for (auto& [k, v] : byTag) out.push_back(v);
  return out;
}

size_t PoolLedger::OutstandingAllocations() {
  std::lock_guard<std::mutex> lock(L().m);
  return L().live.size();
}

std::string PoolLedger::LeakReport() {
  std::string report;
  for (const auto& use : Outstanding()) {
    report += "pool left: tag '" + TagText(use.tag) + "' " + (use.paged ? "paged" : "non-paged") + ", " +
              std::to_string(use.allocations) + " allocation(s), " + std::to_string(use.bytes) + " bytes\n";
  }
  return report;
}

void PoolLedger::Forget() {
  std::lock_guard<std::mutex> lock(L().m);
  for (auto& [p, r] : L().live) {
    if (r.mappings == 0) std::free(p);
  }
  L().live.clear();
  L().pages.clear();
}

size_t PoolLedger::AllocationCount() {
  std::lock_guard<std::mutex> lock(L().m);
  return L().count;
}

void PoolLedger::FailNth(size_t n) {
  std::lock_guard<std::mutex> lock(L().m);
  L().failNth = n == 0 ? 0 : L().count + n;
}

void PoolLedger::FailTag(ULONG tag, bool on) {
  std::lock_guard<std::mutex> lock(L().m);
  if (on)
    L().failTags.insert(tag);
  else
    L().failTags.erase(tag);
}

void PoolLedger::ClearFailures() {
  std::lock_guard<std::mutex> lock(L().m);
  L().failNth = 0;
  L().failTags.clear();
}

void PoolLedger::Reset() {
  std::lock_guard<std::mutex> lock(L().m);
  L().failNth = 0;
  L().failTags.clear();
  L().count = 0;
}

}  // namespace plat

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  bool paged = plat::IsPaged(PoolType);
  if (paged) plat::CheckIrqlAtMost(APC_LEVEL, "paged pool allocation");
  else plat::CheckIrqlAtMost(DISPATCH_LEVEL, "non-paged pool allocation");
  if (Tag == 0) plat::Violation("pool allocation with tag 0");
  plat::PreemptionPoint();
  auto& l = plat::L();
  std::lock_guard<std::mutex> lock(l.m);
  l.count += 1;
  if (l.count == l.failNth || l.failTags.count(Tag) != 0) return nullptr;
  // A page or more starts on a page boundary, as the kernel's pool hands it out, so an MDL over it
  // covers whole pages. The exact size is still what the allocator knows, so reading past it is caught.
  void* p = nullptr;
  if (NumberOfBytes >= plat::kPageBytes) {
    if (posix_memalign(&p, plat::kPageBytes, NumberOfBytes) != 0) p = nullptr;
  } else {
    p = std::malloc(NumberOfBytes == 0 ? 1 : NumberOfBytes);
  }
  if (p == nullptr) return nullptr;
  // Fresh pool is not zeroed on Windows; fill it so code that relies on zeroes shows up.
  if (NumberOfBytes >= plat::kPopulateBytes) plat::Populate(p, NumberOfBytes);
  std::memset(p, 0xCD, NumberOfBytes);
  l.live.emplace(p, plat::Record{Tag, paged, NumberOfBytes, false, 0});
  if (NumberOfBytes >= plat::kPageBytes) l.pages.emplace(reinterpret_cast<uintptr_t>(p), p);
  return p;
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
  return ExAllocatePoolWithTag(PoolType, NumberOfBytes, plat::PoolTag("None"));
}

namespace {
void FreeChecked(PVOID P, const ULONG* tag) {
  if (P == nullptr) plat::Violation("ExFreePool of a null pointer");
  plat::PreemptionPoint();
  auto& l = plat::L();
  std::unique_lock<std::mutex> lock(l.m);
  auto it = l.live.find(P);
  if (it == l.live.end()) {
    lock.unlock();
    plat::Violation("ExFreePool of memory that is not allocated pool (double free?)");
  }
  if (tag != nullptr && it->second.tag != *tag) {
    std::string what = "ExFreePoolWithTag with tag '" + plat::TagText(*tag) + "' of pool tagged '" +
                       plat::TagText(it->second.tag) + "'";
    lock.unlock();
    plat::Violation(what);
  }
  if (it->second.mappings != 0) {
    lock.unlock();
    plat::Violation("ExFreePool of pool still mapped into a process");
  }
  bool paged = it->second.paged;
  if (it->second.bytes >= plat::kPageBytes) l.pages.erase(reinterpret_cast<uintptr_t>(P));
  l.live.erase(it);
  lock.unlock();
  plat::CheckIrqlAtMost(paged ? APC_LEVEL : DISPATCH_LEVEL, "ExFreePool");
  std::free(P);
}
}  // namespace

void ExFreePool(PVOID P) { FreeChecked(P, nullptr); }
void ExFreePoolWithTag(PVOID P, ULONG Tag) { FreeChecked(P, &Tag); }
