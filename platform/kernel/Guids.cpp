// The kernel's own copy of the bus-interface GUIDs it asks and answers with.
#include "platform/neutral/include/initguid.h"
#include "platform/kernel/include/wdmguid.h"
