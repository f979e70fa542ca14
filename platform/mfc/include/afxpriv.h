// The class library's private messages.
#pragma once

#include <afxwin.h>

// Sent to the top-level window of a modal loop each time its queue empties; nonzero asks for
// another round before the loop waits.
constexpr UINT WM_KICKIDLE = 0x036A;
