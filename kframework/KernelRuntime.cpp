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
// Null when there is no pool, or when the size with its padding does not fit a size_t.
namespace {
void* AllocateAligned(std::size_t size, std::size_t align) {
  const std::size_t padding = align + sizeof(void*);
  if (size > static_cast<std::size_t>(-1) - padding) return nullptr;
  void* block = ExAllocatePoolWithTag(NonPagedPool, size + padding, DerivedPoolTag);
  if (block == nullptr) return nullptr;
  const auto start = (reinterpret_cast<ULONG_PTR>(block) + sizeof(void*) + align - 1) & ~ULONG_PTR{align - 1};
  reinterpret_cast<void**>(start)[-1] = block;
  return reinterpret_cast<void*>(start);
}
}  // namespace

void* operator new(std::size_t size, std::align_val_t alignment) {
  void* memory = AllocateAligned(size, static_cast<std::size_t>(alignment));
  if (memory == nullptr) KeBugCheckEx(kMustSucceedPoolEmpty, size, 0, 0, 0);
  return memory;
}

void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return AllocateAligned(size, static_cast<std::size_t>(alignment));
}

void operator delete(void* memory, std::align_val_t) noexcept {
  if (memory != nullptr) ExFreePool(static_cast<void**>(memory)[-1]);
}

void operator delete(void* memory, std::size_t, std::align_val_t alignment) noexcept {
  operator delete(memory, alignment);
}
