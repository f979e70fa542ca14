#include "platform/kernel/Memory.h"

#include <sys/mman.h>

#include <algorithm>
#include <string>
#include <unordered_map>

#include "platform/kernel/IoManager.h"
#include "platform/kernel/Irql.h"
#include "platform/kernel/Pool.h"
#include "platform/kernel/Process.h"
#include "platform/kernel/Verifier.h"

using plat::Violation;

namespace {

constexpr uintptr_t kPage = 4096;
constexpr uintptr_t k4GB = uintptr_t{1} << 32;

// User mappings per MDL, in every process.
std::unordered_map<PMDL, int>& MappedMdls() {
  static auto* mapped = new std::unordered_map<PMDL, int>;
  return *mapped;
}

void CheckMappable(PMDL mdl, const char* what) {
  if (!(mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL)))
    Violation(std::string(what) + " of an MDL whose pages are neither locked nor non-paged");
}

// The new address of the pages [start, start + length) mapped again; a 32-bit process gets one
// below 4 GB. Null when no room.
void* MapAgain(void* start, size_t length, bool below4GB) {
  void* target = nullptr;
  int flags = MREMAP_MAYMOVE;
  if (below4GB) {
    target = mmap(nullptr, length, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT | MAP_NORESERVE, -1, 0);
    if (target == MAP_FAILED) return nullptr;
    flags |= MREMAP_FIXED;
  }
  // An old size of 0 on shared pages makes a second mapping of the same pages.
  void* p = below4GB ? mremap(start, 0, length, flags, target) : mremap(start, 0, length, flags);
  if (p == MAP_FAILED) {
    if (target != nullptr) munmap(target, length);
    return nullptr;
  }
  if (below4GB && reinterpret_cast<uintptr_t>(p) + length > k4GB) Violation("a 32-bit process got a mapping above 4 GB");
  return p;
}

// The range stays reserved and inaccessible, so a program that still uses the address faults
// rather than reaching whatever the address would be given to next.
void Undo(const plat::UserMapping& m) {
  if (mmap(m.base, m.length, PROT_NONE, MAP_FIXED | MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0) == MAP_FAILED)
    Violation("a user mapping could not be undone");
  if (--MappedMdls()[m.mdl] == 0) MappedMdls().erase(m.mdl);
  void* start;
  size_t pages;
  if (plat::PoolPagesOf(MmGetMdlVirtualAddress(m.mdl), m.mdl->ByteCount, &start, &pages))
    plat::PoolNoteMapping(start, -1);
}

}  // namespace

PVOID MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, MEMORY_CACHING_TYPE,
                                   PVOID RequestedAddress, ULONG, ULONG Priority) {
  PMDL mdl = MemoryDescriptorList;
  if (AccessMode == KernelMode) {
    plat::CheckIrqlAtMost(DISPATCH_LEVEL, "MmMapLockedPagesSpecifyCache");
    CheckMappable(mdl, "MmMapLockedPagesSpecifyCache");
    return MmGetSystemAddressForMdlSafe(mdl, Priority);
  }
  plat::CheckIrqlAtMost(APC_LEVEL, "MmMapLockedPagesSpecifyCache with UserMode");
  CheckMappable(mdl, "MmMapLockedPagesSpecifyCache");
  plat::Process* process = plat::CurrentProcess();
  if (process->IsSystem())
    Violation("MmMapLockedPagesSpecifyCache with UserMode outside a process's thread: the pages would go into "
              "the System process, not the caller's");
  if (process->Ending()) return nullptr;
  if (RequestedAddress != nullptr) return nullptr;
  char* va = static_cast<char*>(MmGetMdlVirtualAddress(mdl));
  void* start;
  size_t pageBytes;
  if (!plat::PoolPagesOf(va, mdl->ByteCount, &start, &pageBytes)) return nullptr;
  auto pageStart = reinterpret_cast<uintptr_t>(va) & ~(kPage - 1);
  size_t length = (reinterpret_cast<uintptr_t>(va) + mdl->ByteCount - pageStart + kPage - 1) & ~(kPage - 1);
  void* base = MapAgain(reinterpret_cast<void*>(pageStart), length, process->Is32Bit());
  if (base == nullptr) return nullptr;
  plat::PoolNoteMapping(start, +1);
  ++MappedMdls()[mdl];
  PVOID user = static_cast<char*>(base) + mdl->ByteOffset;
  process->Mappings().push_back(plat::UserMapping{user, base, length, mdl});
  return user;
}

PVOID MmMapLockedPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode) {
  return MmMapLockedPagesSpecifyCache(MemoryDescriptorList, AccessMode, MmCached, nullptr, TRUE, NormalPagePriority);
}

void MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList) {
  plat::Process* current = plat::CurrentProcess();
  auto& mine = current->Mappings();
  auto it = std::find_if(mine.begin(), mine.end(), [&](const plat::UserMapping& m) { return m.userAddress == BaseAddress; });
  if (it != mine.end()) {
    plat::CheckIrqlAtMost(APC_LEVEL, "MmUnmapLockedPages of a user mapping");
    if (it->mdl != MemoryDescriptorList) Violation("MmUnmapLockedPages with another MDL than the mapping's");
    plat::UserMapping m = *it;
    mine.erase(it);
    Undo(m);
    return;
  }
  if (BaseAddress == MemoryDescriptorList->MappedSystemVa &&
      (MemoryDescriptorList->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))) {
    plat::CheckIrqlAtMost(DISPATCH_LEVEL, "MmUnmapLockedPages");
    MemoryDescriptorList->MdlFlags &= static_cast<SHORT>(~MDL_MAPPED_TO_SYSTEM_VA);
    return;
  }
  if (plat::MmHasUserMapping(MemoryDescriptorList))
    Violation("MmUnmapLockedPages of a user mapping of another process than " + current->ImageName());
  Violation("MmUnmapLockedPages of an address that is not mapped");
}

namespace plat {

bool MmHasUserMapping(PMDL mdl) { return MappedMdls().count(mdl) != 0; }

void MmDropProcessMappings(Process* process) {
  for (const UserMapping& m : process->Mappings()) Undo(m);
  process->Mappings().clear();
}

}  // namespace plat
