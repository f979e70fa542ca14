// A kernel-mode folder uses a header both modes share.
#pragma once

#include <shareddefs.h>
