// The kernel for drivers that are not only WDM drivers: all of wdm.h. The routines that only
// ntddk.h declares on Windows are added here when a driver needs one.
#pragma once

#include "wdm.h"
