// The kernel for file-system-level callers, a superset of ntddk.h: on Windows the object manager's
// name query (ObQueryNameString) and the process attach (KeStackAttachProcess) are declared here,
// so code that uses them includes it.
#pragma once

#include "ntddk.h"
#include "../ProcessAttach.h"
