#include "wdm/WdmPoolObject.h"

#include "kframework/KernelUtil.h"

void* WdmPoolObject::operator new(size_t size, POOL_TYPE pool) noexcept {
  return ExAllocatePoolWithTag(pool, size, kFrameworkPoolTag);
}
void WdmPoolObject::operator delete(void* p) { ExFreePoolWithTag(p, kFrameworkPoolTag); }
void WdmPoolObject::operator delete(void* p, POOL_TYPE) { ExFreePoolWithTag(p, kFrameworkPoolTag); }
