// The kernel for file-system-level callers, a superset of ntddk.h: on Windows the object manager's
// name query (ObQueryNameString) is declared here, so code that asks an object's name includes it.
#pragma once

#include "ntddk.h"
