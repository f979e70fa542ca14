#include "ModalSupport.h"

ModalOwner::ModalOwner(const CWnd* pParentWnd, const CWnd* pModal) {
  HWND parent = pParentWnd != nullptr ? pParentWnd->m_hWnd : nullptr;
  const CWnd* const main = AfxGetApp() != nullptr ? AfxGetApp()->m_pMainWnd : nullptr;
  if (parent == nullptr && main != nullptr && main != pModal) {
    parent = main->m_hWnd;
  }
  m_hWnd = parent != nullptr ? ::GetAncestor(parent, GA_ROOT) : nullptr;
  m_bEnable = m_hWnd != nullptr && ::IsWindowEnabled(m_hWnd);
  if (m_bEnable) {
    ::EnableWindow(m_hWnd, FALSE);
  }
}

void ModalOwner::Restore(HWND hWndModal) {
  if (m_bEnable) {
    ::EnableWindow(m_hWnd, TRUE);
    m_bEnable = FALSE;
  }
  if (m_hWnd != nullptr && hWndModal != nullptr && ::GetActiveWindow() == hWndModal) {
    ::SetActiveWindow(m_hWnd);
  }
}

bool AfxIsInputMessage(const MSG& msg) {
  constexpr UINT kMouseLast = 0x020E;
  return (msg.message >= WM_KEYFIRST && msg.message <= WM_KEYLAST) ||
         (msg.message >= WM_MOUSEFIRST && msg.message <= kMouseLast);
}
