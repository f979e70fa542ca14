// Mapping locked pages: into system space, or into the current process's user address space as a
// real second mapping of the same pages (a write through one is seen through the other, and an
// access after the mapping is undone faults), below 4 GB for a 32-bit process.
#pragma once

#include "Irp.h"

enum MEMORY_CACHING_TYPE { MmNonCached = 0, MmCached = 1, MmWriteCombined = 2 };

// UserMode maps into the current process (at or below APC_LEVEL); only whole pages of pool a page
// or more in size can be mapped so. A failure is NULL here; Windows raises an exception for a
// UserMode mapping that fails, so a driver calls it inside a try block there, and checks NULL here.
PVOID MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, MEMORY_CACHING_TYPE CacheType,
                                   PVOID RequestedAddress, ULONG BugCheckOnFailure, ULONG Priority);
PVOID MmMapLockedPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode);
// A user mapping is undone in the process it belongs to; undoing one of another process is a violation.
void MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList);

namespace plat {
class Process;
// The mappings of an ended process are undone (after its fault was noted).
void MmDropProcessMappings(Process* process);
// Whether a user mapping of the MDL is still in place.
bool MmHasUserMapping(PMDL mdl);
}  // namespace plat
