#include "driver/PdoDirectInterface.h"

#include <wdm.h>

#include "kframework/Framework.h"
#include "unit/Engine.h"
