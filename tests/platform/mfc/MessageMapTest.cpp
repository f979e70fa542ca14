#include <afxwin.h>
#include <dbt.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

UINT g_registeredMessage = 0;
// Custom draw: asks for a notification per item.
constexpr LRESULT kDrawItems = 0x20;

// Records each handler call with its arguments.
class Recorder : public CCmdTarget {
 public:
  std::vector<std::string> calls;

  BOOL Dispatch(UINT message, UINT code, UINT id, WPARAM wParam, LPARAM lParam, LRESULT* result) {
    return DispatchToMap(message, code, id, wParam, lParam, result);
  }

 protected:
  void Note(std::string call) { calls.push_back(std::move(call)); }
};

class BasePanel : public Recorder {
 protected:
  void OnHelp() { Note("base OnHelp"); }
  virtual void OnTimer(UINT_PTR nIDEvent) { Note("base OnTimer " + std::to_string(nIDEvent)); }
  void OnDestroy() { Note("base OnDestroy"); }
  DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(BasePanel, CCmdTarget)
ON_COMMAND(ID_HELP, OnHelp)
ON_WM_TIMER()
ON_WM_DESTROY()
END_MESSAGE_MAP()

class Panel : public BasePanel {
 public:
  static constexpr UINT kApply = 100;
  static constexpr UINT kFirstMute = 200;
  static constexpr UINT kLastMute = 217;
  static constexpr UINT kRate = 300;
  static constexpr UINT kSlider = 400;

 protected:
  void OnTimer(UINT_PTR nIDEvent) override { Note("OnTimer " + std::to_string(nIDEvent)); }
  void OnDestroy() { Note("OnDestroy"); }
  void OnApply() { Note("OnApply"); }
  void OnMute(UINT id) { Note("OnMute " + std::to_string(id)); }
  void OnRateChange() { Note("OnRateChange"); }
  void OnUpdateApply(CCmdUI* pCmdUI) { Note("OnUpdateApply " + std::to_string(pCmdUI != nullptr)); }
  void OnSliderDraw(NMHDR* pNMHDR, LRESULT* pResult) {
    Note("OnSliderDraw " + std::to_string(pNMHDR->idFrom));
    *pResult = kDrawItems;
  }
  LRESULT OnPrivate(WPARAM wParam, LPARAM lParam) {
    Note("OnPrivate " + std::to_string(wParam) + " " + std::to_string(lParam));
    return 42;
  }
  LRESULT OnRegistered(WPARAM wParam, LPARAM) {
    Note("OnRegistered " + std::to_string(wParam));
    return 7;
  }
  void OnSysCommand(UINT nID, LPARAM lParam) { Note("OnSysCommand " + std::to_string(nID) + " " + std::to_string(lParam)); }
  BOOL OnDeviceChange(UINT nEventType, DWORD_PTR dwData) {
    Note("OnDeviceChange " + std::to_string(nEventType) + " " + std::to_string(dwData));
    return TRUE;
  }
  void OnWindowPosChanging(WINDOWPOS* lpwndpos) { Note("OnWindowPosChanging " + std::to_string(lpwndpos->cx)); }
  void OnMouseMove(UINT nFlags, CPoint point) {
    Note("OnMouseMove " + std::to_string(nFlags) + " " + std::to_string(point.x) + "," + std::to_string(point.y));
  }
  UINT OnGetDlgCode() {
    Note("OnGetDlgCode");
    return static_cast<UINT>(DLGC_WANTARROWS);
  }
  void OnChar(UINT nChar, UINT nRepCnt, UINT nFlags) {
    Note("OnChar " + std::to_string(nChar) + " " + std::to_string(nRepCnt) + " " + std::to_string(nFlags));
  }
  void OnPaint() { Note("OnPaint"); }
  void OnReflectedClick() { Note("OnReflectedClick"); }
  DECLARE_MESSAGE_MAP()
};

constexpr UINT kPrivateMessage = WM_APP + 5;

BEGIN_MESSAGE_MAP(Panel, BasePanel)
ON_WM_TIMER()
ON_WM_DESTROY()
ON_WM_PAINT()
ON_WM_SYSCOMMAND()
ON_WM_DEVICECHANGE()
ON_WM_WINDOWPOSCHANGING()
ON_WM_MOUSEMOVE()
ON_WM_GETDLGCODE()
ON_WM_CHAR()
ON_BN_CLICKED(kApply, OnApply)
ON_CONTROL_RANGE(BN_CLICKED, kFirstMute, kLastMute, OnMute)
ON_CBN_SELCHANGE(kRate, OnRateChange)
ON_UPDATE_COMMAND_UI(kApply, OnUpdateApply)
ON_NOTIFY(NM_CUSTOMDRAW, kSlider, OnSliderDraw)
ON_MESSAGE(kPrivateMessage, OnPrivate)
ON_REGISTERED_MESSAGE(g_registeredMessage, OnRegistered)
ON_CONTROL_REFLECT(BN_CLICKED, OnReflectedClick)
END_MESSAGE_MAP()

TEST(MessageMapTest, EachEntryKindReachesItsHandlerWithItsArgumentsAndResult) {
  g_registeredMessage = 0xC123;
  WINDOWPOS pos{};
  pos.cx = 640;
  NMHDR hdr{nullptr, Panel::kSlider, static_cast<UINT>(NM_CUSTOMDRAW)};
  struct Case {
    const char* name;
    UINT message;
    UINT code;
    UINT id;
    WPARAM wParam;
    LPARAM lParam;
    std::string call;
    LRESULT result;
  };
  const Case cases[] = {
      {"timer", WM_TIMER, 0, 0, 9, 0, "OnTimer 9", 0},
      {"destroy", WM_DESTROY, 0, 0, 0, 0, "OnDestroy", 0},
      {"paint", WM_PAINT, 0, 0, 0, 0, "OnPaint", 0},
      {"system command", WM_SYSCOMMAND, 0, 0, SC_CLOSE, 17, "OnSysCommand " + std::to_string(SC_CLOSE) + " 17", 0},
      {"device change", WM_DEVICECHANGE, 0, 0, DBT_DEVNODES_CHANGED, 5, "OnDeviceChange 7 5", TRUE},
      {"window pos", WM_WINDOWPOSCHANGING, 0, 0, 0, reinterpret_cast<LPARAM>(&pos), "OnWindowPosChanging 640", 0},
      {"mouse move", WM_MOUSEMOVE, 0, 0, MK_LBUTTON, MAKELPARAM(-3, 40), "OnMouseMove 1 -3,40", 0},
      {"dialog code", WM_GETDLGCODE, 0, 0, 0, 0, "OnGetDlgCode", DLGC_WANTARROWS},
      {"char", WM_CHAR, 0, 0, 'a', MAKELPARAM(2, 0x1E), "OnChar 97 2 30", 0},
      {"clicked", WM_COMMAND, BN_CLICKED, Panel::kApply, 0, 0, "OnApply", 0},
      {"range first", WM_COMMAND, BN_CLICKED, Panel::kFirstMute, MAKEWPARAM(Panel::kFirstMute, BN_CLICKED), 0,
       "OnMute 200", 0},
      {"range last", WM_COMMAND, BN_CLICKED, Panel::kLastMute, MAKEWPARAM(Panel::kLastMute, BN_CLICKED), 0,
       "OnMute 217", 0},
      {"selection change", WM_COMMAND, CBN_SELCHANGE, Panel::kRate, 0, 0, "OnRateChange", 0},
      {"update handler", WM_COMMAND, static_cast<UINT>(CN_UPDATE_COMMAND_UI), Panel::kApply, 0, 1, "OnUpdateApply 1", 0},
      {"notify", WM_NOTIFY, static_cast<UINT>(NM_CUSTOMDRAW), Panel::kSlider, Panel::kSlider,
       reinterpret_cast<LPARAM>(&hdr), "OnSliderDraw 400", kDrawItems},
      {"private", kPrivateMessage, 0, 0, 3, 4, "OnPrivate 3 4", 42},
      {"registered", 0xC123, 0, 0, 8, 0, "OnRegistered 8", 7},
      {"reflected", WM_REFLECT_BASE + WM_COMMAND, BN_CLICKED, 0, 0, 0, "OnReflectedClick", 0},
      {"base class entry", WM_COMMAND, CN_COMMAND, ID_HELP, 0, 0, "base OnHelp", 0},
  };
  for (const Case& c : cases) {
    Panel panel;
    LRESULT result = -1;
    EXPECT_TRUE(panel.Dispatch(c.message, c.code, c.id, c.wParam, c.lParam, &result)) << c.name;
    EXPECT_EQ(std::vector<std::string>{c.call}, panel.calls) << c.name;
    EXPECT_EQ(c.result, result) << c.name;
  }
}

TEST(MessageMapTest, MessagesWithoutAnEntryAreLeftUnhandled) {
  struct Case {
    const char* name;
    UINT message;
    UINT code;
    UINT id;
  };
  const Case cases[] = {
      {"id past the range", WM_COMMAND, BN_CLICKED, Panel::kLastMute + 1},
      {"other notification code", WM_COMMAND, BN_DOUBLECLICKED, Panel::kApply},
      {"notify from another control", WM_NOTIFY, static_cast<UINT>(NM_CUSTOMDRAW), Panel::kSlider + 1},
      {"message without a handler", WM_SIZE, 0, 0},
  };
  for (const Case& c : cases) {
    Panel panel;
    LRESULT result = -1;
    EXPECT_FALSE(panel.Dispatch(c.message, c.code, c.id, 0, 0, &result)) << c.name;
    EXPECT_TRUE(panel.calls.empty()) << c.name;
  }
}

TEST(MessageMapTest, CommandsRouteThroughOnCmdMsg) {
  Panel panel;
  EXPECT_TRUE(panel.OnCmdMsg(Panel::kApply, BN_CLICKED, nullptr, nullptr));
  EXPECT_TRUE(panel.OnCmdMsg(ID_HELP, CN_COMMAND, nullptr, nullptr));
  EXPECT_FALSE(panel.OnCmdMsg(ID_APPLY_NOW, CN_COMMAND, nullptr, nullptr));
  EXPECT_EQ((std::vector<std::string>{"OnApply", "base OnHelp"}), panel.calls);
}

// A handler of another signature than its macro's does not make an entry.
template <class T>
concept TakesTimerEntry = requires { &AfxMsgThunk<T>::template Timer<&T::OnTimer>; };
template <class T>
concept TakesMessageEntry =
    requires { &AfxMsgThunk<T>::template Message<&T::OnPrivate>; };

struct RightTimer : CCmdTarget {
  void OnTimer(UINT_PTR) {}
  LRESULT OnPrivate(WPARAM, LPARAM) { return 0; }
};
struct NarrowTimer : CCmdTarget {
  void OnTimer(UINT) {}
  void OnPrivate(WPARAM, LPARAM) {}
};
struct ConstTimer : CCmdTarget {
  void OnTimer(UINT_PTR) const {}
  LRESULT OnPrivate(WPARAM) { return 0; }
};
struct InheritedTimer : RightTimer {};

static_assert(TakesTimerEntry<RightTimer> && TakesMessageEntry<RightTimer>);
static_assert(TakesTimerEntry<InheritedTimer> && TakesMessageEntry<InheritedTimer>);
static_assert(!TakesTimerEntry<NarrowTimer> && !TakesMessageEntry<NarrowTimer>);
static_assert(!TakesTimerEntry<ConstTimer> && !TakesMessageEntry<ConstTimer>);

class Meter : public CObject {
  DECLARE_DYNCREATE(Meter)
};
IMPLEMENT_DYNCREATE(Meter, CObject)

class Knob : public CObject {
  DECLARE_DYNAMIC(Knob)
};
IMPLEMENT_DYNAMIC(Knob, CObject)

TEST(RuntimeClassTest, CreatableClassMakesItsObjectAndKnowsItsBases) {
  CObject* made = RUNTIME_CLASS(Meter)->CreateObject();
  ASSERT_NE(nullptr, made);
  EXPECT_STREQ("Meter", made->GetRuntimeClass()->m_lpszClassName);
  EXPECT_TRUE(made->IsKindOf(RUNTIME_CLASS(CObject)));
  EXPECT_FALSE(made->IsKindOf(RUNTIME_CLASS(Knob)));
  delete made;
  EXPECT_EQ(nullptr, RUNTIME_CLASS(Knob)->CreateObject());
  const Knob knob;
  EXPECT_TRUE(knob.IsKindOf(RUNTIME_CLASS(CObject)));
  EXPECT_FALSE(knob.IsKindOf(RUNTIME_CLASS(Meter)));
}

}  // namespace
