// Included first by the one unit of an image that defines the kernel-streaming GUIDs of the
// headers it includes after it.
#pragma once

#include "../../neutral/include/initguid.h"

#define DEFINE_GUIDEX(name) EXTERN_C const GUID name = {STATICGUIDOF(name)}
