// The entries of the direct-call table, over the unit's function device.
#pragma once

#include <wdm.h>

#include "driver/PdoDirectInterface.h"

class QX531PnpDevice;

// Fills the whole table; its Context is the function device.
void FillPdoDirectInterface(PdoDirectInterface* table, QX531PnpDevice* device);
