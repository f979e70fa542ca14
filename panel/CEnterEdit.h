// An edit for typed numbers: it keeps digits and backspace, beeps at every other character, moves
// the focus on Tab, and tells its parent when an entry is complete (Enter, or the focus leaving).
#pragma once

#include <afxwin.h>

// Sent to the edit's parent when an entry is complete: wParam the edit's id, lParam the edit.
extern const UINT UWM_EDIT_COMPLETE;

class CEnterEdit : public CEdit {
 protected:
  void OnKillFocus();
  UINT OnGetDlgCode();
  void OnChar(UINT nChar, UINT nRepCnt, UINT nFlags);

  DECLARE_MESSAGE_MAP()

 private:
  void SendEditComplete();
};
