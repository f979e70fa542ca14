// A process's handle table: small handle values (4, 8, 12, ...) as Windows gives them, a freed
// value handed out again first, each entry an object of the object manager with the access granted
// when it was opened. The handle holds one reference and counts as one of the object's handles.
#pragma once

#include <map>
#include <vector>

#include "KernelTypes.h"
#include "NtStatus.h"
#include "ObjectManager.h"

namespace plat {

class HandleTable {
 public:
  HandleTable() = default;
  ~HandleTable();
  HandleTable(const HandleTable&) = delete;
  HandleTable& operator=(const HandleTable&) = delete;

  // Takes over one reference to `object`.
  HANDLE Insert(PVOID object, ACCESS_MASK granted);
  // A referenced object; STATUS_INVALID_HANDLE when h is not open here, STATUS_OBJECT_TYPE_MISMATCH
  // for another type (null accepts any), STATUS_ACCESS_DENIED when `checkAccess` and the handle
  // was not opened for `desired`.
  NTSTATUS Reference(HANDLE h, POBJECT_TYPE type, ACCESS_MASK desired, bool checkAccess, PVOID* object) const;
  // Closes the handle: the last handle of an object runs its type's close work (CLEANUP of a file).
  NTSTATUS Close(HANDLE h);
  // Closes every handle, lowest value first, as a process's table is run down when it ends.
  void RunDown();
  size_t Count() const { return entries_.size(); }
  // The open objects, lowest handle first.
  std::vector<PVOID> Objects() const;

 private:
  struct Entry {
    PVOID object;
    ACCESS_MASK granted;
  };
  std::map<ULONG_PTR, Entry> entries_;
  std::vector<ULONG_PTR> free_;
  ULONG_PTR next_ = 4;
};

}  // namespace plat
