// Message maps: constant tables of entries, each with a thunk that calls its handler with the
// message's arguments unpacked. A handler's type is fixed by its macro, so a handler of the
// wrong signature does not compile. The tables are constant-initialised: no static
// construction order, no resources.
#pragma once

#include <windows.h>

#include <commctrl.h>

#include <afxtypes.h>

#include <type_traits>

class CCmdTarget;
class CCmdUI;
class CDC;
class CScrollBar;
class CWnd;
struct AFX_MSGMAP_ENTRY;

// The objects a handler is given for a message's handles (temporary ones when the program attached
// none).
CDC* AfxDCFromHandle(HDC hDC);
CWnd* AfxWndFromHandle(HWND hWnd);

// Calls the entry's handler on the target with the message as it arrived; answers TRUE and sets
// *pResult when it handled it.
using AFX_PMSG_THUNK = BOOL (*)(CCmdTarget* pTarget, UINT nMessage, WPARAM wParam, LPARAM lParam, LRESULT* pResult);

struct AFX_MSGMAP_ENTRY {
  UINT nMessage;  // window message, WM_COMMAND, WM_NOTIFY or a reflected message
  UINT nCode;     // control notification code, for WM_COMMAND and WM_NOTIFY
  UINT nID;       // first control or command id
  UINT nLastID;   // last of the range; nID for one id
  const UINT* pnRegistered;  // a registered message's number, read when the message arrives
  AFX_PMSG_THUNK pfn;        // null ends the table
};

struct AFX_MSGMAP {
  const AFX_MSGMAP* (*pfnGetBaseMap)();
  const AFX_MSGMAP_ENTRY* lpEntries;
};

// A control's own WM_COMMAND, WM_NOTIFY and WM_CTLCOLOR* come back to it as the message plus
// this, before its parent sees them.
constexpr UINT WM_REFLECT_BASE = 0xBC00;
// The one map message of every WM_CTLCOLOR*.
constexpr UINT WM_CTLCOLOR = 0x0019;
// WM_COMMAND code of an update-handler query; the extra argument is the CCmdUI.
constexpr int CN_UPDATE_COMMAND_UI = -1;
constexpr int CN_COMMAND = 0;

// A handler of the class or of a base, of the given member type.
template <auto P, class M>
concept AfxHandlerOf = std::is_member_function_pointer_v<decltype(P)> && std::is_convertible_v<decltype(P), M>;

// The thunks of each handler signature.
template <class T>
struct AfxMsgThunk {
  static T* Target(CCmdTarget* pTarget) { return static_cast<T*>(pTarget); }

  template <auto P>
    requires AfxHandlerOf<P, void (T::*)()>
  static BOOL Void(CCmdTarget* pTarget, UINT, WPARAM, LPARAM, LRESULT* pResult) {
    (Target(pTarget)->*P)();
    *pResult = 0;
    return TRUE;
  }
  template <auto P>
    requires AfxHandlerOf<P, void (T::*)(UINT)>
  static BOOL CommandRange(CCmdTarget* pTarget, UINT, WPARAM wParam, LPARAM, LRESULT* pResult) {
    (Target(pTarget)->*P)(LOWORD(wParam));
    *pResult = 0;
    return TRUE;
  }
  template <auto P>
    requires AfxHandlerOf<P, void (T::*)(CCmdUI*)>
  static BOOL UpdateUI(CCmdTarget* pTarget, UINT, WPARAM, LPARAM lParam, LRESULT* pResult) {
    (Target(pTarget)->*P)(reinterpret_cast<CCmdUI*>(lParam));
    *pResult = 0;
    return TRUE;
  }
  template <auto P>
    requires AfxHandlerOf<P, void (T::*)(NMHDR*, LRESULT*)>
  static BOOL Notify(CCmdTarget* pTarget, UINT, WPARAM, LPARAM lParam, LRESULT* pResult) {
    *pResult = 0;
    (Target(pTarget)->*P)(reinterpret_cast<NMHDR*>(lParam), pResult);
    return TRUE;
  }
  template <auto P>
    requires AfxHandlerOf<P, LRESULT (T::*)(WPARAM, LPARAM)>
  static BOOL Message(CCmdTarget* pTarget, UINT, WPARAM wParam, LPARAM lParam, LRESULT* pResult) {
    *pResult = (Target(pTarget)->*P)(wParam, lParam);
    return TRUE;
  }
  template <auto P>
    requires AfxHandlerOf<P, void (T::*)(UINT_PTR)>
  static BOOL Timer(CCmdTarget* pTarget, UINT, WPARAM wParam, LPARAM, LRESULT* pResult) {
    (Target(pTarget)->*P)(wParam);
    *pResult = 0;
    return TRUE;
  }
  template <auto P>
    requires AfxHandlerOf<P, void (T::*)(WINDOWPOS*)>
  static BOOL WindowPos(CCmdTarget* pTarget, UINT, WPARAM, LPARAM lParam, LRESULT* pResult) {
    (Target(pTarget)->*P)(reinterpret_cast<WINDOWPOS*>(lParam));
    *pResult = 0;
    return TRUE;
  }
  template <auto P>
    requires AfxHandlerOf<P, void (T::*)(UINT, LPARAM)>
  static BOOL SysCommand(CCmdTarget* pTarget, UINT, WPARAM wParam, LPARAM lParam,
                         LRESULT* pResult) {
    (Target(pTarget)->*P)(static_cast<UINT>(wParam), lParam);
    *pResult = 0;
    return TRUE;
  }
  template <auto P>
    requires AfxHandlerOf<P, BOOL (T::*)(UINT, DWORD_PTR)>
  static BOOL DeviceChange(CCmdTarget* pTarget, UINT, WPARAM wParam, LPARAM lParam,
                           LRESULT* pResult) {
    *pResult = (Target(pTarget)->*P)(static_cast<UINT>(wParam), static_cast<DWORD_PTR>(lParam));
    return TRUE;
  }
  template <auto P>
    requires AfxHandlerOf<P, void (T::*)(UINT, CPoint)>
  static BOOL MouseAt(CCmdTarget* pTarget, UINT, WPARAM wParam, LPARAM lParam, LRESULT* pResult) {
    const CPoint point(static_cast<DWORD>(lParam));
    (Target(pTarget)->*P)(static_cast<UINT>(wParam), point);
    *pResult = 0;
    return TRUE;
  }
  template <auto P>
    requires AfxHandlerOf<P, UINT (T::*)()>
  static BOOL GetDlgCode(CCmdTarget* pTarget, UINT, WPARAM, LPARAM, LRESULT* pResult) {
    *pResult = static_cast<LRESULT>((Target(pTarget)->*P)());
    return TRUE;
  }
  // Key characters: the character, the repeat count (low word) and the flags (high word).
  template <auto P>
    requires AfxHandlerOf<P, void (T::*)(UINT, UINT, UINT)>
  static BOOL Char(CCmdTarget* pTarget, UINT, WPARAM wParam, LPARAM lParam, LRESULT* pResult) {
    (Target(pTarget)->*P)(static_cast<UINT>(wParam), LOWORD(lParam), HIWORD(lParam));
    *pResult = 0;
    return TRUE;
  }
  template <auto P>
    requires AfxHandlerOf<P, BOOL (T::*)(CDC*)>
  static BOOL EraseBkgnd(CCmdTarget* pTarget, UINT, WPARAM wParam, LPARAM, LRESULT* pResult) {
    *pResult = (Target(pTarget)->*P)(AfxDCFromHandle(reinterpret_cast<HDC>(wParam)));
    return TRUE;
  }
  // Scrolls: the code, the thumb position (signed, for the position codes) and the control, or
  // null for the window's own scroll bar.
  template <auto P>
    requires AfxHandlerOf<P, void (T::*)(UINT, UINT, CScrollBar*)>
  static BOOL Scroll(CCmdTarget* pTarget, UINT, WPARAM wParam, LPARAM lParam, LRESULT* pResult) {
    (Target(pTarget)->*P)(LOWORD(wParam), static_cast<UINT>(static_cast<SHORT>(HIWORD(wParam))),
                          reinterpret_cast<CScrollBar*>(AfxWndFromHandle(reinterpret_cast<HWND>(lParam))));
    *pResult = 0;
    return TRUE;
  }
  // The window under the cursor, the hit-test code and the mouse message that moved it.
  template <auto P>
    requires AfxHandlerOf<P, BOOL (T::*)(CWnd*, UINT, UINT)>
  static BOOL SetCursor(CCmdTarget* pTarget, UINT, WPARAM wParam, LPARAM lParam, LRESULT* pResult) {
    *pResult = (Target(pTarget)->*P)(AfxWndFromHandle(reinterpret_cast<HWND>(wParam)), LOWORD(lParam),
                                     HIWORD(lParam));
    return TRUE;
  }
  // Colour queries: the control's DC, the control and its kind (0 message box to 6 static).
  template <auto P>
    requires AfxHandlerOf<P, HBRUSH (T::*)(CDC*, CWnd*, UINT)>
  static BOOL CtlColor(CCmdTarget* pTarget, UINT nMessage, WPARAM wParam, LPARAM lParam, LRESULT* pResult) {
    const HBRUSH brush = (Target(pTarget)->*P)(AfxDCFromHandle(reinterpret_cast<HDC>(wParam)),
                                               AfxWndFromHandle(reinterpret_cast<HWND>(lParam)),
                                               nMessage - WM_CTLCOLORMSGBOX);
    *pResult = reinterpret_cast<LRESULT>(brush);
    return TRUE;
  }
  // The control's own answer; no brush leaves the query to the parent.
  template <auto P>
    requires AfxHandlerOf<P, HBRUSH (T::*)(CDC*, UINT)>
  static BOOL CtlColorReflect(CCmdTarget* pTarget, UINT nMessage, WPARAM wParam, LPARAM, LRESULT* pResult) {
    const HBRUSH brush =
        (Target(pTarget)->*P)(AfxDCFromHandle(reinterpret_cast<HDC>(wParam)), nMessage - WM_CTLCOLORMSGBOX);
    *pResult = reinterpret_cast<LRESULT>(brush);
    return brush != nullptr;
  }
  template <auto P>
    requires AfxHandlerOf<P, void (T::*)(UINT, NMHDR*, LRESULT*)>
  static BOOL NotifyRange(CCmdTarget* pTarget, UINT, WPARAM, LPARAM lParam, LRESULT* pResult) {
    auto* header = reinterpret_cast<NMHDR*>(lParam);
    *pResult = 0;
    (Target(pTarget)->*P)(static_cast<UINT>(header->idFrom), header, pResult);
    return TRUE;
  }
  // Focus changes: the window that had or takes the focus, or null.
  template <auto P>
    requires AfxHandlerOf<P, void (T::*)(CWnd*)>
  static BOOL Focus(CCmdTarget* pTarget, UINT, WPARAM wParam, LPARAM, LRESULT* pResult) {
    (Target(pTarget)->*P)(AfxWndFromHandle(reinterpret_cast<HWND>(wParam)));
    *pResult = 0;
    return TRUE;
  }
  template <auto P>
    requires AfxHandlerOf<P, void (T::*)(UINT, int, int)>
  static BOOL Size(CCmdTarget* pTarget, UINT, WPARAM wParam, LPARAM lParam, LRESULT* pResult) {
    (Target(pTarget)->*P)(static_cast<UINT>(wParam), static_cast<SHORT>(LOWORD(lParam)),
                          static_cast<SHORT>(HIWORD(lParam)));
    *pResult = 0;
    return TRUE;
  }
  // -1 refuses the window's creation.
  template <auto P>
    requires AfxHandlerOf<P, int (T::*)(LPCREATESTRUCTA)>
  static BOOL Create(CCmdTarget* pTarget, UINT, WPARAM, LPARAM lParam, LRESULT* pResult) {
    *pResult = (Target(pTarget)->*P)(reinterpret_cast<LPCREATESTRUCTA>(lParam));
    return TRUE;
  }
  template <auto P>
    requires AfxHandlerOf<P, void (T::*)(BOOL, UINT)>
  static BOOL ShowWindow(CCmdTarget* pTarget, UINT, WPARAM wParam, LPARAM lParam, LRESULT* pResult) {
    (Target(pTarget)->*P)(static_cast<BOOL>(wParam), static_cast<UINT>(lParam));
    *pResult = 0;
    return TRUE;
  }
};

// The first entry of `entries` for the message, code and id, or null.
const AFX_MSGMAP_ENTRY* AfxFindMessageEntry(const AFX_MSGMAP_ENTRY* entries, UINT nMessage, UINT nCode, UINT nID);

#define DECLARE_MESSAGE_MAP()                      \
 protected:                                        \
  static const AFX_MSGMAP* GetThisMessageMap();    \
  const AFX_MSGMAP* GetMessageMap() const override;

#define BEGIN_MESSAGE_MAP(theClass, baseClass)                                           \
  const AFX_MSGMAP* theClass::GetMessageMap() const { return GetThisMessageMap(); }      \
  const AFX_MSGMAP* theClass::GetThisMessageMap() {                                      \
    using ThisClass = theClass;                                                          \
    using TheBaseClass = baseClass;                                                      \
    static constexpr AFX_MSGMAP_ENTRY messageEntries[] = {
#define END_MESSAGE_MAP()                                                                \
  {0, 0, 0, 0, nullptr, nullptr}};                                                       \
  static constexpr AFX_MSGMAP messageMap = {&TheBaseClass::GetThisMessageMap, messageEntries}; \
  return &messageMap;                                                                    \
  }

// The thunk of the handler named `fn`, found from the class up; a handler of another type than
// the thunk's does not satisfy its constraint.
#define AFX_THUNK(thunk, fn) &AfxMsgThunk<ThisClass>::thunk<&ThisClass::fn>
#define AFX_ENTRY(message, code, first, last, thunk, fn) \
  {(message), static_cast<UINT>(code), static_cast<UINT>(first), static_cast<UINT>(last), nullptr, \
   AFX_THUNK(thunk, fn)},

#define ON_COMMAND(id, fn) AFX_ENTRY(WM_COMMAND, CN_COMMAND, id, id, Void, fn)
#define ON_CONTROL(code, id, fn) AFX_ENTRY(WM_COMMAND, code, id, id, Void, fn)
#define ON_BN_CLICKED(id, fn) ON_CONTROL(BN_CLICKED, id, fn)
#define ON_CBN_SELCHANGE(id, fn) ON_CONTROL(CBN_SELCHANGE, id, fn)
#define ON_CONTROL_RANGE(code, first, last, fn) \
  AFX_ENTRY(WM_COMMAND, code, first, last, CommandRange, fn)
#define ON_UPDATE_COMMAND_UI(id, fn) \
  AFX_ENTRY(WM_COMMAND, CN_UPDATE_COMMAND_UI, id, id, UpdateUI, fn)
#define ON_NOTIFY(code, id, fn) AFX_ENTRY(WM_NOTIFY, code, id, id, Notify, fn)
#define ON_NOTIFY_RANGE(code, first, last, fn) AFX_ENTRY(WM_NOTIFY, code, first, last, NotifyRange, fn)
#define ON_BN_DOUBLECLICKED(id, fn) ON_CONTROL(BN_DOUBLECLICKED, id, fn)
#define ON_CBN_SELENDOK(id, fn) ON_CONTROL(CBN_SELENDOK, id, fn)
#define ON_CBN_DROPDOWN(id, fn) ON_CONTROL(CBN_DROPDOWN, id, fn)
#define ON_CBN_CLOSEUP(id, fn) ON_CONTROL(CBN_CLOSEUP, id, fn)
#define ON_CBN_EDITCHANGE(id, fn) ON_CONTROL(CBN_EDITCHANGE, id, fn)
#define ON_EN_CHANGE(id, fn) ON_CONTROL(EN_CHANGE, id, fn)
#define ON_EN_SETFOCUS(id, fn) ON_CONTROL(EN_SETFOCUS, id, fn)
#define ON_EN_KILLFOCUS(id, fn) ON_CONTROL(EN_KILLFOCUS, id, fn)
#define ON_STN_CLICKED(id, fn) ON_CONTROL(STN_CLICKED, id, fn)
#define ON_CONTROL_REFLECT(code, fn) \
  AFX_ENTRY(WM_REFLECT_BASE + WM_COMMAND, code, 0, 0, Void, fn)
#define ON_NOTIFY_REFLECT(code, fn) \
  AFX_ENTRY(WM_REFLECT_BASE + WM_NOTIFY, code, 0, 0, Notify, fn)
#define ON_MESSAGE(message, fn) AFX_ENTRY(message, 0, 0, 0, Message, fn)
#define ON_REGISTERED_MESSAGE(nMessageVariable, fn) \
  {0, 0, 0, 0, &(nMessageVariable),                 \
   AFX_THUNK(Message, fn)},

#define ON_WM_TIMER() AFX_ENTRY(WM_TIMER, 0, 0, 0, Timer, OnTimer)
#define ON_WM_DESTROY() AFX_ENTRY(WM_DESTROY, 0, 0, 0, Void, OnDestroy)
#define ON_WM_PAINT() AFX_ENTRY(WM_PAINT, 0, 0, 0, Void, OnPaint)
#define ON_WM_WINDOWPOSCHANGING() \
  AFX_ENTRY(WM_WINDOWPOSCHANGING, 0, 0, 0, WindowPos, OnWindowPosChanging)
#define ON_WM_SYSCOMMAND() AFX_ENTRY(WM_SYSCOMMAND, 0, 0, 0, SysCommand, OnSysCommand)
#define ON_WM_DEVICECHANGE() \
  AFX_ENTRY(WM_DEVICECHANGE, 0, 0, 0, DeviceChange, OnDeviceChange)
#define ON_WM_MOUSEMOVE() AFX_ENTRY(WM_MOUSEMOVE, 0, 0, 0, MouseAt, OnMouseMove)
#define ON_WM_GETDLGCODE() AFX_ENTRY(WM_GETDLGCODE, 0, 0, 0, GetDlgCode, OnGetDlgCode)
#define ON_WM_CHAR() AFX_ENTRY(WM_CHAR, 0, 0, 0, Char, OnChar)
#define ON_WM_ERASEBKGND() AFX_ENTRY(WM_ERASEBKGND, 0, 0, 0, EraseBkgnd, OnEraseBkgnd)
#define ON_WM_HSCROLL() AFX_ENTRY(WM_HSCROLL, 0, 0, 0, Scroll, OnHScroll)
#define ON_WM_VSCROLL() AFX_ENTRY(WM_VSCROLL, 0, 0, 0, Scroll, OnVScroll)
#define ON_WM_SETCURSOR() AFX_ENTRY(WM_SETCURSOR, 0, 0, 0, SetCursor, OnSetCursor)
// Every WM_CTLCOLOR* reaches the one entry; the handler is told which.
#define ON_WM_CTLCOLOR() AFX_ENTRY(WM_CTLCOLOR, 0, 0, 0, CtlColor, OnCtlColor)
#define ON_WM_CTLCOLOR_REFLECT() AFX_ENTRY(WM_REFLECT_BASE + WM_CTLCOLOR, 0, 0, 0, CtlColorReflect, CtlColor)
#define ON_WM_LBUTTONDOWN() AFX_ENTRY(WM_LBUTTONDOWN, 0, 0, 0, MouseAt, OnLButtonDown)
#define ON_WM_LBUTTONUP() AFX_ENTRY(WM_LBUTTONUP, 0, 0, 0, MouseAt, OnLButtonUp)
#define ON_WM_LBUTTONDBLCLK() AFX_ENTRY(WM_LBUTTONDBLCLK, 0, 0, 0, MouseAt, OnLButtonDblClk)
#define ON_WM_RBUTTONDOWN() AFX_ENTRY(WM_RBUTTONDOWN, 0, 0, 0, MouseAt, OnRButtonDown)
#define ON_WM_RBUTTONUP() AFX_ENTRY(WM_RBUTTONUP, 0, 0, 0, MouseAt, OnRButtonUp)
#define ON_WM_KEYDOWN() AFX_ENTRY(WM_KEYDOWN, 0, 0, 0, Char, OnKeyDown)
#define ON_WM_KEYUP() AFX_ENTRY(WM_KEYUP, 0, 0, 0, Char, OnKeyUp)
#define ON_WM_SETFOCUS() AFX_ENTRY(WM_SETFOCUS, 0, 0, 0, Focus, OnSetFocus)
#define ON_WM_KILLFOCUS() AFX_ENTRY(WM_KILLFOCUS, 0, 0, 0, Focus, OnKillFocus)
#define ON_WM_SIZE() AFX_ENTRY(WM_SIZE, 0, 0, 0, Size, OnSize)
#define ON_WM_CREATE() AFX_ENTRY(WM_CREATE, 0, 0, 0, Create, OnCreate)
#define ON_WM_CLOSE() AFX_ENTRY(WM_CLOSE, 0, 0, 0, Void, OnClose)
#define ON_WM_SHOWWINDOW() AFX_ENTRY(WM_SHOWWINDOW, 0, 0, 0, ShowWindow, OnShowWindow)
