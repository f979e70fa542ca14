// MinGW-w64's kernel-streaming media header, with the extensible wave format's data format it
// lacks.
#pragma once

#include_next <ksmedia.h>

#include <pshpack1.h>
struct KSDATAFORMAT_WAVEFORMATEXTENSIBLE {
  KSDATAFORMAT DataFormat;
  WAVEFORMATEXTENSIBLE WaveFormatExt;
};
#include <poppack.h>
static_assert(sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE) == 104);
