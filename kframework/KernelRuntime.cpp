// The C++ runtime a kernel image carries itself: the kernel has no C++ library, so the global
// allocation functions (which deleting destructors and any plain new call) take and give back
// non-paged pool under the driver's tag.
#include <wdm.h>

#include <cstddef>
#include <new>

#include "kframework/KernelUtil.h"

namespace {
constexpr ULONG kMustSucceedPoolEmpty = 0x41;
}

// There is no exception to throw: a plain new that finds no pool stops the machine.
void* operator new(std::size_t size) {
  void* memory = ExAllocatePoolWithTag(NonPagedPool, size, DerivedPoolTag);
  if (memory == nullptr) KeBugCheckEx(kMustSucceedPoolEmpty, size, 0, 0, 0);
  return memory;
}

void* operator new[](std::size_t size) { return operator new(size); }

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return ExAllocatePoolWithTag(NonPagedPool, size, DerivedPoolTag);
}

void operator delete(void* memory) noexcept {
  if (memory != nullptr) ExFreePool(memory);
}

void operator delete[](void* memory) noexcept { operator delete(memory); }
void operator delete(void* memory, std::size_t) noexcept { operator delete(memory); }
void operator delete[](void* memory, std::size_t) noexcept { operator delete(memory); }
