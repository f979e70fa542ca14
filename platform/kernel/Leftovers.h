// What drivers must have given back by unload, as the machine and the tests count it.
#pragma once

#include <cstddef>

namespace plat {
// Lookaside lists initialised and not yet deleted (a driver must delete its lists at unload).
size_t LiveLookasideLists();
// Work items queued but not yet finished, on both queues.
size_t PendingWorkItems();
}  // namespace plat
