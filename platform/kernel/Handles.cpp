#include "platform/kernel/Handles.h"

#include <cstdio>
#include <map>
#include <mutex>

#include "platform/kernel/Irql.h"
#include "platform/kernel/KernelHandles.h"
#include "platform/kernel/Process.h"
#include "platform/kernel/Verifier.h"

namespace plat {
namespace {

struct Entry {
  const HandleKind* kind;
  PVOID object;
};

struct Table {
  std::mutex m;
  std::map<ULONG_PTR, Entry> open;  // ordered, so reports are in the order handles were made
  ULONG_PTR next = 1;
};

Table& T() {
  static auto* table = new Table;
  return *table;
}

constexpr ULONG_PTR kKernelHandleBase = 0xFFFFFFFF80000000ull;

ULONG_PTR Key(HANDLE h) { return reinterpret_cast<ULONG_PTR>(h); }

}  // namespace

HANDLE KernelHandles::Insert(const HandleKind* kind, PVOID object) {
  if (kind == nullptr || kind->close == nullptr) Violation("a kernel handle of a kind without a close routine");
  auto& t = T();
  std::lock_guard<std::mutex> lock(t.m);
  if (t.next >= (1ull << 29)) Violation("the kernel handle table is exhausted");
  ULONG_PTR value = kKernelHandleBase + 4 * t.next++;
  t.open.emplace(value, Entry{kind, object});
  return reinterpret_cast<HANDLE>(value);
}

NTSTATUS KernelHandles::Reference(HANDLE h, const HandleKind* kind, PVOID* object) {
  auto& t = T();
  std::lock_guard<std::mutex> lock(t.m);
  auto it = t.open.find(Key(h));
  if (it == t.open.end()) return STATUS_INVALID_HANDLE;
  if (kind != nullptr && it->second.kind != kind) return STATUS_OBJECT_TYPE_MISMATCH;
  *object = it->second.object;
  return STATUS_SUCCESS;
}

NTSTATUS KernelHandles::Close(HANDLE h) {
  auto& t = T();
  std::unique_lock<std::mutex> lock(t.m);
  auto it = t.open.find(Key(h));
  if (it == t.open.end()) return STATUS_INVALID_HANDLE;
  Entry e = it->second;
  t.open.erase(it);
  lock.unlock();
  e.kind->close(e.object);
  return STATUS_SUCCESS;
}

size_t KernelHandles::OpenCount() {
  std::lock_guard<std::mutex> lock(T().m);
  return T().open.size();
}

std::string KernelHandles::OpenReport() {
  std::lock_guard<std::mutex> lock(T().m);
  std::string report;
  for (const auto& [value, e] : T().open) {
    char line[96];
    std::snprintf(line, sizeof line, "handle 0x%llx open: %s\n", static_cast<unsigned long long>(value),
                  e.kind->name);
    report += line;
  }
  return report;
}

}  // namespace plat

NTSTATUS ZwClose(HANDLE Handle) {
  plat::CheckIrqlAtMost(PASSIVE_LEVEL, "ZwClose");
  NTSTATUS status = plat::IsKernelHandle(Handle) ? plat::KernelHandles::Close(Handle)
                                                 : plat::CurrentProcess()->Handles().Close(Handle);
  if (status == STATUS_INVALID_HANDLE) {
    char what[96];
    std::snprintf(what, sizeof what, "ZwClose of a handle that is not open (0x%llx)",
                  static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(Handle)));
    plat::Violation(what);
  }
  return status;
}
