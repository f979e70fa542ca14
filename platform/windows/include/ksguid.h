// MinGW-w64's mmreg.h and ksmedia.h both define three wave-format GUIDs once ksguid.h turns
// declarations into definitions; mmreg.h skips its copies of names already given, so ksmedia.h's
// are the only ones.
#pragma once

#define STATIC_KSDATAFORMAT_SUBTYPE_PCM
#define STATIC_KSDATAFORMAT_SUBTYPE_IEEE_FLOAT
#define STATIC_KSDATAFORMAT_SUBTYPE_WAVEFORMATEX
#include_next <ksguid.h>
