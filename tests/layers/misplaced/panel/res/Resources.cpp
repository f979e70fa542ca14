#include "logo.bmp.h"
