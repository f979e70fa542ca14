// The common controls' objects: trackbar, up-down and tooltip. Each member sends the control its
// Windows message and answers the control's reply.
#pragma once

#include <windows.h>

#include <commctrl.h>

#include <afxwnd.h>

class CSliderCtrl : public CWnd {
 public:
  BOOL Create(DWORD dwStyle, const RECT& rect, CWnd* pParentWnd, UINT nID) {
    return CWnd::Create(TRACKBAR_CLASSA, nullptr, dwStyle, rect, pParentWnd, nID);
  }
  int GetRangeMin() const { return static_cast<int>(SendMessage(TBM_GETRANGEMIN)); }
  int GetRangeMax() const { return static_cast<int>(SendMessage(TBM_GETRANGEMAX)); }
  void GetRange(int& nMin, int& nMax) const {
    nMin = GetRangeMin();
    nMax = GetRangeMax();
  }
  void SetRangeMin(int nMin, BOOL bRedraw = FALSE) { SendMessage(TBM_SETRANGEMIN, static_cast<WPARAM>(bRedraw), nMin); }
  void SetRangeMax(int nMax, BOOL bRedraw = FALSE) { SendMessage(TBM_SETRANGEMAX, static_cast<WPARAM>(bRedraw), nMax); }
  // Both ends travel in one message as 16-bit words.
  void SetRange(int nMin, int nMax, BOOL bRedraw = FALSE) {
    SendMessage(TBM_SETRANGE, static_cast<WPARAM>(bRedraw), MAKELPARAM(nMin, nMax));
  }
  int GetPos() const { return static_cast<int>(SendMessage(TBM_GETPOS)); }
  // Moves the thumb and redraws it.
  void SetPos(int nPos) { SendMessage(TBM_SETPOS, TRUE, nPos); }
  void SetTicFreq(int nFreq) { SendMessage(TBM_SETTICFREQ, static_cast<WPARAM>(nFreq)); }
  BOOL SetTic(int nTic) { return static_cast<BOOL>(SendMessage(TBM_SETTIC, 0, nTic)); }
  void ClearTics(BOOL bRedraw = FALSE) { SendMessage(TBM_CLEARTICS, static_cast<WPARAM>(bRedraw)); }
  UINT GetNumTics() const { return static_cast<UINT>(SendMessage(TBM_GETNUMTICS)); }
  int GetLineSize() const { return static_cast<int>(SendMessage(TBM_GETLINESIZE)); }
  int SetLineSize(int nSize) { return static_cast<int>(SendMessage(TBM_SETLINESIZE, 0, nSize)); }
  int GetPageSize() const { return static_cast<int>(SendMessage(TBM_GETPAGESIZE)); }
  int SetPageSize(int nSize) { return static_cast<int>(SendMessage(TBM_SETPAGESIZE, 0, nSize)); }
  void SetSelection(int nMin, int nMax) {
    SendMessage(TBM_SETSELSTART, FALSE, nMin);
    SendMessage(TBM_SETSELEND, TRUE, nMax);
  }
  void ClearSel(BOOL bRedraw = FALSE) { SendMessage(TBM_CLEARSEL, static_cast<WPARAM>(bRedraw)); }
  // The buddy at the left or top end (fLocation TRUE), else at the right or bottom; each answers
  // the window that was there before.
  CWnd* SetBuddy(CWnd* pWndBuddy, BOOL fLocation = TRUE) {
    return FromHandle(reinterpret_cast<HWND>(SendMessage(TBM_SETBUDDY, static_cast<WPARAM>(fLocation),
                                                         reinterpret_cast<LPARAM>(pWndBuddy->GetSafeHwnd()))));
  }
  CWnd* GetBuddy(BOOL fLocation = TRUE) const {
    return FromHandle(reinterpret_cast<HWND>(SendMessage(TBM_GETBUDDY, static_cast<WPARAM>(fLocation))));
  }
};

class CSpinButtonCtrl : public CWnd {
 public:
  BOOL Create(DWORD dwStyle, const RECT& rect, CWnd* pParentWnd, UINT nID) {
    return CWnd::Create(UPDOWN_CLASSA, nullptr, dwStyle, rect, pParentWnd, nID);
  }
  // The lower end may be above the upper: the up arrow then lowers the position.
  void SetRange(short nLower, short nUpper) { SendMessage(UDM_SETRANGE, 0, MAKELPARAM(nUpper, nLower)); }
  void SetRange32(int nLower, int nUpper) { SendMessage(UDM_SETRANGE32, static_cast<WPARAM>(nLower), nUpper); }
  DWORD GetRange() const { return static_cast<DWORD>(SendMessage(UDM_GETRANGE)); }
  void GetRange(int& nLower, int& nUpper) const { GetRange32(nLower, nUpper); }
  void GetRange32(int& nLower, int& nUpper) const {
    SendMessage(UDM_GETRANGE32, reinterpret_cast<WPARAM>(&nLower), reinterpret_cast<LPARAM>(&nUpper));
  }
  // The position in the low word; the high word is nonzero when the buddy's text was no number.
  int GetPos() const { return static_cast<int>(SendMessage(UDM_GETPOS)); }
  int GetPos32(BOOL* lpbError = nullptr) const {
    return static_cast<int>(SendMessage(UDM_GETPOS32, 0, reinterpret_cast<LPARAM>(lpbError)));
  }
  // Each answers the position before.
  int SetPos(int nPos) { return static_cast<int>(static_cast<short>(LOWORD(SendMessage(UDM_SETPOS, 0, MAKELPARAM(nPos, 0))))); }
  int SetPos32(int nPos) { return static_cast<int>(SendMessage(UDM_SETPOS32, 0, nPos)); }
  // Answers the buddy before.
  CWnd* SetBuddy(CWnd* pWndBuddy) {
    return FromHandle(
        reinterpret_cast<HWND>(SendMessage(UDM_SETBUDDY, reinterpret_cast<WPARAM>(pWndBuddy->GetSafeHwnd()))));
  }
  CWnd* GetBuddy() const { return FromHandle(reinterpret_cast<HWND>(SendMessage(UDM_GETBUDDY))); }
  int SetBase(int nBase) { return static_cast<int>(SendMessage(UDM_SETBASE, static_cast<WPARAM>(nBase))); }
  UINT GetBase() const { return static_cast<UINT>(SendMessage(UDM_GETBASE)); }
  BOOL SetAccel(int nAccel, UDACCEL* pAccel) {
    return static_cast<BOOL>(SendMessage(UDM_SETACCEL, static_cast<WPARAM>(nAccel), reinterpret_cast<LPARAM>(pAccel)));
  }
  UINT GetAccel(int nAccel, UDACCEL* pAccel) const {
    return static_cast<UINT>(SendMessage(UDM_GETACCEL, static_cast<WPARAM>(nAccel), reinterpret_cast<LPARAM>(pAccel)));
  }
};

// A tooltip owned by pParentWnd. A tool is a window (id 0: the tool is the window itself) or a
// rectangle of a window under an id of the program's choosing.
class CToolTipCtrl : public CWnd {
 public:
  BOOL Create(CWnd* pParentWnd, DWORD dwStyle = 0);

  // The text LPSTR_TEXTCALLBACKA asks the tool's window for it each time it is shown.
  BOOL AddTool(CWnd* pWnd, LPCSTR lpszText = LPSTR_TEXTCALLBACKA, LPCRECT lpRectTool = nullptr, UINT_PTR nIDTool = 0);
  // The text is a string resource of the module AfxGetResourceHandle names.
  BOOL AddTool(CWnd* pWnd, UINT nIDText, LPCRECT lpRectTool = nullptr, UINT_PTR nIDTool = 0);
  void DelTool(CWnd* pWnd, UINT_PTR nIDTool = 0);
  void UpdateTipText(LPCSTR lpszText, CWnd* pWnd, UINT_PTR nIDTool = 0);
  void UpdateTipText(UINT nIDText, CWnd* pWnd, UINT_PTR nIDTool = 0);
  void GetText(CString& str, CWnd* pWnd, UINT_PTR nIDTool = 0) const;
  void SetToolRect(CWnd* pWnd, UINT_PTR nIDTool, LPCRECT lpRect);
  BOOL GetToolInfo(TOOLINFOA& toolInfo, CWnd* pWnd, UINT_PTR nIDTool = 0) const;
  void SetToolInfo(LPTOOLINFOA lpToolInfo) { SendMessage(TTM_SETTOOLINFOA, 0, reinterpret_cast<LPARAM>(lpToolInfo)); }
  int GetToolCount() const { return static_cast<int>(SendMessage(TTM_GETTOOLCOUNT)); }
  // Hands the tooltip a mouse message of a tool's window, so it knows when to show.
  void RelayEvent(LPMSG lpMsg) { SendMessage(TTM_RELAYEVENT, 0, reinterpret_cast<LPARAM>(lpMsg)); }
  void Activate(BOOL bActivate) { SendMessage(TTM_ACTIVATE, static_cast<WPARAM>(bActivate)); }
  void SetDelayTime(UINT nDelay) { SendMessage(TTM_SETDELAYTIME, TTDT_AUTOMATIC, static_cast<LPARAM>(nDelay)); }
  void SetDelayTime(DWORD dwDuration, int iTime) { SendMessage(TTM_SETDELAYTIME, dwDuration, iTime); }
  int SetMaxTipWidth(int iWidth) { return static_cast<int>(SendMessage(TTM_SETMAXTIPWIDTH, 0, iWidth)); }
  void Pop() { SendMessage(TTM_POP); }
  void Update() { SendMessage(TTM_UPDATE); }

 private:
  // The record naming the tool, as every tool message takes it.
  static void FillInToolInfo(TOOLINFOA& toolInfo, CWnd* pWnd, UINT_PTR nIDTool);
};
