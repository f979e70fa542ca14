#include "platform/kernel/Fiber.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#include "platform/kernel/Verifier.h"

#if defined(__SANITIZE_ADDRESS__)
#define QX_FIBER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QX_FIBER_ASAN 1
#endif
#endif

#if defined(QX_FIBER_ASAN)
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#include <sanitizer/lsan_interface.h>
#endif

#if !defined(__x86_64__)
#error "the fiber switch is written for x86-64"
#endif

// Saves the callee-saved registers and the floating-point control words on the current stack,
// stores the stack pointer in *save and resumes the context whose stack pointer is `load`.
extern "C" void qx_fiber_switch(void** save, void* load);
// Where a fresh fiber's first switch returns to: it calls r12(r13) and never comes back.
extern "C" void qx_fiber_start();

asm(R"(
  .text
  .globl qx_fiber_switch
  .hidden qx_fiber_switch
  .type qx_fiber_switch, @function
qx_fiber_switch:
  .cfi_startproc
  pushq %rbp
  pushq %rbx
  pushq %r12
  pushq %r13
  pushq %r14
  pushq %r15
  subq $8, %rsp
  stmxcsr (%rsp)
  fnstcw 4(%rsp)
  movq %rsp, (%rdi)
  movq %rsi, %rsp
  ldmxcsr (%rsp)
  fldcw 4(%rsp)
  addq $8, %rsp
  popq %r15
  popq %r14
  popq %r13
  popq %r12
  popq %rbx
  popq %rbp
  ret
  .cfi_endproc
  .size qx_fiber_switch, .-qx_fiber_switch

  .globl qx_fiber_start
  .hidden qx_fiber_start
  .type qx_fiber_start, @function
qx_fiber_start:
  .cfi_startproc
  .cfi_undefined rip
  movq %r13, %rdi
  callq *%r12
  ud2
  .cfi_endproc
  .size qx_fiber_start, .-qx_fiber_start
)");

namespace plat {
namespace {

// The context that is switching away; the one resumed learns from it where the sanitizer's
// stack was (the real thread's stack is learnt this way, on its first switch).
Fiber* gSwitchingFrom = nullptr;

// The frame a fresh fiber's first switch pops: the control words, r15..r12, rbx, rbp, then the
// return address into qx_fiber_start.
struct FirstFrame {
  uint32_t mxcsr;
  uint16_t fpuControl;
  uint16_t pad;
  uint64_t r15, r14, r13, r12, rbx, rbp;
  uint64_t ret;
  uint64_t align;  // qx_fiber_start starts with the stack 16-byte aligned
};
static_assert(sizeof(FirstFrame) == 72);

constexpr uint32_t kDefaultMxcsr = 0x1F80;    // all exceptions masked, round to nearest
constexpr uint16_t kDefaultFpuControl = 0x037F;

}  // namespace

Fiber::Fiber(size_t stackBytes, Entry entry, void* arg) : entry_(entry), arg_(arg) {
  size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  stackBytes = (stackBytes + page - 1) / page * page;
  mappingBytes_ = stackBytes + page;
  void* m = mmap(nullptr, mappingBytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK,
                 -1, 0);
  if (m == MAP_FAILED) Violation("no memory for a thread's stack");
  mapping_ = static_cast<char*>(m);
  if (mprotect(mapping_, page, PROT_NONE) != 0) Violation("a thread's stack could not be guarded");
  stackBottom_ = mapping_ + page;
  stackBytes_ = stackBytes;
  auto* frame = reinterpret_cast<FirstFrame*>(mapping_ + mappingBytes_ - 16 - sizeof(FirstFrame) + sizeof(uint64_t));
  *frame = FirstFrame{};
  frame->mxcsr = kDefaultMxcsr;
  frame->fpuControl = kDefaultFpuControl;
  frame->r12 = reinterpret_cast<uint64_t>(&Fiber::Start);
  frame->r13 = reinterpret_cast<uint64_t>(this);
  frame->ret = reinterpret_cast<uint64_t>(&qx_fiber_start);
  sp_ = frame;
}

Fiber::~Fiber() {
  if (mapping_ == nullptr || kept_) return;
#if defined(QX_FIBER_ASAN)
  // Frames still live when the fiber ended keep their red zones; whatever maps here next must not
  // inherit them.
  __asan_unpoison_memory_region(stackBottom_, stackBytes_);
#endif
  munmap(mapping_, mappingBytes_);
}

void Fiber::Start(Fiber* self) {
  self->FinishSwitch();
  self->entry_(self->arg_);
  std::abort();  // an entry ends with ExitTo
}

void Fiber::FinishSwitch() {
#if defined(QX_FIBER_ASAN)
  const void* fromBottom = nullptr;
  size_t fromBytes = 0;
  __sanitizer_finish_switch_fiber(fakeStack_, &fromBottom, &fromBytes);
  if (gSwitchingFrom != nullptr && gSwitchingFrom->mapping_ == nullptr) {
    gSwitchingFrom->stackBottom_ = fromBottom;
    gSwitchingFrom->stackBytes_ = fromBytes;
  }
#endif
}

void Fiber::SwitchTo(Fiber& next) {
  gSwitchingFrom = this;
#if defined(QX_FIBER_ASAN)
  __sanitizer_start_switch_fiber(&fakeStack_, next.stackBottom_, next.stackBytes_);
#endif
  qx_fiber_switch(&sp_, next.sp_);
  FinishSwitch();
}

void Fiber::ExitTo(Fiber& next) {
  gSwitchingFrom = this;
#if defined(QX_FIBER_ASAN)
  __sanitizer_start_switch_fiber(nullptr, next.stackBottom_, next.stackBytes_);
#endif
  qx_fiber_switch(&sp_, next.sp_);
  std::abort();
}

void Fiber::Keep() {
  kept_ = true;
#if defined(QX_FIBER_ASAN)
  // The leak checker scans real threads' stacks, not this one: what the fiber holds on the part of
  // its stack in use stays reachable.
  char* top = static_cast<char*>(const_cast<void*>(stackBottom_)) + stackBytes_;
  __lsan_register_root_region(sp_, static_cast<size_t>(top - static_cast<char*>(sp_)));
#endif
}

}  // namespace plat
