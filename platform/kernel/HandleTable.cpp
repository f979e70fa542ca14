#include "platform/kernel/HandleTable.h"

#include "platform/kernel/Verifier.h"

namespace plat {

HandleTable::~HandleTable() {
  if (!entries_.empty()) Violation("a process's handle table was dropped with handles open");
}

HANDLE HandleTable::Insert(PVOID object, ACCESS_MASK granted) {
  ULONG_PTR value;
  if (!free_.empty()) {
    value = free_.back();
    free_.pop_back();
  } else {
    if (next_ >= (1u << 24)) Violation("a process's handle table is exhausted");
    value = next_;
    next_ += 4;
  }
  entries_.emplace(value, Entry{object, granted});
  ObHandleOpened(object);
  return reinterpret_cast<HANDLE>(value);
}

NTSTATUS HandleTable::Reference(HANDLE h, POBJECT_TYPE type, ACCESS_MASK desired, bool checkAccess,
                                PVOID* object) const {
  *object = nullptr;
  auto it = entries_.find(reinterpret_cast<ULONG_PTR>(h));
  if (it == entries_.end()) return STATUS_INVALID_HANDLE;
  if (type != nullptr && ObTypeOf(it->second.object) != type) return STATUS_OBJECT_TYPE_MISMATCH;
  if (checkAccess && (desired & ~it->second.granted) != 0) return STATUS_ACCESS_DENIED;
  ObReferenceObject(it->second.object);
  *object = it->second.object;
  return STATUS_SUCCESS;
}

NTSTATUS HandleTable::Close(HANDLE h) {
  auto value = reinterpret_cast<ULONG_PTR>(h);
  auto it = entries_.find(value);
  if (it == entries_.end()) return STATUS_INVALID_HANDLE;
  PVOID object = it->second.object;
  entries_.erase(it);
  free_.push_back(value);
  ObCloseHandle(object);
  return STATUS_SUCCESS;
}

void HandleTable::RunDown() {
  while (!entries_.empty()) Close(reinterpret_cast<HANDLE>(entries_.begin()->first));
  free_.clear();
  next_ = 4;
}

std::vector<PVOID> HandleTable::Objects() const {
  std::vector<PVOID> out;
  for (const auto& [value, e] : entries_) out.push_back(e.object);
  return out;
}

}  // namespace plat
