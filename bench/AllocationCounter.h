// Counts every heap allocation of the process through the global operator new, so a benchmark can
// show what its work costs in allocations.
#pragma once

#include <cstdint>

uint64_t HeapAllocations();
