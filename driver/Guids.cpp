// The one unit of the driver that defines the GUIDs it uses: the bus interfaces it answers and
// IUnknown of its kernel interface.
#include <initguid.h>
#include <punknown.h>
#include <wdmguid.h>
