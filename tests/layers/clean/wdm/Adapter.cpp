// The audio adapter reaches the kernel driver only through what it publishes for it.
#include <portcls.h>

#include "driver/MidiParser.h"
#include "driver/PdoDirectInterface.h"
#include "kframework/Framework.h"
