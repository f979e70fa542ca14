// A user-mode folder uses the same header.
#pragma once

#include <shareddefs.h>
