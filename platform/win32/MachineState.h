// State of the user-mode stand-ins that belongs to one machine: the session's records today, and
// what user32 and gdi32 keep for every process of the machine (the desktop, atoms, registered
// messages, the clipboard, the objects programs loaded). It starts empty for each new machine, as
// the loader's state does: the first use on a new machine drops what the one before left, newest
// first. Simulated threads run one at a time, so a state's own members need no lock.
#pragma once

#include <cstdint>
#include <memory>
#include <typeindex>

namespace plat::win32 {

class MachineState {
 public:
  // The machine's one T, made on first use.
  template <typename T>
  static T& Of() {
    return *static_cast<T*>(Slot(typeid(T), [] { return std::static_pointer_cast<void>(std::make_shared<T>()); }));
  }

  // Drops every state now, as a new machine would (ClearSession, a test between two uses).
  static void Reset();

 private:
  static void* Slot(std::type_index type, std::shared_ptr<void> (*make)());
};

}  // namespace plat::win32
