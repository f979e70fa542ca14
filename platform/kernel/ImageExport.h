// How a stand-in header marks a routine an image exports. Images are built with hidden symbols
// (cmake/QxTargets.cmake), so a name the loader looks up must be declared with this by the
// platform header that names it: DriverEntry by <wdm.h>; a DLL's DllMain, a program's entry and
// the COM exports by the user-mode stand-ins that declare them.
#pragma once

#define QX_IMAGE_EXPORT __attribute__((visibility("default")))
