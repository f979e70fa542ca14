#include <afxwin.h>

#include <memory>
#include <unordered_map>

namespace {

// The image's handle maps, made on first use so no static constructor order matters.
struct HandleMaps {
  std::unordered_map<HWND, CWnd*> permanent;
  std::unordered_map<HWND, std::unique_ptr<CWnd>> temporary;
};

HandleMaps& Maps() {
  static HandleMaps maps;
  return maps;
}

// The message the window procedure is handling, for GetCurrentMessage and Default.
MSG g_lastSentMsg{};
// The object whose window CreateEx is making: its window's first message attaches it.
CWnd* g_wndInit = nullptr;
// The class CreateEx registers for windows made without a class name.
constexpr char kAfxWndClass[] = "AfxWnd";

bool IsCtlColor(UINT message) { return message >= WM_CTLCOLORMSGBOX && message <= WM_CTLCOLORSTATIC; }

}  // namespace

CWnd::~CWnd() {
  if (m_hWnd != nullptr && Maps().permanent.contains(m_hWnd) && Maps().permanent[m_hWnd] == this) {
    // An object going before its window: the window runs on without it.
    if (::IsWindow(m_hWnd)) {
      UnsubclassWindow();
    } else {
      Detach();
    }
  }
}

CWnd* CWnd::FromHandlePermanent(HWND hWnd) {
  const auto found = Maps().permanent.find(hWnd);
  return found != Maps().permanent.end() ? found->second : nullptr;
}

CWnd* CWnd::FromHandle(HWND hWnd) {
  if (hWnd == nullptr) {
    return nullptr;
  }
  if (CWnd* wnd = FromHandlePermanent(hWnd)) {
    return wnd;
  }
  std::unique_ptr<CWnd>& temporary = Maps().temporary[hWnd];
  if (temporary == nullptr) {
    temporary = std::make_unique<CWnd>();
    temporary->m_hWnd = hWnd;
  }
  return temporary.get();
}

void CWnd::DeleteTempMap() {
  std::erase_if(Maps().temporary, [](const auto& entry) { return !::IsWindow(entry.first); });
}

BOOL CWnd::Attach(HWND hWndNew) {
  if (hWndNew == nullptr || FromHandlePermanent(hWndNew) != nullptr) {
    return FALSE;
  }
  m_hWnd = hWndNew;
  Maps().permanent[hWndNew] = this;
  return TRUE;
}

HWND CWnd::Detach() {
  const HWND hWnd = m_hWnd;
  if (hWnd != nullptr) {
    Maps().permanent.erase(hWnd);
  }
  m_hWnd = nullptr;
  return hWnd;
}

BOOL CWnd::SubclassWindow(HWND hWnd) {
  if (!Attach(hWnd)) {
    return FALSE;
  }
  PreSubclassWindow();
  const auto previous = reinterpret_cast<WNDPROC>(
      ::SetWindowLongPtrA(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CWnd::AfxWndProc)));
  if (previous != &CWnd::AfxWndProc) {
    m_pfnSuper = previous;
  }
  return TRUE;
}

BOOL CWnd::SubclassDlgItem(UINT nID, CWnd* pParent) {
  const HWND hWndControl = ::GetDlgItem(pParent->m_hWnd, static_cast<int>(nID));
  return hWndControl != nullptr && SubclassWindow(hWndControl);
}

HWND CWnd::UnsubclassWindow() {
  if (m_pfnSuper != nullptr) {
    ::SetWindowLongPtrA(m_hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_pfnSuper));
    m_pfnSuper = nullptr;
  }
  return Detach();
}

BOOL CWnd::CreateEx(DWORD dwExStyle, LPCSTR lpszClassName, LPCSTR lpszWindowName, DWORD dwStyle, const RECT& rect,
                    CWnd* pParentWnd, UINT nID, LPVOID lpParam) {
  if (lpszClassName == nullptr) {
    WNDCLASSA wc{};
    if (!::GetClassInfoA(AfxGetInstanceHandle(), kAfxWndClass, &wc)) {
      wc.style = CS_DBLCLKS;
      wc.lpfnWndProc = &CWnd::AfxWndProc;
      wc.hInstance = AfxGetInstanceHandle();
      wc.hCursor = ::LoadCursorA(nullptr, IDC_ARROW);
      wc.lpszClassName = kAfxWndClass;
      if (!::RegisterClassA(&wc)) {
        return FALSE;
      }
    }
    lpszClassName = kAfxWndClass;
  }
  CWnd* const outer = g_wndInit;
  g_wndInit = this;
  const HWND hWnd = ::CreateWindowExA(
      dwExStyle, lpszClassName, lpszWindowName, dwStyle, rect.left, rect.top, rect.right - rect.left,
      rect.bottom - rect.top, pParentWnd != nullptr ? pParentWnd->m_hWnd : nullptr,
      (dwStyle & WS_CHILD) != 0 ? reinterpret_cast<HMENU>(static_cast<UINT_PTR>(nID)) : nullptr,
      AfxGetInstanceHandle(), lpParam);
  g_wndInit = outer;
  if (hWnd == nullptr) {
    return FALSE;
  }
  // A window of another class is taken over once made; its creation messages went past.
  if (m_hWnd == nullptr) {
    SubclassWindow(hWnd);
  }
  return m_hWnd == hWnd;
}

BOOL CWnd::Create(LPCSTR lpszClassName, LPCSTR lpszWindowName, DWORD dwStyle, const RECT& rect, CWnd* pParentWnd,
                  UINT nID) {
  return CreateEx(0, lpszClassName, lpszWindowName, dwStyle | WS_CHILD, rect, pParentWnd, nID);
}

BOOL CWnd::DestroyWindow() { return m_hWnd != nullptr && ::DestroyWindow(m_hWnd); }

CWnd* CWnd::GetDlgItem(int nID) const { return FromHandle(::GetDlgItem(m_hWnd, nID)); }

CWnd* CWnd::GetParent() const { return FromHandle(::GetParent(m_hWnd)); }

CWnd* CWnd::GetTopLevelParent() const { return FromHandle(::GetAncestor(m_hWnd, GA_ROOT)); }

void CWnd::GetWindowText(CString& rString) const {
  const int length = ::GetWindowTextLengthA(m_hWnd);
  ::GetWindowTextA(m_hWnd, rString.GetBufferSetLength(length), length + 1);
  rString.ReleaseBuffer();
}

BOOL CWnd::ModifyStyle(DWORD dwRemove, DWORD dwAdd, UINT nFlags) {
  const DWORD style = GetStyle();
  const DWORD newStyle = (style & ~dwRemove) | dwAdd;
  if (style == newStyle) {
    return FALSE;
  }
  ::SetWindowLongA(m_hWnd, GWL_STYLE, static_cast<LONG>(newStyle));
  if (nFlags != 0) {
    ::SetWindowPos(m_hWnd, nullptr, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE | nFlags);
  }
  return TRUE;
}

void CWnd::ScreenToClient(LPRECT lpRect) const {
  ::MapWindowPoints(nullptr, m_hWnd, reinterpret_cast<LPPOINT>(lpRect), 2);
}

void CWnd::SendMessageToDescendants(UINT message, WPARAM wParam, LPARAM lParam, BOOL bDeep, BOOL bOnlyPerm) const {
  for (HWND child = ::GetWindow(m_hWnd, GW_CHILD); child != nullptr; child = ::GetWindow(child, GW_HWNDNEXT)) {
    if (bOnlyPerm) {
      if (CWnd* wnd = FromHandlePermanent(child)) {
        wnd->WindowProc(message, wParam, lParam);
      }
    } else {
      ::SendMessageA(child, message, wParam, lParam);
    }
    if (bDeep) {
      FromHandle(child)->SendMessageToDescendants(message, wParam, lParam, bDeep, bOnlyPerm);
    }
  }
}

int CWnd::MessageBox(LPCSTR lpszText, LPCSTR lpszCaption, UINT nType) {
  if (lpszCaption == nullptr && AfxGetApp() != nullptr) {
    lpszCaption = AfxGetApp()->m_pszAppName;
  }
  return ::MessageBoxA(m_hWnd, lpszText, lpszCaption, nType);
}

const MSG* CWnd::GetCurrentMessage() { return &g_lastSentMsg; }

LRESULT CWnd::Default() { return DefWindowProc(g_lastSentMsg.message, g_lastSentMsg.wParam, g_lastSentMsg.lParam); }

BOOL CWnd::PreTranslateMessage(MSG*) { return FALSE; }

void CWnd::PreSubclassWindow() {}

void CWnd::PostNcDestroy() {}

void CWnd::OnTimer(UINT_PTR) { Default(); }

void CWnd::OnDestroy() { Default(); }

void CWnd::OnPaint() { Default(); }

LRESULT CWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  LRESULT result = 0;
  if (!OnWndMsg(message, wParam, lParam, &result)) {
    result = DefWindowProc(message, wParam, lParam);
  }
  return result;
}

LRESULT CWnd::DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  if (m_pfnSuper != nullptr) {
    return ::CallWindowProcA(m_pfnSuper, m_hWnd, message, wParam, lParam);
  }
  return ::DefWindowProcA(m_hWnd, message, wParam, lParam);
}

BOOL CWnd::OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult) {
  *pResult = 0;
  if (message == WM_COMMAND) {
    return OnCommand(wParam, lParam);
  }
  if (message == WM_NOTIFY) {
    return OnNotify(wParam, lParam, pResult);
  }
  if (IsCtlColor(message)) {
    // The control asked about colours first; its answer stands.
    if (CWnd* control = FromHandlePermanent(reinterpret_cast<HWND>(lParam));
        control != nullptr && control->OnChildNotify(message, wParam, lParam, pResult)) {
      return TRUE;
    }
  }
  // One map entry serves every WM_CTLCOLOR*; its handler is told which.
  return DispatchToMap(IsCtlColor(message) ? WM_CTLCOLOR : message, 0, 0, wParam, lParam, pResult, message);
}

BOOL CWnd::OnCommand(WPARAM wParam, LPARAM lParam) {
  const UINT nID = LOWORD(wParam);
  const UINT nCode = HIWORD(wParam);
  const auto hWndControl = reinterpret_cast<HWND>(lParam);
  if (hWndControl != nullptr) {
    LRESULT ignored = 0;
    if (CWnd* control = FromHandlePermanent(hWndControl);
        control != nullptr && control->OnChildNotify(WM_COMMAND, wParam, lParam, &ignored)) {
      return TRUE;
    }
  }
  return OnCmdMsg(nID, static_cast<int>(nCode), nullptr, nullptr);
}

BOOL CWnd::OnNotify(WPARAM wParam, LPARAM lParam, LRESULT* pResult) {
  const auto* header = reinterpret_cast<const NMHDR*>(lParam);
  if (CWnd* control = FromHandlePermanent(header->hwndFrom);
      control != nullptr && control->OnChildNotify(WM_NOTIFY, wParam, lParam, pResult)) {
    return TRUE;
  }
  return DispatchToMap(WM_NOTIFY, header->code, static_cast<UINT>(header->idFrom), wParam, lParam, pResult);
}

BOOL CWnd::OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult) {
  return ReflectChildNotify(message, wParam, lParam, pResult);
}

BOOL CWnd::ReflectChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult) {
  if (message == WM_COMMAND) {
    return DispatchToMap(WM_REFLECT_BASE + WM_COMMAND, HIWORD(wParam), 0, wParam, lParam, pResult);
  }
  if (message == WM_NOTIFY) {
    const auto* header = reinterpret_cast<const NMHDR*>(lParam);
    return DispatchToMap(WM_REFLECT_BASE + WM_NOTIFY, header->code, 0, wParam, lParam, pResult);
  }
  if (IsCtlColor(message)) {
    // One reflected entry serves every WM_CTLCOLOR*; its handler is told which.
    return DispatchToMap(WM_REFLECT_BASE + WM_CTLCOLOR, 0, 0, wParam, lParam, pResult, message);
  }
  return FALSE;
}

void CWnd::WalkPreTranslateTree(HWND hWndStop, MSG* pMsg, BOOL* pHandled) {
  for (HWND hWnd = pMsg->hwnd; hWnd != nullptr; hWnd = ::GetParent(hWnd)) {
    if (CWnd* wnd = FromHandlePermanent(hWnd); wnd != nullptr && wnd->PreTranslateMessage(pMsg)) {
      *pHandled = TRUE;
      return;
    }
    if (hWnd == hWndStop || (::GetWindowLongA(hWnd, GWL_STYLE) & WS_CHILD) == 0) {
      break;
    }
  }
  *pHandled = FALSE;
}

LRESULT CALLBACK CWnd::AfxWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
  CWnd* wnd = FromHandlePermanent(hWnd);
  if (wnd == nullptr && g_wndInit != nullptr && g_wndInit->m_hWnd == nullptr) {
    wnd = g_wndInit;
    wnd->Attach(hWnd);
    wnd->PreSubclassWindow();
  }
  if (wnd == nullptr) {
    return ::DefWindowProcA(hWnd, message, wParam, lParam);
  }
  const MSG outer = g_lastSentMsg;
  g_lastSentMsg = MSG{hWnd, message, wParam, lParam, 0, {}};
  const LRESULT result = wnd->WindowProc(message, wParam, lParam);
  g_lastSentMsg = outer;
  if (message == WM_NCDESTROY && wnd->m_hWnd == hWnd) {
    wnd->UnsubclassWindow();
    wnd->PostNcDestroy();
  }
  return result;
}
