// What CreateWindowExA asks of the thread's computer-based-training hooks.
#pragma once

#include "platform/win32/include/windows.h"

namespace plat::win32 {

// Runs the calling thread's WH_CBT hooks, newest first, each passing on through CallNextHookEx;
// nonzero from the chain refuses the action.
LRESULT CallCbtHooks(int code, WPARAM wParam, LPARAM lParam);

}  // namespace plat::win32
