// The kernel-streaming and port class GUIDs, defined once in the platform for its own use and for
// test adapters; each driver image defines its own in a unit like this one.
#include "platform/neutral/include/initguid.h"
#include "platform/portcls/include/ksguid.h"
#include "platform/portcls/include/portcls.h"
