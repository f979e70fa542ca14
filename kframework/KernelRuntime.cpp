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

// Over-aligned types (a lookaside list is cache-aligned on Windows): pool blocks are aligned to
// 16 bytes only, so such an object is carved from a larger block that remembers where it starts.
void* operator new(std::size_t size, std::align_val_t alignment) {
  const auto align = static_cast<std::size_t>(alignment);
  void* block = ExAllocatePoolWithTag(NonPagedPool, size + align + sizeof(void*), DerivedPoolTag);
  if (block == nullptr) KeBugCheckEx(kMustSucceedPoolEmpty, size, 0, 0, 0);
  const auto start = (reinterpret_cast<ULONG_PTR>(block) + sizeof(void*) + align - 1) & ~ULONG_PTR{align - 1};
  reinterpret_cast<void**>(start)[-1] = block;
  return reinterpret_cast<void*>(start);
}

void operator delete(void* memory, std::align_val_t) noexcept {
  if (memory != nullptr) ExFreePool(static_cast<void**>(memory)[-1]);
}

void operator delete(void* memory, std::size_t, std::align_val_t alignment) noexcept {
  operator delete(memory, alignment);
}
