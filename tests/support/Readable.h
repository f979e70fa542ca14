// Whether an address can be read, found without touching it: the kernel copying one byte from it
// into a pipe fails when it is not mapped, where a read would fault.
#pragma once

namespace qxtest {
bool Readable(const void* p);
}  // namespace qxtest
