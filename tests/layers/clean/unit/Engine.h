// unit/ uses the standard library and the compiler's intrinsic and CPU-feature headers.
#pragma once

#include <cpuid.h>
#include <immintrin.h>
#include <x86intrin.h>

#include <cstdint>
#include <string.h>
#include <vector>

#include "Records.h"
#include "unit/Records.h"
