// The one unit of the adapter that defines the GUIDs it uses: port class's interfaces and classes,
// the kernel-streaming formats, categories and names, and the adapter's own interface.
#include <initguid.h>
#include <ksguid.h>
#include <portcls.h>

#include "wdm/WdmAdapterCommon.h"
