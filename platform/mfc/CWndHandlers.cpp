// A window's default handlers: each hands the message being handled to the window's own procedure.
#include <afxwin.h>

BOOL CWnd::OnEraseBkgnd(CDC*) { return static_cast<BOOL>(Default()); }

void CWnd::OnHScroll(UINT, UINT, CScrollBar*) { Default(); }

void CWnd::OnVScroll(UINT, UINT, CScrollBar*) { Default(); }

BOOL CWnd::OnSetCursor(CWnd*, UINT, UINT) { return static_cast<BOOL>(Default()); }

HBRUSH CWnd::OnCtlColor(CDC*, CWnd*, UINT) { return reinterpret_cast<HBRUSH>(Default()); }

void CWnd::OnMouseMove(UINT, CPoint) { Default(); }

void CWnd::OnLButtonDown(UINT, CPoint) { Default(); }

void CWnd::OnLButtonUp(UINT, CPoint) { Default(); }

void CWnd::OnLButtonDblClk(UINT, CPoint) { Default(); }

void CWnd::OnRButtonDown(UINT, CPoint) { Default(); }

void CWnd::OnRButtonUp(UINT, CPoint) { Default(); }

void CWnd::OnKeyDown(UINT, UINT, UINT) { Default(); }

void CWnd::OnKeyUp(UINT, UINT, UINT) { Default(); }

void CWnd::OnChar(UINT, UINT, UINT) { Default(); }

UINT CWnd::OnGetDlgCode() { return static_cast<UINT>(Default()); }

void CWnd::OnSetFocus(CWnd*) { Default(); }

void CWnd::OnKillFocus(CWnd*) { Default(); }

void CWnd::OnSize(UINT, int, int) { Default(); }

int CWnd::OnCreate(LPCREATESTRUCTA) { return static_cast<int>(Default()); }

void CWnd::OnClose() { Default(); }

void CWnd::OnShowWindow(BOOL, UINT) { Default(); }

void CWnd::OnSysCommand(UINT, LPARAM) { Default(); }

BOOL CWnd::OnDeviceChange(UINT, DWORD_PTR) { return static_cast<BOOL>(Default()); }

void CWnd::OnWindowPosChanging(WINDOWPOS*) { Default(); }
