// A static text turned into a web link: link colours, an underline while the mouse is over it, the
// address as its tooltip, a hand cursor, and a click that opens the address through the shell or,
// failing that, through the command registered for ".htm" files. It fits itself to its text.
#pragma once

#include <afxcmn.h>
#include <afxwin.h>

class CHyperLink : public CStatic {
 public:
  static constexpr UINT_PTR kHoverTimerId = 100;
  static constexpr UINT kHoverCheckMs = 100;
  // Underline modes.
  static constexpr int kUnderlineAlways = 1;
  static constexpr int kUnderlineNever = 0;
  static constexpr int kUnderlineHover = -1;

  CHyperLink() = default;
  ~CHyperLink() override;

  void SetLinkAddress(LPCSTR address);
  CString GetLinkAddress() const { return m_address; }
  // A hover colour of -1 is the system's highlight colour.
  void SetLinkColors(COLORREF link, COLORREF visited, COLORREF hover = static_cast<COLORREF>(-1));
  COLORREF GetLinkColor() const { return m_linkColor; }
  COLORREF GetVisitedColor() const { return m_visitedColor; }
  COLORREF GetHoverColor() const { return m_hoverColor; }
  void SetLinkVisited(bool visited = true);
  bool GetLinkVisited() const { return m_bVisited; }
  void SetLinkUnderline(int mode);
  int GetLinkUnderline() const { return m_underline; }
  void SetFitToText(bool fit = true);
  bool GetFitToText() const { return m_bFitToText; }
  void SetHoverCursor(HCURSOR cursor);
  HCURSOR GetLinkCursor() const { return m_hLinkCursor; }

  BOOL PreTranslateMessage(MSG* pMsg) override;
  BOOL DestroyWindow() override;

  // Opens `address` with the shell, else with the command registered for ".htm" files; true when
  // a program took it. `result` is the shell's or WinExec's answer.
  static bool OpenLinkAddress(LPCSTR address, int showCommand, INT_PTR* result);

 protected:
  void PreSubclassWindow() override;

  HBRUSH CtlColor(CDC* pDC, UINT nCtlColor);
  BOOL OnSetCursor(CWnd* pWnd, UINT nHitTest, UINT message);
  void OnMouseMove(UINT nFlags, CPoint point);
  void OnTimer(UINT_PTR nIDEvent);
  BOOL OnEraseBkgnd(CDC* pDC);
  void OnClicked();

  DECLARE_MESSAGE_MAP()

 private:
  void FitWindowToText();
  void LoadLinkCursor();
  void ShowLinkError(int code);
  void Repaint();

  COLORREF m_linkColor = RGB(0, 0, 238);
  COLORREF m_visitedColor = RGB(85, 26, 139);
  COLORREF m_hoverColor = RGB(255, 0, 0);
  bool m_bHovering = false;
  bool m_bVisited = false;
  int m_underline = kUnderlineHover;
  bool m_bFitToText = true;
  CString m_address;
  CFont m_underlineFont;
  CFont m_plainFont;
  HCURSOR m_hLinkCursor = nullptr;
  CToolTipCtrl m_toolTip;
  UINT_PTR m_hoverTimer = kHoverTimerId;
};
