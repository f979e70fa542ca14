#include <afxcmn.h>

#include <cstring>

BOOL CToolTipCtrl::Create(CWnd* pParentWnd, DWORD dwStyle) {
  // A popup owned by the parent; it sizes and places itself each time it shows.
  return CreateEx(0, TOOLTIPS_CLASSA, nullptr, WS_POPUP | dwStyle, CRect(0, 0, 0, 0), pParentWnd, 0);
}

void CToolTipCtrl::FillInToolInfo(TOOLINFOA& toolInfo, CWnd* pWnd, UINT_PTR nIDTool) {
  std::memset(&toolInfo, 0, sizeof toolInfo);
  toolInfo.cbSize = sizeof toolInfo;
  const HWND hWnd = pWnd->GetSafeHwnd();
  if (nIDTool == 0) {
    // The window itself is the tool, under its parent.
    toolInfo.hwnd = ::GetParent(hWnd);
    toolInfo.uFlags = TTF_IDISHWND;
    toolInfo.uId = reinterpret_cast<UINT_PTR>(hWnd);
  } else {
    toolInfo.hwnd = hWnd;
    toolInfo.uId = nIDTool;
  }
}

BOOL CToolTipCtrl::AddTool(CWnd* pWnd, LPCSTR lpszText, LPCRECT lpRectTool, UINT_PTR nIDTool) {
  TOOLINFOA toolInfo;
  FillInToolInfo(toolInfo, pWnd, nIDTool);
  if (lpRectTool != nullptr) {
    toolInfo.rect = *lpRectTool;
  }
  toolInfo.lpszText = const_cast<LPSTR>(lpszText);
  return static_cast<BOOL>(SendMessage(TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&toolInfo)));
}

BOOL CToolTipCtrl::AddTool(CWnd* pWnd, UINT nIDText, LPCRECT lpRectTool, UINT_PTR nIDTool) {
  TOOLINFOA toolInfo;
  FillInToolInfo(toolInfo, pWnd, nIDTool);
  if (lpRectTool != nullptr) {
    toolInfo.rect = *lpRectTool;
  }
  toolInfo.hinst = AfxGetResourceHandle();
  toolInfo.lpszText = MAKEINTRESOURCEA(nIDText);
  return static_cast<BOOL>(SendMessage(TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&toolInfo)));
}

void CToolTipCtrl::DelTool(CWnd* pWnd, UINT_PTR nIDTool) {
  TOOLINFOA toolInfo;
  FillInToolInfo(toolInfo, pWnd, nIDTool);
  SendMessage(TTM_DELTOOLA, 0, reinterpret_cast<LPARAM>(&toolInfo));
}

void CToolTipCtrl::UpdateTipText(LPCSTR lpszText, CWnd* pWnd, UINT_PTR nIDTool) {
  TOOLINFOA toolInfo;
  FillInToolInfo(toolInfo, pWnd, nIDTool);
  toolInfo.lpszText = const_cast<LPSTR>(lpszText);
  SendMessage(TTM_UPDATETIPTEXTA, 0, reinterpret_cast<LPARAM>(&toolInfo));
}

void CToolTipCtrl::UpdateTipText(UINT nIDText, CWnd* pWnd, UINT_PTR nIDTool) {
  TOOLINFOA toolInfo;
  FillInToolInfo(toolInfo, pWnd, nIDTool);
  toolInfo.hinst = AfxGetResourceHandle();
  toolInfo.lpszText = MAKEINTRESOURCEA(nIDText);
  SendMessage(TTM_UPDATETIPTEXTA, 0, reinterpret_cast<LPARAM>(&toolInfo));
}

void CToolTipCtrl::GetText(CString& str, CWnd* pWnd, UINT_PTR nIDTool) const {
  char text[256] = {};
  TOOLINFOA toolInfo;
  FillInToolInfo(toolInfo, pWnd, nIDTool);
  toolInfo.lpszText = text;
  SendMessage(TTM_GETTEXTA, sizeof text, reinterpret_cast<LPARAM>(&toolInfo));
  str = text;
}

void CToolTipCtrl::SetToolRect(CWnd* pWnd, UINT_PTR nIDTool, LPCRECT lpRect) {
  TOOLINFOA toolInfo;
  FillInToolInfo(toolInfo, pWnd, nIDTool);
  toolInfo.rect = *lpRect;
  SendMessage(TTM_NEWTOOLRECTA, 0, reinterpret_cast<LPARAM>(&toolInfo));
}

BOOL CToolTipCtrl::GetToolInfo(TOOLINFOA& toolInfo, CWnd* pWnd, UINT_PTR nIDTool) const {
  FillInToolInfo(toolInfo, pWnd, nIDTool);
  return static_cast<BOOL>(SendMessage(TTM_GETTOOLINFOA, 0, reinterpret_cast<LPARAM>(&toolInfo)));
}
