// The adapter's objects live in pool under the tag "Wdm ": `new (poolType) T(...)` gives null when
// pool runs out.
#pragma once

#include <wdm.h>

#include <cstddef>

struct WdmPoolObject {
  static void* operator new(size_t size, POOL_TYPE pool) noexcept;
  static void operator delete(void* p);
  static void operator delete(void* p, POOL_TYPE);
};
