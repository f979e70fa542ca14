// A resource script takes its art as the build hands it over.
#include "logo.bmp.h"
