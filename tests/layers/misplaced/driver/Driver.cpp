#include <wdm.h>

#include "../sim/units/MainUnit.h"
#include "kframework/Framework.h"
#include "unit/Engine.h"
#include "wdm/Adapter.h"
#include DRIVER_HEADER
