// A context of execution switched in user space: a simulated thread runs on a fiber of its own,
// and the real thread that owns the scheduler switches between them, one at a time.
#pragma once

#include <cstddef>

namespace plat {

class Fiber {
 public:
  using Entry = void (*)(void* arg);

  // The real thread's own context: it has no stack of its own to give back.
  Fiber() = default;
  // A fresh stack of `stackBytes` below a guard page; the first switch to it calls entry(arg),
  // which must end with ExitTo.
  Fiber(size_t stackBytes, Entry entry, void* arg);
  ~Fiber();
  Fiber(const Fiber&) = delete;
  Fiber& operator=(const Fiber&) = delete;

  // Saves this context and resumes `next`; returns when something switches back to this one.
  void SwitchTo(Fiber& next);
  // The last switch of a fiber whose entry is over: nothing ever resumes it.
  [[noreturn]] void ExitTo(Fiber& next);
  // A fiber stopped for ever: its stack stays mapped at exit, and what it points to stays held.
  void Keep();

 private:
  static void Start(Fiber* self);
  void FinishSwitch();

  void* sp_ = nullptr;
  char* mapping_ = nullptr;  // the guard page and the stack above it
  size_t mappingBytes_ = 0;
  Entry entry_ = nullptr;
  void* arg_ = nullptr;
  bool kept_ = false;
  // What the address sanitizer is told at every switch: where this context's stack is, and its
  // stack of frames that outlived their function while it was switched away.
  const void* stackBottom_ = nullptr;
  size_t stackBytes_ = 0;
  void* fakeStack_ = nullptr;
};

}  // namespace plat
