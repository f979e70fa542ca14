// Attaching a thread to another process's address space, which Windows declares for
// file-system-level callers (<ntifs.h>) rather than in <wdm.h>.
#pragma once

#include "Process.h"

// What an attach keeps for its detach; opaque to drivers.
struct KAPC_STATE {
  PVOID Process;
  PVOID Previous;
  PVOID Thread;
};
using PKAPC_STATE = KAPC_STATE*;
using PRKAPC_STATE = KAPC_STATE*;
using PRKPROCESS = EPROCESS*;

// Up to APC_LEVEL. The current thread works in the address space (mappings, handle table) of
// `Process`, which must not have ended and must be referenced by the caller, until the matching
// detach; attaches nest and are undone in reverse order on the thread that made them.
VOID KeStackAttachProcess(PRKPROCESS Process, PRKAPC_STATE ApcState);
VOID KeUnstackDetachProcess(PRKAPC_STATE ApcState);
