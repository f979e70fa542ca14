// Dialogs made from a template of the image's resources, modal through the class library's own
// loop or modeless, and the data exchange between their controls and their members.
#pragma once

#include <afxstr.h>
#include <afxwnd.h>

class CDialog;

// One pass of a dialog's data exchange: loading the controls from the members, or saving (and
// validating) them into the members. A failed validation has shown its box; Fail puts the focus
// on the control it concerned and abandons the pass, so UpdateData answers FALSE.
class CDataExchange {
 public:
  BOOL m_bSaveAndValidate;
  CWnd* m_pDlgWnd;
  HWND m_hWndLastControl = nullptr;
  BOOL m_bEditLastControl = FALSE;

  CDataExchange(CWnd* pDlgWnd, BOOL bSaveAndValidate) : m_bSaveAndValidate(bSaveAndValidate), m_pDlgWnd(pDlgWnd) {}
  CDataExchange(const CDataExchange&) = delete;
  CDataExchange& operator=(const CDataExchange&) = delete;

  // The control nIDC of the dialog, remembered as the one a failure concerns.
  HWND PrepareCtrl(int nIDC);
  HWND PrepareEditCtrl(int nIDC);
  [[noreturn]] void Fail();
};

// Attaches the control to rControl once, the first time (PreSubclassWindow first).
void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl);
void DDX_Text(CDataExchange* pDX, int nIDC, CString& value);
// The selection of a combo box: -1 for none.
void DDX_CBIndex(CDataExchange* pDX, int nIDC, int& index);
// A check box's state: 0, 1 or 2 (indeterminate).
void DDX_Check(CDataExchange* pDX, int nIDC, int& value);
// Saving: text longer than nChars shows a box and fails. Loading: the last edit takes no more.
void DDV_MaxChars(CDataExchange* pDX, const CString& value, int nChars);

class CDialog : public CWnd {
 public:
  CDialog();
  explicit CDialog(UINT nIDTemplate, CWnd* pParentWnd = nullptr);
  explicit CDialog(LPCSTR lpszTemplateName, CWnd* pParentWnd = nullptr);

  // Runs the dialog modally: its owner disabled, the class library's modal loop until EndDialog;
  // answers EndDialog's result, or -1 when the dialog could not be made.
  virtual INT_PTR DoModal();
  // Makes the dialog modeless.
  virtual BOOL Create(UINT nIDTemplate, CWnd* pParentWnd = nullptr);
  virtual BOOL Create(LPCSTR lpszTemplateName, CWnd* pParentWnd = nullptr);
  void EndDialog(int nResult);

  // The template's own initialisation, then loading the controls from the members.
  virtual BOOL OnInitDialog();
  virtual void OnOK();
  virtual void OnCancel();
  BOOL UpdateData(BOOL bSaveAndValidate = TRUE);
  // Applies the template's initialisation data (resource type 240) to its controls.
  BOOL ExecuteDlgInit(LPCSTR lpszResourceName);

  void MapDialogRect(LPRECT lpRect) const;
  void GotoDlgCtrl(CWnd* pWndCtrl);
  void NextDlgCtrl() const;
  void PrevDlgCtrl() const;

  BOOL PreTranslateMessage(MSG* pMsg) override;

  // The dialog procedure of every dialog the class library makes: WM_INITDIALOG reaches
  // OnInitDialog; everything else came through the object already.
  static INT_PTR CALLBACK AfxDlgProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);

 protected:
  virtual void DoDataExchange(CDataExchange* pDX);
  // Control notifications are ignored while the dialog's data exchange runs.
  BOOL OnCommand(WPARAM wParam, LPARAM lParam) override;
  // The window that owns the dialog while it runs modally.
  HWND PreModal();

  LPCSTR m_lpszTemplateName = nullptr;
  UINT m_nIDHelp = 0;
  CWnd* m_pParentWnd = nullptr;

  DECLARE_MESSAGE_MAP()
};

// Takes the next window this thread creates over for pWnd, as it is created (before any message
// reaches it); AfxUnhookWindowCreate ends the wait and answers whether it was taken.
void AfxHookWindowCreate(CWnd* pWnd);
BOOL AfxUnhookWindowCreate();
