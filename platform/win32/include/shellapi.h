// The shell's ShellExecute. Nothing is started on this machine: each call is recorded for the
// session (platform/win32/Shell.h) and answers as a successful start does.
#pragma once

#include "winuser.h"

// Results at or below this value are errors.
constexpr INT_PTR SE_ERR_LAST = 32;
constexpr INT_PTR SE_ERR_FNF = 2;
constexpr INT_PTR SE_ERR_PNF = 3;
constexpr INT_PTR SE_ERR_ACCESSDENIED = 5;
constexpr INT_PTR SE_ERR_OOM = 8;
constexpr INT_PTR SE_ERR_SHARE = 26;
constexpr INT_PTR SE_ERR_ASSOCINCOMPLETE = 27;
constexpr INT_PTR SE_ERR_DDETIMEOUT = 28;
constexpr INT_PTR SE_ERR_DDEFAIL = 29;
constexpr INT_PTR SE_ERR_DDEBUSY = 30;
constexpr INT_PTR SE_ERR_NOASSOC = 31;
constexpr INT_PTR SE_ERR_DLLNOTFOUND = 32;

HINSTANCE ShellExecuteA(HWND hwnd, LPCSTR lpOperation, LPCSTR lpFile, LPCSTR lpParameters, LPCSTR lpDirectory,
                        INT nShowCmd);
