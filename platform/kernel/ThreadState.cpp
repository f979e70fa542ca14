#include "platform/kernel/ThreadState.h"

namespace plat {
namespace {
thread_local ThreadState tlOwn;
thread_local ThreadState* tlCurrent = nullptr;
}  // namespace

ThreadState& CurrentThreadState() { return tlCurrent != nullptr ? *tlCurrent : tlOwn; }

void SetCurrentThreadState(ThreadState* state) { tlCurrent = state; }

}  // namespace plat
