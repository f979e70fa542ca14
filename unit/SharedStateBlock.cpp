#include "unit/SharedStateBlock.h"

void SharedStateBlock::SetOpticalOutCode(uint32_t opticalOut, uint32_t coaxOut) {
  switch (opticalOut) {
    case 1: mOpticalOutCode = 6; break;
    case 2: mOpticalOutCode = 2; break;
    case 3: mOpticalOutCode = 3; break;
    case 4:
      if (coaxOut == 1) mOpticalOutCode = 5;
      if (coaxOut == 2) mOpticalOutCode = 4;
      break;
    default: break;
  }
}

void SharedStateBlock::SetCoaxOutCode(uint32_t coaxOut) {
  if (coaxOut == 1) mCoaxOutCode = 5;
  if (coaxOut == 2) mCoaxOutCode = 4;
}

void SharedStateBlock::SetSpdifInCodes(uint32_t spdifIn) {
  if (spdifIn == 1) {
    mSpdifInCodeA = 6;
    mSpdifInCodeB = 5;
  }
  if (spdifIn == 2) {
    mSpdifInCodeA = 5;
    mSpdifInCodeB = 1;
  }
}
