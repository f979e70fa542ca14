// The plug-and-play GUIDs of bus interfaces, declared where Windows declares them: an image that
// uses one defines it in its unit that includes <initguid.h> first.
#pragma once

#include "../../neutral/include/guiddef.h"

DEFINE_GUID(GUID_BUS_INTERFACE_STANDARD, 0x496B8280, 0x6F25, 0x11D0, 0xBE, 0xAF, 0x08, 0x00, 0x2B, 0xE2, 0x09, 0x2F);
