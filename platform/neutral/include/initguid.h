// Included first by the one unit of an image that defines the named GUIDs of the headers it
// includes after it; everywhere else they are only declared.
#define INITGUID
#include "guiddef.h"

#undef DEFINE_GUID
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
  EXTERN_C const GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
