// MinGW-w64's kernel header, with what it lacks for C++ kernel code declared first.
#pragma once

// Its own interlocked bit tests clash with the compiler intrinsics' in C++; take the kernel's.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include_next <wdm.h>

#ifndef DECLSPEC_NOVTABLE
#define DECLSPEC_NOVTABLE
#endif
#ifndef DECLSPEC_NOTHROW
#define DECLSPEC_NOTHROW
#endif
