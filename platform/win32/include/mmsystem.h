// The multimedia timer: milliseconds of the machine's virtual clock.
#pragma once

#include "wintypes.h"

DWORD timeGetTime();
