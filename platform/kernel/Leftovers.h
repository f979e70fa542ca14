// What drivers must have given back by unload, as the machine and the tests count it.
#pragma once

#include <cstddef>
#include <string>

namespace plat {
// Lookaside lists initialised and not yet deleted (a driver must delete its lists at unload).
size_t LiveLookasideLists();
// Work items queued but not yet finished, on both queues.
size_t PendingWorkItems();
// Device objects created and not deleted, one line each naming it and its driver; empty when none.
// A machine that shuts down with one left has a driver that forgot it.
std::string IoDeviceObjectsLeft();
// Drops the records (after what was left was reported).
void IoForgetDeviceObjects();
}  // namespace plat
