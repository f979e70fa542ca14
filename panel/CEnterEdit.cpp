#include "panel/CEnterEdit.h"

const UINT UWM_EDIT_COMPLETE =
    ::RegisterWindowMessageA("CEnterEdit_UWM_EDIT_COMPLETE-{165BBEA0-C1A8-11d5-A04D-006067718D04}");

BEGIN_MESSAGE_MAP(CEnterEdit, CEdit)
ON_CONTROL_REFLECT(EN_KILLFOCUS, OnKillFocus)
ON_WM_GETDLGCODE()
ON_WM_CHAR()
END_MESSAGE_MAP()

void CEnterEdit::SendEditComplete() {
  GetParent()->SendMessage(UWM_EDIT_COMPLETE, static_cast<WPARAM>(GetDlgCtrlID()), reinterpret_cast<LPARAM>(this));
}

void CEnterEdit::OnKillFocus() { SendEditComplete(); }

// Tab, Enter and Escape come to the edit as characters instead of moving the dialog's focus.
UINT CEnterEdit::OnGetDlgCode() { return static_cast<UINT>(Default()) | DLGC_WANTALLKEYS; }

void CEnterEdit::OnChar(UINT nChar, UINT, UINT) {
  switch (nChar) {
    case '\b':
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9':
      Default();
      return;
    case '\t': {
      const bool backwards = (::GetKeyState(VK_SHIFT) & 0x8000) != 0;
      GetParent()->SendMessage(WM_NEXTDLGCTL, backwards ? 1 : 0, 0);
      return;
    }
    case '\r':
      SendEditComplete();
      return;
    default:
      ::MessageBeep(MB_OK);
      return;
  }
}
