#include <afxdlgs.h>

#include <cstring>

namespace {
constexpr UINT kMouseLast = 0x020E;
}  // namespace

BEGIN_MESSAGE_MAP(CPropertySheet, CWnd)
ON_MESSAGE(WM_INITDIALOG, HandleInitDialog)
END_MESSAGE_MAP()

CPropertySheet::CPropertySheet(UINT nIDCaption, CWnd* pParentWnd, UINT iSelectPage) : m_nIDCaption(nIDCaption) {
  CommonConstruct(pParentWnd, iSelectPage);
}

CPropertySheet::CPropertySheet(LPCSTR pszCaption, CWnd* pParentWnd, UINT iSelectPage) : m_strCaption(pszCaption) {
  CommonConstruct(pParentWnd, iSelectPage);
}

void CPropertySheet::CommonConstruct(CWnd* pParentWnd, UINT iSelectPage) {
  m_psh.dwSize = sizeof(PROPSHEETHEADERA);
  m_psh.dwFlags = PSH_PROPSHEETPAGE;
  m_psh.nStartPage = iSelectPage;
  m_pParentWnd = pParentWnd;
}

void CPropertySheet::AddPage(CPropertyPage* pPage) { m_pages.push_back(pPage); }

int CPropertySheet::GetPageIndex(CPropertyPage* pPage) const {
  for (size_t i = 0; i < m_pages.size(); ++i) {
    if (m_pages[i] == pPage) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

CPropertyPage* CPropertySheet::GetActivePage() const {
  if (m_hWnd == nullptr) {
    return m_psh.nStartPage < m_pages.size() ? m_pages[m_psh.nStartPage] : nullptr;
  }
  const auto current = reinterpret_cast<HWND>(SendMessage(PSM_GETCURRENTPAGEHWND));
  for (CPropertyPage* page : m_pages) {
    if (current != nullptr && page->m_hWnd == current) {
      return page;
    }
  }
  return nullptr;
}

int CPropertySheet::GetActiveIndex() const {
  if (m_hWnd == nullptr) {
    return static_cast<int>(m_psh.nStartPage);
  }
  CPropertyPage* const page = GetActivePage();
  return page != nullptr ? GetPageIndex(page) : -1;
}

BOOL CPropertySheet::SetActivePage(int nPage) {
  if (nPage < 0 || nPage >= GetPageCount()) {
    return FALSE;
  }
  if (m_hWnd == nullptr) {
    m_psh.nStartPage = static_cast<UINT>(nPage);
    return TRUE;
  }
  return SendMessage(PSM_SETCURSEL, static_cast<WPARAM>(nPage)) != 0;
}

BOOL CPropertySheet::SetActivePage(CPropertyPage* pPage) { return SetActivePage(GetPageIndex(pPage)); }

CWnd* CPropertySheet::GetTabControl() const { return FromHandle(reinterpret_cast<HWND>(SendMessage(PSM_GETTABCONTROL))); }

void CPropertySheet::BuildPropPageArray() {
  // The records one after another, each as long as its own size says.
  m_records.clear();
  for (CPropertyPage* page : m_pages) {
    page->PrepareRecord();
    const auto* bytes = reinterpret_cast<const BYTE*>(&page->m_psp);
    m_records.insert(m_records.end(), bytes, bytes + page->m_psp.dwSize);
  }
  if (m_nIDCaption != 0) {
    m_strCaption.LoadString(m_nIDCaption);
  }
  m_psh.dwFlags |= PSH_PROPSHEETPAGE;
  m_psh.hInstance = AfxGetResourceHandle();
  m_psh.pszCaption = m_strCaption;
  m_psh.nPages = static_cast<UINT>(m_pages.size());
  m_psh.ppsp = reinterpret_cast<LPCPROPSHEETPAGEA>(m_records.data());
}

INT_PTR CPropertySheet::DoModal() {
  HWND parent = m_pParentWnd != nullptr ? m_pParentWnd->m_hWnd : nullptr;
  if (parent == nullptr && AfxGetApp() != nullptr && AfxGetApp()->m_pMainWnd != this &&
      AfxGetApp()->m_pMainWnd != nullptr) {
    parent = AfxGetApp()->m_pMainWnd->m_hWnd;
  }
  const HWND owner = parent != nullptr ? ::GetAncestor(parent, GA_ROOT) : nullptr;
  BuildPropPageArray();
  m_psh.hwndParent = owner;
  const BOOL enableOwner = owner != nullptr && ::IsWindowEnabled(owner);
  if (enableOwner) {
    ::EnableWindow(owner, FALSE);
  }
  m_nModalResult = IDCANCEL;
  m_nFlags |= WF_CONTINUEMODAL;
  m_psh.dwFlags |= PSH_MODELESS;
  AfxHookWindowCreate(this);
  const INT_PTR made = ::PropertySheetA(&m_psh);
  AfxUnhookWindowCreate();
  m_psh.dwFlags &= ~PSH_MODELESS;
  if (made == 0 || made == -1 || m_hWnd == nullptr) {
    m_nFlags &= ~WF_CONTINUEMODAL;
    if (enableOwner) {
      ::EnableWindow(owner, TRUE);
    }
    return -1;
  }
  if ((m_nFlags & WF_CONTINUEMODAL) != 0) {
    RunModalLoop(MLF_SHOWONIDLE);
  }
  m_nFlags &= ~WF_CONTINUEMODAL;
  const INT_PTR result = m_nModalResult;
  if (enableOwner) {
    ::EnableWindow(owner, TRUE);
  }
  if (owner != nullptr && m_hWnd != nullptr && ::GetActiveWindow() == m_hWnd) {
    ::SetActiveWindow(owner);
  }
  DestroyWindow();
  return result;
}

LRESULT CPropertySheet::HandleInitDialog(WPARAM, LPARAM) { return OnInitDialog(); }

BOOL CPropertySheet::OnInitDialog() { return static_cast<BOOL>(Default()); }

BOOL CPropertySheet::OnCommand(WPARAM wParam, LPARAM lParam) {
  if (CWnd::OnCommand(wParam, lParam)) {
    return TRUE;
  }
  const auto hWndCtrl = reinterpret_cast<HWND>(lParam);
  if (hWndCtrl != nullptr && HIWORD(wParam) == BN_CLICKED &&
      (::SendMessageA(hWndCtrl, WM_GETDLGCODE, 0, 0) & (DLGC_BUTTON | DLGC_DEFPUSHBUTTON)) != 0) {
    const DWORD kind = static_cast<DWORD>(::GetWindowLongA(hWndCtrl, GWL_STYLE)) & 0x0F;
    if (kind == BS_PUSHBUTTON || kind == BS_DEFPUSHBUTTON || kind == BS_USERBUTTON || kind == BS_OWNERDRAW) {
      m_nModalResult = LOWORD(wParam);
    }
  }
  // The sheet's own handling of its buttons runs next.
  return FALSE;
}

BOOL CPropertySheet::ContinueModal() {
  // A sheet that OK or Cancel ended has no current page.
  return CWnd::ContinueModal() && SendMessage(PSM_GETCURRENTPAGEHWND) != 0;
}

BOOL CPropertySheet::PreTranslateMessage(MSG* pMsg) {
  const bool input = (pMsg->message >= WM_KEYFIRST && pMsg->message <= WM_KEYLAST) ||
                     (pMsg->message >= WM_MOUSEFIRST && pMsg->message <= kMouseLast);
  return input && ::IsDialogMessageA(m_hWnd, pMsg);
}
