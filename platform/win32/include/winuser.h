// The window manager (user32): windows and their classes, messages and queues, timers, focus and
// input, painting, dialogs and controls, message boxes, and resources found through a module handle.
// Functions a class library also names as members (MessageBox, SendMessage, ...) have their
// unsuffixed name as an inline function calling the A form, never a macro, so a member keeps its name.
#pragma once

#include <cstddef>

#include "windef.h"
#include "wingdi.h"

// Resources: an integer id travels in a name's pointer; the high bits are zero.
inline LPSTR MAKEINTRESOURCEA(WORD id) { return reinterpret_cast<LPSTR>(static_cast<ULONG_PTR>(id)); }
inline LPSTR MAKEINTRESOURCE(WORD id) { return MAKEINTRESOURCEA(id); }
inline bool IS_INTRESOURCE(const void* name) { return (reinterpret_cast<ULONG_PTR>(name) >> 16) == 0; }

#define RT_CURSOR MAKEINTRESOURCEA(1)
#define RT_BITMAP MAKEINTRESOURCEA(2)
#define RT_ICON MAKEINTRESOURCEA(3)
#define RT_MENU MAKEINTRESOURCEA(4)
#define RT_DIALOG MAKEINTRESOURCEA(5)
#define RT_STRING MAKEINTRESOURCEA(6)
#define RT_FONTDIR MAKEINTRESOURCEA(7)
#define RT_FONT MAKEINTRESOURCEA(8)
#define RT_ACCELERATOR MAKEINTRESOURCEA(9)
#define RT_RCDATA MAKEINTRESOURCEA(10)
#define RT_MESSAGETABLE MAKEINTRESOURCEA(11)
#define RT_GROUP_CURSOR MAKEINTRESOURCEA(12)
#define RT_GROUP_ICON MAKEINTRESOURCEA(14)
#define RT_VERSION MAKEINTRESOURCEA(16)
#define RT_DLGINIT MAKEINTRESOURCEA(240)
#define RT_MANIFEST MAKEINTRESOURCEA(24)

// The system's own cursors and icons, loaded with a null module.
#define IDC_ARROW MAKEINTRESOURCEA(32512)
#define IDC_IBEAM MAKEINTRESOURCEA(32513)
#define IDC_WAIT MAKEINTRESOURCEA(32514)
#define IDC_CROSS MAKEINTRESOURCEA(32515)
#define IDC_UPARROW MAKEINTRESOURCEA(32516)
#define IDC_SIZENWSE MAKEINTRESOURCEA(32642)
#define IDC_SIZENESW MAKEINTRESOURCEA(32643)
#define IDC_SIZEWE MAKEINTRESOURCEA(32644)
#define IDC_SIZENS MAKEINTRESOURCEA(32645)
#define IDC_SIZEALL MAKEINTRESOURCEA(32646)
#define IDC_NO MAKEINTRESOURCEA(32648)
#define IDC_HAND MAKEINTRESOURCEA(32649)
#define IDC_APPSTARTING MAKEINTRESOURCEA(32650)
#define IDC_HELP MAKEINTRESOURCEA(32651)
#define IDI_APPLICATION MAKEINTRESOURCEA(32512)
#define IDI_HAND MAKEINTRESOURCEA(32513)
#define IDI_QUESTION MAKEINTRESOURCEA(32514)
#define IDI_EXCLAMATION MAKEINTRESOURCEA(32515)
#define IDI_ASTERISK MAKEINTRESOURCEA(32516)
#define IDI_WARNING IDI_EXCLAMATION
#define IDI_ERROR IDI_HAND
#define IDI_INFORMATION IDI_ASTERISK

constexpr UINT IMAGE_BITMAP = 0;
constexpr UINT IMAGE_ICON = 1;
constexpr UINT IMAGE_CURSOR = 2;
constexpr UINT LR_DEFAULTCOLOR = 0x00000000;
constexpr UINT LR_MONOCHROME = 0x00000001;
constexpr UINT LR_COLOR = 0x00000002;
constexpr UINT LR_COPYRETURNORG = 0x00000004;
constexpr UINT LR_COPYDELETEORG = 0x00000008;
constexpr UINT LR_LOADFROMFILE = 0x00000010;
constexpr UINT LR_LOADTRANSPARENT = 0x00000020;
constexpr UINT LR_DEFAULTSIZE = 0x00000040;
constexpr UINT LR_VGACOLOR = 0x00000080;
constexpr UINT LR_LOADMAP3DCOLORS = 0x00001000;
constexpr UINT LR_CREATEDIBSECTION = 0x00002000;
constexpr UINT LR_COPYFROMRESOURCE = 0x00004000;
constexpr UINT LR_SHARED = 0x00008000;

// Resources are found once the loader knows the image: never during static initialisation.
int LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax);
HICON LoadIconA(HINSTANCE hInstance, LPCSTR lpIconName);
HCURSOR LoadCursorA(HINSTANCE hInstance, LPCSTR lpCursorName);
HBITMAP LoadBitmapA(HINSTANCE hInstance, LPCSTR lpBitmapName);
HANDLE LoadImageA(HINSTANCE hInst, LPCSTR name, UINT type, int cx, int cy, UINT fuLoad);
inline int LoadString(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax) {
  return LoadStringA(hInstance, uID, lpBuffer, cchBufferMax);
}
inline HICON LoadIcon(HINSTANCE hInstance, LPCSTR lpIconName) { return LoadIconA(hInstance, lpIconName); }
inline HCURSOR LoadCursor(HINSTANCE hInstance, LPCSTR lpCursorName) { return LoadCursorA(hInstance, lpCursorName); }
inline HBITMAP LoadBitmap(HINSTANCE hInstance, LPCSTR lpBitmapName) { return LoadBitmapA(hInstance, lpBitmapName); }
inline HANDLE LoadImage(HINSTANCE hInst, LPCSTR name, UINT type, int cx, int cy, UINT fuLoad) {
  return LoadImageA(hInst, name, type, cx, cy, fuLoad);
}
BOOL DestroyIcon(HICON hIcon);
BOOL DestroyCursor(HCURSOR hCursor);

// Show commands (ShowWindow, WinMain's nCmdShow, ShellExecute)
constexpr int SW_HIDE = 0;
constexpr int SW_SHOWNORMAL = 1;
constexpr int SW_NORMAL = 1;
constexpr int SW_SHOWMINIMIZED = 2;
constexpr int SW_SHOWMAXIMIZED = 3;
constexpr int SW_MAXIMIZE = 3;
constexpr int SW_SHOWNOACTIVATE = 4;
constexpr int SW_SHOW = 5;
constexpr int SW_MINIMIZE = 6;
constexpr int SW_SHOWMINNOACTIVE = 7;
constexpr int SW_SHOWNA = 8;
constexpr int SW_RESTORE = 9;
constexpr int SW_SHOWDEFAULT = 10;
constexpr int SW_FORCEMINIMIZE = 11;
