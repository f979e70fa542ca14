// A user-mode folder uses Win32 and COM by their Windows names, and unit/'s shared records.
#pragma once

#include <mmdeviceapi.h>
#include <objbase.h>
#include <setupapi.h>
#include <windows.h>

#include "unit/ControlRequests.h"
#include "unit/PreferencesBlock.h"
#include "unit/SharedStateBlock.h"
