// Objects of the port class stand-in: kernel COM objects in non-paged pool under one tag, so the
// pool ledger sees what port class holds and what it leaves behind.
#pragma once

#include <new>

#include "platform/portcls/include/portcls.h"
#include "platform/portcls/include/stdunk.h"

namespace plat::pc {

constexpr ULONG kPortClassTag = plat::PoolTag("PcCl");

// new (NonPagedPool) T(...) gives null when pool runs out; delete gives the memory back.
struct PoolObject {
  static void* operator new(size_t size, POOL_TYPE pool) noexcept { return ExAllocatePoolWithTag(pool, size, kPortClassTag); }
  static void operator delete(void* p) { ExFreePoolWithTag(p, kPortClassTag); }
  static void operator delete(void* p, POOL_TYPE) { ExFreePoolWithTag(p, kPortClassTag); }
};

// A referenced interface pointer of the stand-in's own bookkeeping.
template <typename T>
void ReleaseAndClear(T*& p) {
  if (p != nullptr) {
    T* q = p;
    p = nullptr;
    q->Release();
  }
}

}  // namespace plat::pc
