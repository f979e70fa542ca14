// Property sheets and their pages over the property-sheet control: the sheet runs modally through
// the class library's loop; each page is a dialog made the first time it is shown.
#pragma once

#include <afxwin.h>

#include <commctrl.h>

#include <vector>

class CPropertySheet;

class CPropertyPage : public CDialog {
 public:
  // The page record: its template, the class library's dialog procedure and page callback, and
  // this object as lParam. A nonzero caption id names the tab from the string table.
  PROPSHEETPAGEA m_psp{};

  explicit CPropertyPage(UINT nIDTemplate, UINT nIDCaption = 0, DWORD dwSize = sizeof(PROPSHEETPAGEA));

  // Marks the page changed (the sheet's Apply enabled) or unchanged.
  void SetModified(BOOL bChanged = TRUE);
  // The sheet's Cancel becomes unavailable and OK reads Close.
  void CancelToClose();

  // Becoming the current page: after the first time, the controls are loaded from the members.
  virtual BOOL OnSetActive();
  // Leaving it: the controls saved into the members with validation; FALSE keeps the page.
  virtual BOOL OnKillActive();
  virtual BOOL OnApply();
  virtual void OnReset();
  virtual BOOL OnQueryCancel();
  void OnOK() override;
  void OnCancel() override;

 protected:
  BOOL OnNotify(WPARAM wParam, LPARAM lParam, LRESULT* pResult) override;

 private:
  friend class CPropertySheet;
  static UINT CALLBACK AfxPropPageCallback(HWND hWnd, UINT message, PROPSHEETPAGEA* pPropPage);
  // The record as the sheet is given it: instance and caption are taken when the sheet is built.
  void PrepareRecord();

  UINT m_nIDCaption;
  CString m_strCaption;
  BOOL m_bFirstSetActive = TRUE;
};

class CPropertySheet : public CWnd {
 public:
  // The sheet's header: the panel may set flags in it before DoModal.
  PROPSHEETHEADERA m_psh{};

  explicit CPropertySheet(UINT nIDCaption, CWnd* pParentWnd = nullptr, UINT iSelectPage = 0);
  explicit CPropertySheet(LPCSTR pszCaption, CWnd* pParentWnd = nullptr, UINT iSelectPage = 0);

  void AddPage(CPropertyPage* pPage);
  int GetPageCount() const { return static_cast<int>(m_pages.size()); }
  CPropertyPage* GetPage(int nPage) const { return m_pages.at(static_cast<size_t>(nPage)); }
  int GetPageIndex(CPropertyPage* pPage) const;
  // The current page; before the sheet exists, the one it will start on.
  CPropertyPage* GetActivePage() const;
  int GetActiveIndex() const;
  // Makes a page current; the page being left may keep itself (FALSE).
  BOOL SetActivePage(int nPage);
  BOOL SetActivePage(CPropertyPage* pPage);
  CWnd* GetTabControl() const;

  // Runs the sheet modally: its owner disabled, the class library's loop until OK or Cancel ends
  // it; answers IDOK or IDCANCEL (the button that ended it), or -1 when it could not be made.
  virtual INT_PTR DoModal();

  // After the sheet's own initialisation (tabs, buttons, the start page).
  virtual BOOL OnInitDialog();
  BOOL PreTranslateMessage(MSG* pMsg) override;
  BOOL ContinueModal() override;

 protected:
  // Records which push button was pressed, as the modal result.
  BOOL OnCommand(WPARAM wParam, LPARAM lParam) override;
  LRESULT HandleInitDialog(WPARAM wParam, LPARAM lParam);

  DECLARE_MESSAGE_MAP()

 private:
  void CommonConstruct(CWnd* pParentWnd, UINT iSelectPage);
  void BuildPropPageArray();

  std::vector<CPropertyPage*> m_pages;
  std::vector<BYTE> m_records;  // the pages' records as the sheet is given them
  UINT m_nIDCaption = 0;
  CString m_strCaption;
  CWnd* m_pParentWnd = nullptr;
};
