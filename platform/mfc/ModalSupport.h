// What the modal dialog and the modal sheet share: their owner, disabled while they run, and the
// messages their dialog manager is given.
#pragma once

#include <afxwin.h>

// The top-level window a modal window runs over: its parent's, else the application's main
// window's (unless that is the modal window itself). Disabled from construction until Restore.
class ModalOwner {
 public:
  ModalOwner(const CWnd* pParentWnd, const CWnd* pModal);
  ModalOwner(const ModalOwner&) = delete;
  ModalOwner& operator=(const ModalOwner&) = delete;

  HWND Handle() const { return m_hWnd; }
  // Enables the owner again before the modal window goes, and gives it the activation the modal
  // window had.
  void Restore(HWND hWndModal);

 private:
  HWND m_hWnd = nullptr;
  BOOL m_bEnable = FALSE;
};

// Keyboard and mouse input, which a dialog's PreTranslateMessage hands to the dialog manager.
bool AfxIsInputMessage(const MSG& msg);
