#include "platform/win32/MachineState.h"

#include <mutex>
#include <utility>
#include <vector>

#include "platform/win32/KernelBridge.h"

namespace plat::win32 {
namespace {

struct Registry {
  std::mutex lock;
  uint64_t machine = 0;
  // In the order they were made; dropped newest first.
  std::vector<std::pair<std::type_index, std::shared_ptr<void>>> states;
};

Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

// Outside the lock: a state's destructor may reach another state.
void Drop(std::vector<std::pair<std::type_index, std::shared_ptr<void>>> states) {
  while (!states.empty()) states.pop_back();
}

}  // namespace

void MachineState::Reset() {
  Registry& r = TheRegistry();
  std::vector<std::pair<std::type_index, std::shared_ptr<void>>> old;
  {
    std::lock_guard<std::mutex> hold(r.lock);
    old = std::exchange(r.states, {});
  }
  Drop(std::move(old));
}

void* MachineState::Slot(std::type_index type, std::shared_ptr<void> (*make)()) {
  Registry& r = TheRegistry();
  std::vector<std::pair<std::type_index, std::shared_ptr<void>>> old;
  void* found = nullptr;
  {
    std::lock_guard<std::mutex> hold(r.lock);
    uint64_t machine = MachineSerial();
    if (machine != r.machine) {
      old = std::exchange(r.states, {});
      r.machine = machine;
    }
    for (const auto& [t, state] : r.states)
      if (t == type) found = state.get();
  }
  Drop(std::move(old));
  if (found != nullptr) return found;
  // Made outside the lock: a state's constructor may ask for another state.
  std::shared_ptr<void> made = make();
  std::lock_guard<std::mutex> hold(r.lock);
  for (const auto& [t, state] : r.states)
    if (t == type) return state.get();
  r.states.emplace_back(type, std::move(made));
  return r.states.back().second.get();
}

}  // namespace plat::win32
