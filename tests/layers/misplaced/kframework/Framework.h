// A kernel-mode folder that reaches user mode, the stand-ins' own headers and the hardware.
#pragma once

#include <wdm.h>
#include <windows.h>
#include <mmdeviceapi.h>
#include "platform/kernel/PnpManager.h"
#include "sim/bus/Bus.h"
