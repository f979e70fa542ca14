// unit/ may use the standard library and intrinsics only.
#include <immintrin.h>
#include <wdm.h>
#include <gtest/gtest.h>

#include <cstdint>

#include "kframework/Framework.h"
