#include "platform/kernel/ThreadState.h"

namespace plat {

// libqx_platform.so is always loaded with the program that links it: nothing opens it with dlopen,
// and the images loaded that way need it but are loaded by its own loader, so it is in place before
// them. Its thread-locals therefore sit in the static TLS block, and initial-exec makes each access
// a load off the thread pointer instead of a call to __tls_get_addr.
namespace {
[[gnu::tls_model("initial-exec")]] thread_local ThreadState tlOwn;
}  // namespace

[[gnu::tls_model("initial-exec")]] thread_local constinit ThreadState* tlCurrentThreadState = nullptr;

ThreadState& OwnThreadState() { return tlOwn; }

void SetCurrentThreadState(ThreadState* state) { tlCurrentThreadState = state != nullptr ? state : &tlOwn; }

}  // namespace plat
