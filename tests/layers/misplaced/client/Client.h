// A user-mode folder that reaches kernel mode and unit/ beyond its shared records.
#pragma once

#include <windows.h>
#include <ntddk.h>
#include <wdmsec.h>

#include "unit/PreferencesBlock.h"
#include "unit/QX531Device.h"
