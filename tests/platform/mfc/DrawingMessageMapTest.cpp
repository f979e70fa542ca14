// The message-map entries of painting, scrolling, cursor, colour, mouse-button, focus and size
// messages: each reaches its handler with the message's arguments unpacked and answers its result.
#include <afxcmn.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const auto kDC = reinterpret_cast<HDC>(static_cast<UINT_PTR>(0x5D0));
const auto kControl = reinterpret_cast<HWND>(static_cast<UINT_PTR>(0x7A0));
const auto kBrush = reinterpret_cast<HBRUSH>(static_cast<UINT_PTR>(0xB00));
constexpr UINT kFirstSpin = 1363;
constexpr UINT kLastSpin = 1377;

std::string Handle(const void* handle) { return std::to_string(reinterpret_cast<UINT_PTR>(handle)); }

class Recorder : public CWnd {
 public:
  std::vector<std::string> calls;
  HBRUSH reflectedBrush = kBrush;

  BOOL Dispatch(UINT message, UINT code, UINT id, WPARAM wParam, LPARAM lParam, LRESULT* result, UINT arrived = 0) {
    return DispatchToMap(message, code, id, wParam, lParam, result, arrived);
  }

 protected:
  BOOL OnEraseBkgnd(CDC* pDC) {
    calls.push_back("OnEraseBkgnd " + Handle(pDC->m_hDC));
    return TRUE;
  }
  void OnHScroll(UINT nSBCode, UINT nPos, CScrollBar* pScrollBar) {
    calls.push_back("OnHScroll " + std::to_string(nSBCode) + " " + std::to_string(static_cast<int>(nPos)) + " " +
                    Handle(pScrollBar != nullptr ? pScrollBar->m_hWnd : nullptr));
  }
  void OnVScroll(UINT nSBCode, UINT nPos, CScrollBar* pScrollBar) {
    calls.push_back("OnVScroll " + std::to_string(nSBCode) + " " + std::to_string(static_cast<int>(nPos)) + " " +
                    Handle(pScrollBar != nullptr ? pScrollBar->m_hWnd : nullptr));
  }
  BOOL OnSetCursor(CWnd* pWnd, UINT nHitTest, UINT message) {
    calls.push_back("OnSetCursor " + Handle(pWnd->m_hWnd) + " " + std::to_string(nHitTest) + " " +
                    std::to_string(message));
    return TRUE;
  }
  HBRUSH OnCtlColor(CDC* pDC, CWnd* pWnd, UINT nCtlColor) {
    calls.push_back("OnCtlColor " + Handle(pDC->m_hDC) + " " + Handle(pWnd->m_hWnd) + " " + std::to_string(nCtlColor));
    return kBrush;
  }
  HBRUSH CtlColor(CDC* pDC, UINT nCtlColor) {
    calls.push_back("CtlColor " + Handle(pDC->m_hDC) + " " + std::to_string(nCtlColor));
    return reflectedBrush;
  }
  void OnLButtonDown(UINT nFlags, CPoint point) {
    calls.push_back("OnLButtonDown " + std::to_string(nFlags) + " " + std::to_string(point.x) + "," +
                    std::to_string(point.y));
  }
  void OnLButtonUp(UINT nFlags, CPoint point) {
    calls.push_back("OnLButtonUp " + std::to_string(nFlags) + " " + std::to_string(point.x) + "," +
                    std::to_string(point.y));
  }
  void OnKillFocus(CWnd* pNewWnd) { calls.push_back("OnKillFocus " + Handle(pNewWnd ? pNewWnd->m_hWnd : nullptr)); }
  void OnSize(UINT nType, int cx, int cy) {
    calls.push_back("OnSize " + std::to_string(nType) + " " + std::to_string(cx) + " " + std::to_string(cy));
  }
  void OnSpinDelta(UINT id, NMHDR* pNMHDR, LRESULT* pResult) {
    calls.push_back("OnSpinDelta " + std::to_string(id) + " " + std::to_string(pNMHDR->idFrom));
    *pResult = 1;
  }
  void OnEditChange() { calls.push_back("OnEditChange"); }
  DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(Recorder, CWnd)
ON_WM_ERASEBKGND()
ON_WM_HSCROLL()
ON_WM_VSCROLL()
ON_WM_SETCURSOR()
ON_WM_CTLCOLOR()
ON_WM_CTLCOLOR_REFLECT()
ON_WM_LBUTTONDOWN()
ON_WM_LBUTTONUP()
ON_WM_KILLFOCUS()
ON_WM_SIZE()
ON_NOTIFY_RANGE(UDN_DELTAPOS, kFirstSpin, kLastSpin, OnSpinDelta)
ON_EN_CHANGE(1031, OnEditChange)
END_MESSAGE_MAP()

TEST(DrawingMessageMapTest, EachEntryKindReachesItsHandlerWithItsArgumentsAndResult) {
  NMHDR delta{kControl, kLastSpin, static_cast<UINT>(UDN_DELTAPOS)};
  struct Case {
    const char* name;
    UINT message;
    UINT code;
    UINT id;
    WPARAM wParam;
    LPARAM lParam;
    UINT arrived;
    std::string call;
    LRESULT result;
  };
  const auto dc = reinterpret_cast<WPARAM>(kDC);
  const auto control = reinterpret_cast<LPARAM>(kControl);
  const auto brush = reinterpret_cast<LRESULT>(kBrush);
  const Case cases[] = {
      {"erase", WM_ERASEBKGND, 0, 0, dc, 0, 0, "OnEraseBkgnd " + Handle(kDC), TRUE},
      {"trackbar drag", WM_HSCROLL, 0, 0, MAKEWPARAM(TB_THUMBTRACK, 4), control, 0,
       "OnHScroll 5 4 " + Handle(kControl), 0},
      {"negative thumb", WM_VSCROLL, 0, 0, MAKEWPARAM(SB_THUMBPOSITION, 0xFFFE), 0, 0, "OnVScroll 4 -2 0", 0},
      {"cursor", WM_SETCURSOR, 0, 0, reinterpret_cast<WPARAM>(kControl), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE), 0,
       "OnSetCursor " + Handle(kControl) + " 1 512", TRUE},
      {"static colour", WM_CTLCOLOR, 0, 0, dc, control, WM_CTLCOLORSTATIC,
       "OnCtlColor " + Handle(kDC) + " " + Handle(kControl) + " 6", brush},
      {"edit colour", WM_CTLCOLOR, 0, 0, dc, control, WM_CTLCOLOREDIT,
       "OnCtlColor " + Handle(kDC) + " " + Handle(kControl) + " 1", brush},
      {"reflected colour", WM_REFLECT_BASE + WM_CTLCOLOR, 0, 0, dc, control, WM_CTLCOLORSTATIC,
       "CtlColor " + Handle(kDC) + " 6", brush},
      {"button down", WM_LBUTTONDOWN, 0, 0, MK_LBUTTON, MAKELPARAM(12, 7), 0, "OnLButtonDown 1 12,7", 0},
      {"button up", WM_LBUTTONUP, 0, 0, 0, MAKELPARAM(12, 9), 0, "OnLButtonUp 0 12,9", 0},
      {"focus lost", WM_KILLFOCUS, 0, 0, reinterpret_cast<WPARAM>(kControl), 0, 0,
       "OnKillFocus " + Handle(kControl), 0},
      {"focus lost to nothing", WM_KILLFOCUS, 0, 0, 0, 0, 0, "OnKillFocus 0", 0},
      {"size", WM_SIZE, 0, 0, SIZE_RESTORED, MAKELPARAM(300, 200), 0, "OnSize 0 300 200", 0},
      {"notify range", WM_NOTIFY, static_cast<UINT>(UDN_DELTAPOS), kLastSpin, kLastSpin,
       reinterpret_cast<LPARAM>(&delta), 0, "OnSpinDelta 1377 1377", 1},
      {"edit change", WM_COMMAND, EN_CHANGE, 1031, MAKEWPARAM(1031, EN_CHANGE), control, 0, "OnEditChange", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Recorder recorder;
    LRESULT result = -1;
    EXPECT_TRUE(recorder.Dispatch(c.message, c.code, c.id, c.wParam, c.lParam, &result, c.arrived));
    EXPECT_EQ(std::vector<std::string>{c.call}, recorder.calls);
    EXPECT_EQ(c.result, result);
  }
  CDC::DeleteTempMap();
  CWnd::DeleteTempMap();
}

TEST(DrawingMessageMapTest, AReflectedColourQueryWithoutABrushIsLeftToTheParent) {
  Recorder recorder;
  recorder.reflectedBrush = nullptr;
  LRESULT result = -1;
  EXPECT_FALSE(recorder.Dispatch(WM_REFLECT_BASE + WM_CTLCOLOR, 0, 0, reinterpret_cast<WPARAM>(kDC),
                                 reinterpret_cast<LPARAM>(kControl), &result, WM_CTLCOLORBTN));
  EXPECT_EQ(std::vector<std::string>{"CtlColor " + Handle(kDC) + " 3"}, recorder.calls);
  CDC::DeleteTempMap();
}

// A handler of another signature than its macro's does not make an entry.
template <class T>
concept TakesScrollEntry = requires { &AfxMsgThunk<T>::template Scroll<&T::OnHScroll>; };
template <class T>
concept TakesReflectedColourEntry = requires { &AfxMsgThunk<T>::template CtlColorReflect<&T::CtlColor>; };
template <class T>
concept TakesEraseEntry = requires { &AfxMsgThunk<T>::template EraseBkgnd<&T::OnEraseBkgnd>; };

struct RightHandlers : CWnd {
  void OnHScroll(UINT, UINT, CScrollBar*) {}
  HBRUSH CtlColor(CDC*, UINT) { return nullptr; }
  BOOL OnEraseBkgnd(CDC*) { return TRUE; }
};
struct WrongHandlers : CWnd {
  void OnHScroll(UINT, UINT, CWnd*) {}
  HBRUSH CtlColor(CDC*, CWnd*, UINT) { return nullptr; }
  void OnEraseBkgnd(CDC*) {}
};
static_assert(TakesScrollEntry<RightHandlers> && TakesReflectedColourEntry<RightHandlers> &&
              TakesEraseEntry<RightHandlers>);
static_assert(!TakesScrollEntry<WrongHandlers> && !TakesReflectedColourEntry<WrongHandlers> &&
              !TakesEraseEntry<WrongHandlers>);

}  // namespace
