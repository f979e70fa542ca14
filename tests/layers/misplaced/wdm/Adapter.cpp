#include <portcls.h>

#include "driver/PdoDirectInterface.h"
#include "driver/QX531PnpDevice.h"
#include "unit/QX531Device.h"
