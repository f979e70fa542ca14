// The shell's ShellExecute. Nothing is started on this machine: each call is recorded for the
// session (platform/win32/Shell.h) and answers as a successful start does.
#pragma once

#include "winuser.h"

// Results at or below this value are errors.
constexpr INT_PTR SE_ERR_LAST = 32;
constexpr INT_PTR SE_ERR_FNF = 2;

HINSTANCE ShellExecuteA(HWND hwnd, LPCSTR lpOperation, LPCSTR lpFile, LPCSTR lpParameters, LPCSTR lpDirectory,
                        INT nShowCmd);
