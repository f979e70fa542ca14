#include <afxwin.h>

CDC* AfxDCFromHandle(HDC hDC) { return CDC::FromHandle(hDC); }

CWnd* AfxWndFromHandle(HWND hWnd) { return CWnd::FromHandle(hWnd); }
