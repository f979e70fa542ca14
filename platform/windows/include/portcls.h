// MinGW-w64's port class header, with the kernel-streaming declarations it uses but lacks.
#pragma once

#include <wdm.h>

// ksmedia.h names it in a user-mode record; kernel code has no TCHAR.
typedef CHAR TCHAR;

struct KSRTAUDIO_HWLATENCY {
  ULONG FifoSize;
  ULONG ChipsetDelay;
  ULONG CodecDelay;
};

struct KSRTAUDIO_HWREGISTER {
  PVOID Register;
  ULONG Width;
  ULONGLONG Numerator;
  ULONGLONG Denominator;
  ULONG Accuracy;
};

#include_next <portcls.h>
