// The class library's control and drawing classes on real windows of a simulated process: the
// control members against the controls' replies, colour queries reflected to the control first,
// a person's input reaching each message-map entry kind, and DCs selecting and restoring objects.
#include <afxcmn.h>
#include <afxdlgs.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/win32/InputDriver.h"
#include "tests/platform/win32/TestMachine.h"
#include "tests/platform/win32/images/ProbeResources.h"

namespace {

using w32test::Machine;
namespace input = plat::win32::input;

// What the host window and its controls' objects heard, in order.
std::vector<std::string> gLog;
void Note(std::string line) { gLog.push_back(std::move(line)); }

constexpr int kCheck = 10;
constexpr int kLink = 11;
constexpr int kPicture = 12;
constexpr int kEdit = 13;
constexpr int kCombo = 14;
constexpr int kSlider = 15;
constexpr int kSpin = 16;
constexpr int kPlain = 17;  // a control the program never gives an object
constexpr int kDigits = 18;
constexpr COLORREF kLinkColour = RGB(0, 0, 238);
constexpr COLORREF kHostColour = RGB(212, 208, 200);

// A static that answers its own colour query, as a link control does.
class LinkStatic : public CStatic {
 public:
  bool answers = true;

 protected:
  HBRUSH CtlColor(CDC* pDC, UINT nCtlColor) {
    Note("link CtlColor " + std::to_string(nCtlColor));
    if (!answers) {
      return nullptr;
    }
    pDC->SetTextColor(kLinkColour);
    pDC->SetBkMode(TRANSPARENT);
    return static_cast<HBRUSH>(::GetStockObject(NULL_BRUSH));
  }
  DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(LinkStatic, CStatic)
ON_WM_CTLCOLOR_REFLECT()
END_MESSAGE_MAP()

// An edit that takes digits only, falling back on the edit's own handling for them.
class DigitsEdit : public CEdit {
 protected:
  void OnChar(UINT nChar, UINT nRepCnt, UINT nFlags) {
    if (nChar >= '0' && nChar <= '9') {
      CEdit::OnChar(nChar, nRepCnt, nFlags);
    } else {
      Note("digits dropped " + std::string(1, static_cast<char>(nChar)));
    }
  }
  UINT OnGetDlgCode() { return CEdit::OnGetDlgCode() | DLGC_WANTALLKEYS; }
  DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(DigitsEdit, CEdit)
ON_WM_CHAR()
ON_WM_GETDLGCODE()
END_MESSAGE_MAP()

class HostWnd : public CWnd {
 public:
  CButton check;
  LinkStatic link;
  CStatic picture;
  CEdit edit;
  CComboBox combo;
  CSliderCtrl slider;
  CSpinButtonCtrl spin;
  CToolTipCtrl tips;
  DigitsEdit digits;
  CBrush hostBrush{kHostColour};

  // Names an object a handler was given.
  std::string Who(const CWnd* wnd) const {
    if (wnd == nullptr) {
      return "none";
    }
    const std::pair<const CWnd*, const char*> known[] = {{this, "host"},    {&check, "check"},   {&link, "link"},
                                                         {&picture, "picture"}, {&edit, "edit"}, {&combo, "combo"},
                                                         {&slider, "slider"}, {&spin, "spin"}};
    for (const auto& [object, name] : known) {
      if (object == wnd) {
        return name;
      }
    }
    return wnd == CWnd::FromHandlePermanent(wnd->m_hWnd) ? "other" : "temporary " + std::to_string(wnd->GetDlgCtrlID());
  }

 protected:
  int OnCreate(LPCREATESTRUCTA lpCreateStruct) {
    Note(std::string("OnCreate ") + lpCreateStruct->lpszName);
    constexpr DWORD kChild = WS_CHILD | WS_VISIBLE;
    const bool made = check.Create("Converter delay", kChild | BS_AUTOCHECKBOX, CRect(10, 10, 150, 30), this, kCheck) &&
                      link.Create("Click for web info", kChild | SS_NOTIFY, CRect(10, 40, 150, 56), this, kLink) &&
                      picture.Create("", kChild | SS_BITMAP, CRect(160, 40, 200, 80), this, kPicture) &&
                      edit.Create(kChild | WS_BORDER | ES_AUTOHSCROLL, CRect(10, 70, 60, 90), this, kEdit) &&
                      combo.Create(kChild | CBS_DROPDOWNLIST | WS_VSCROLL, CRect(10, 200, 150, 300), this, kCombo) &&
                      slider.Create(kChild | TBS_AUTOTICKS, CRect(10, 100, 210, 130), this, kSlider) &&
                      spin.Create(kChild | UDS_ALIGNRIGHT | UDS_SETBUDDYINT | UDS_ARROWKEYS, CRect(60, 70, 76, 90), this,
                                  kSpin) &&
                      ::CreateWindowExA(0, "STATIC", "plain", kChild, 10, 150, 100, 16, m_hWnd,
                                        reinterpret_cast<HMENU>(static_cast<UINT_PTR>(kPlain)), nullptr,
                                        nullptr) != nullptr &&
                      digits.Create(kChild | WS_BORDER, CRect(300, 200, 380, 220), this, kDigits) &&
                      tips.Create(this);
    return made ? 0 : -1;
  }
  BOOL OnEraseBkgnd(CDC* pDC) {
    Note(std::string("OnEraseBkgnd ") + (pDC == CDC::FromHandle(pDC->m_hDC) ? "dc" : "stray"));
    CRect client;
    GetClientRect(client);
    pDC->FillSolidRect(client, kHostColour);
    return TRUE;
  }
  void OnPaint() {
    CPaintDC dc(this);
    Note(std::string("OnPaint ") + (dc.m_hDC == dc.m_ps.hdc ? "paint dc" : "other dc"));
  }
  void OnHScroll(UINT nSBCode, UINT nPos, CScrollBar* pScrollBar) {
    Note("OnHScroll " + std::to_string(nSBCode) + " " + std::to_string(static_cast<int>(nPos)) + " " + Who(pScrollBar));
  }
  void OnVScroll(UINT nSBCode, UINT nPos, CScrollBar* pScrollBar) {
    Note("OnVScroll " + std::to_string(nSBCode) + " " + std::to_string(static_cast<int>(nPos)) + " " + Who(pScrollBar));
  }
  BOOL OnSetCursor(CWnd* pWnd, UINT nHitTest, UINT message) {
    Note("OnSetCursor " + Who(pWnd) + " " + std::to_string(nHitTest) + " " + std::to_string(message));
    return TRUE;
  }
  HBRUSH OnCtlColor(CDC* pDC, CWnd* pWnd, UINT nCtlColor) {
    Note("host OnCtlColor " + Who(pWnd) + " " + std::to_string(nCtlColor));
    pDC->SetBkColor(kHostColour);
    return hostBrush;
  }
  void OnLButtonDown(UINT nFlags, CPoint point) {
    Note("OnLButtonDown " + std::to_string(nFlags) + " " + std::to_string(point.x) + "," + std::to_string(point.y));
  }
  void OnLButtonUp(UINT nFlags, CPoint point) {
    CPoint cursor = GetCurrentMessage()->pt;
    ScreenToClient(&cursor);
    Note("OnLButtonUp " + std::to_string(nFlags) + " " + std::to_string(point.x) + "," + std::to_string(point.y) +
         " cursor " + std::to_string(cursor.x) + "," + std::to_string(cursor.y));
  }
  void OnSpinDelta(UINT id, NMHDR* pNMHDR, LRESULT* pResult) {
    const auto* updown = reinterpret_cast<NMUPDOWN*>(pNMHDR);
    Note("OnSpinDelta " + std::to_string(id) + " " + std::to_string(updown->iPos) + " " + std::to_string(updown->iDelta));
    *pResult = 0;
  }
  void OnCheckClicked() { Note("OnCheckClicked " + std::to_string(check.GetCheck())); }
  void OnDestroy() { ::PostQuitMessage(0); }
  DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(HostWnd, CWnd)
ON_WM_CREATE()
ON_WM_ERASEBKGND()
ON_WM_PAINT()
ON_WM_HSCROLL()
ON_WM_VSCROLL()
ON_WM_SETCURSOR()
ON_WM_CTLCOLOR()
ON_WM_LBUTTONDOWN()
ON_WM_LBUTTONUP()
ON_WM_DESTROY()
ON_NOTIFY_RANGE(UDN_DELTAPOS, kSpin, kSpin, OnSpinDelta)
ON_BN_CLICKED(kCheck, OnCheckClicked)
END_MESSAGE_MAP()

HostWnd* gHost = nullptr;

uint32_t HostProgram() {
  HostWnd host;
  if (!host.CreateEx(0, nullptr, "Host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, CRect(10, 10, 610, 410), nullptr, 0)) {
    return 100;
  }
  gHost = &host;
  MSG msg;
  while (::GetMessageA(&msg, nullptr, 0, 0)) {
    if (msg.message >= WM_MOUSEFIRST && msg.message <= WM_MOUSEWHEEL) {
      host.tips.RelayEvent(&msg);
    }
    ::TranslateMessage(&msg);
    ::DispatchMessageA(&msg);
  }
  gHost = nullptr;
  CGdiObject::DeleteTempMap();
  CDC::DeleteTempMap();
  CWnd::DeleteTempMap();
  return static_cast<uint32_t>(msg.wParam);
}

class ControlClasses : public ::testing::Test {
 protected:
  void SetUp() override {
    gLog.clear();
    process_ = machine_.Start("host.exe", 64, [] { return HostProgram(); });
    ASSERT_TRUE(machine_.RunUntil([] { return gHost != nullptr; }, 1000));
    machine_.RunFor(100);
    gLog.clear();
  }
  void TearDown() override {
    In([] { ::PostMessageA(gHost->m_hWnd, WM_CLOSE, 0, 0); });
    machine_.Wait(process_);
    EXPECT_EQ(0u, machine_.ExitCode(process_));
    machine_.Release(process_);
  }
  // Runs `body` on another thread of the host's process, as the program's own code.
  void In(const std::function<void()>& body) { ASSERT_TRUE(machine_.RunIn(process_, body)); }
  // The log lines that start with `prefix`.
  static std::vector<std::string> Heard(const std::string& prefix) {
    std::vector<std::string> lines;
    for (const std::string& line : gLog) {
      if (line.starts_with(prefix)) {
        lines.push_back(line);
      }
    }
    return lines;
  }

  Machine machine_;
  void* process_ = nullptr;
};

TEST_F(ControlClasses, EachControlMemberAnswersTheControlsReply) {
  struct Case {
    const char* name;
    std::function<std::string(HostWnd&)> act;
    std::string expected;
  };
  const Case cases[] = {
      {"check box", [](HostWnd& h) {
         h.check.SetCheck(BST_CHECKED);
         const int checked = h.check.GetCheck();
         h.check.SetCheck(BST_UNCHECKED);
         return std::to_string(checked) + " " + std::to_string(h.check.GetCheck());
       }, "1 0"},
      {"combo list", [](HostWnd& h) {
         const int a = h.combo.AddString("44100");
         const int b = h.combo.AddString("48000");
         const int c = h.combo.InsertString(0, "32000");
         CString text;
         h.combo.GetLBText(1, text);
         char second[16] = {};
         h.combo.GetLBText(2, second);
         return std::to_string(a) + std::to_string(b) + std::to_string(c) + " " + std::to_string(h.combo.GetCount()) +
                " " + static_cast<LPCSTR>(text) + " " + second + " " + std::to_string(h.combo.GetLBTextLen(0)) + " " +
                std::to_string(h.combo.FindStringExact(-1, "48000"));
       }, "010 3 44100 48000 5 2"},
      {"combo selection and data", [](HostWnd& h) {
         h.combo.AddString("one");
         h.combo.AddString("two");
         h.combo.SetItemData(1, 96000);
         const int before = h.combo.GetCurSel();
         const int set = h.combo.SetCurSel(1);
         const int beyond = h.combo.SetCurSel(5);
         CString missing = "stale";
         h.combo.GetLBText(7, missing);
         const std::string line = std::to_string(before) + " " + std::to_string(set) + " " + std::to_string(beyond) +
                                  " " + std::to_string(h.combo.GetItemData(1)) + " [" +
                                  static_cast<LPCSTR>(missing) + "]";
         h.combo.ResetContent();
         return line + " " + std::to_string(h.combo.GetCount());
       }, "-1 1 -1 96000 [] 0"},
      {"edit selection and limit", [](HostWnd& h) {
         h.edit.SetLimitText(8);
         h.edit.SetWindowText("-2.5");
         h.edit.SetSel(1, 3);
         int start = 0;
         int end = 0;
         h.edit.GetSel(start, end);
         const DWORD packed = h.edit.GetSel();
         h.edit.ReplaceSel("7");
         CString text;
         h.edit.GetWindowText(text);
         return std::to_string(h.edit.GetLimitText()) + " " + std::to_string(start) + "-" + std::to_string(end) + " " +
                std::to_string(LOWORD(packed)) + "-" + std::to_string(HIWORD(packed)) + " " +
                static_cast<LPCSTR>(text);
       }, "8 1-3 1-3 -75"},
      {"edit limit by LimitText", [](HostWnd& h) {
         h.edit.LimitText(3);
         h.edit.SetWindowText("");
         h.edit.ReplaceSel("12345");
         CString text;
         h.edit.GetWindowText(text);
         return std::to_string(h.edit.GetLimitText()) + " " + static_cast<LPCSTR>(text);
       }, "3 123"},
      {"trackbar range and position", [](HostWnd& h) {
         h.slider.SetRange(0, 6);
         h.slider.SetTicFreq(1);
         h.slider.SetPos(3);
         const int pos = h.slider.GetPos();
         h.slider.SetPos(9);
         int low = -1;
         int high = -1;
         h.slider.GetRange(low, high);
         return std::to_string(low) + "-" + std::to_string(high) + " " + std::to_string(pos) + " " +
                std::to_string(h.slider.GetPos()) + " " + std::to_string(h.slider.GetNumTics());
       }, "0-6 3 6 7"},
      {"up-down with an inverted range", [](HostWnd& h) {
         h.spin.SetBuddy(&h.edit);
         h.spin.SetRange(10, 0);
         const int before = h.spin.SetPos(5);
         int lower = -1;
         int upper = -1;
         h.spin.GetRange(lower, upper);
         CString text;
         h.edit.GetWindowText(text);
         return std::to_string(lower) + " " + std::to_string(upper) + " " + std::to_string(before) + " " +
                std::to_string(LOWORD(h.spin.GetPos())) + " " + static_cast<LPCSTR>(text) + " " +
                h.Who(h.spin.GetBuddy());
       }, "10 0 0 5 5 edit"},
      {"up-down 32-bit range", [](HostWnd& h) {
         h.spin.SetRange32(-100, 100000);
         h.spin.SetPos32(70000);
         int lower = 0;
         int upper = 0;
         h.spin.GetRange32(lower, upper);
         BOOL error = TRUE;
         const int pos = h.spin.GetPos32(&error);
         return std::to_string(lower) + " " + std::to_string(upper) + " " + std::to_string(pos) + " " +
                std::to_string(error);
       }, "-100 100000 70000 0"},
      {"static picture", [](HostWnd& h) {
         CBitmap first;
         CBitmap second;
         const BYTE bits[4] = {};
         first.CreateBitmap(2, 2, 1, 1, bits);
         second.CreateBitmap(2, 2, 1, 1, bits);
         const HBITMAP none = h.picture.SetBitmap(first);
         const HBITMAP replaced = h.picture.SetBitmap(second);
         const bool shown = h.picture.GetBitmap() == static_cast<HBITMAP>(second);
         h.picture.SetBitmap(nullptr);
         return std::string(none == nullptr ? "none " : "some ") + (replaced == first ? "first " : "other ") +
                (shown ? "second" : "not shown");
       }, "none first second"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string answer;
    In([&] { answer = c.act(*gHost); });
    EXPECT_EQ(c.expected, answer);
  }
  // Setting a control from code notifies nobody.
  EXPECT_EQ(std::vector<std::string>{}, Heard("OnCheckClicked"));
}

TEST_F(ControlClasses, AColourQueryGoesToTheControlsOwnHandlerBeforeTheParent) {
  struct Case {
    const char* name;
    int id;
    UINT message;
    bool linkAnswers;
    std::vector<std::string> heard;
    bool parentsBrush;
    COLORREF textColour;
  };
  const Case cases[] = {
      {"the link answers", kLink, WM_CTLCOLORSTATIC, true, {"link CtlColor 6"}, false, kLinkColour},
      {"the link declines", kLink, WM_CTLCOLORSTATIC, false, {"link CtlColor 6", "host OnCtlColor link 6"}, true,
       RGB(0, 0, 0)},
      {"a control object without a reflected handler", kEdit, WM_CTLCOLOREDIT, true, {"host OnCtlColor edit 1"}, true,
       RGB(0, 0, 0)},
      {"a control without an object", kPlain, WM_CTLCOLORSTATIC, true, {"host OnCtlColor temporary 17 6"}, true,
       RGB(0, 0, 0)},
      {"a button", kCheck, WM_CTLCOLORBTN, true, {"host OnCtlColor check 3"}, true, RGB(0, 0, 0)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    gLog.clear();
    LRESULT brush = 0;
    COLORREF text = CLR_INVALID;
    In([&] {
      gHost->link.answers = c.linkAnswers;
      CDC dc;
      dc.CreateCompatibleDC(nullptr);
      // What a control asks its parent before it paints.
      brush = gHost->SendMessage(c.message, reinterpret_cast<WPARAM>(dc.m_hDC),
                                 reinterpret_cast<LPARAM>(::GetDlgItem(gHost->m_hWnd, c.id)));
      text = dc.GetTextColor();
    });
    EXPECT_EQ(c.heard, gLog);
    const LRESULT expected = reinterpret_cast<LRESULT>(
        c.parentsBrush ? static_cast<HGDIOBJ>(gHost->hostBrush.m_hObject) : ::GetStockObject(NULL_BRUSH));
    EXPECT_EQ(expected, brush);
    EXPECT_EQ(c.textColour, text);
  }
}

TEST_F(ControlClasses, AStaticOfADialogAnswersItsOwnColourQuery) {
  LRESULT brush = 0;
  COLORREF text = CLR_INVALID;
  In([&] {
    // A page of a resource module, its icon static attached the way data exchange attaches one.
    const HMODULE library = ::LoadLibraryA("ProbeLibrary.dll");
    const HINSTANCE own = AfxGetResourceHandle();
    AfxSetResourceHandle(library);
    CDialog page;
    ASSERT_TRUE(page.Create(probe::kPage, gHost));
    AfxSetResourceHandle(own);
    LinkStatic icon;
    ASSERT_TRUE(icon.SubclassDlgItem(probe::kIconStatic, &page));
    CDC dc;
    dc.CreateCompatibleDC(nullptr);
    brush = page.SendMessage(WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc.m_hDC), reinterpret_cast<LPARAM>(icon.m_hWnd));
    text = dc.GetTextColor();
    page.DestroyWindow();
    ::FreeLibrary(library);
  });
  EXPECT_EQ(std::vector<std::string>{"link CtlColor 6"}, gLog);
  EXPECT_EQ(reinterpret_cast<LRESULT>(::GetStockObject(NULL_BRUSH)), brush);
  EXPECT_EQ(kLinkColour, text);
}

TEST_F(ControlClasses, APersonsInputReachesEachEntryKindWithItsArguments) {
  struct Case {
    const char* name;
    std::function<bool()> act;
    const char* prefix;
    std::vector<std::string> heard;
  };
  const Case cases[] = {
      {"a move over the window asks for the cursor", [] { return input::Move({"Host"}, input::Point{300, 50}); },
       "OnSetCursor", {"OnSetCursor host 1 512"}},
      {"a click", [] { return input::Click({"Host"}, input::Point{300, 60}); }, "OnLButton",
       {"OnLButtonDown 1 300,60", "OnLButtonUp 0 300,60 cursor 300,60"}},
      {"each button message also asks for the cursor", [] { return input::Click({"Host"}, input::Point{301, 60}); },
       "OnSetCursor", {"OnSetCursor host 1 512", "OnSetCursor host 1 513", "OnSetCursor host 1 514"}},
      {"a click on the check box", [] { return input::Click({"Host", "", {kCheck}}); }, "OnCheckClicked",
       {"OnCheckClicked 1"}},
      {"a click on the trackbar's thumb", [] { return input::Click({"Host", "", {kSlider}}, input::Point{5, 5}); },
       "OnHScroll", {"OnHScroll 4 0 slider", "OnHScroll 8 0 slider"}},
      {"a trackbar key", [] { return input::Key({"Host"}, VK_RIGHT); }, "OnHScroll",
       {"OnHScroll 1 0 slider", "OnHScroll 8 0 slider"}},
      {"an up-down arrow", [] { return input::Click({"Host", "", {kSpin}}, input::Point{8, 4}); }, "OnSpin",
       {"OnSpinDelta 16 0 1"}},
      {"an up-down arrow scrolls too", [] { return input::Click({"Host", "", {kSpin}}, input::Point{8, 4}); },
       "OnVScroll", {"OnVScroll 4 2 spin", "OnVScroll 8 2 spin"}},
  };
  In([] {
    gHost->slider.SetRange(0, 6);
    gHost->spin.SetRange(0, 10);
  });
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    gLog.clear();
    ASSERT_TRUE(c.act());
    EXPECT_EQ(c.heard, Heard(c.prefix)) << ::testing::PrintToString(gLog);
  }
}

TEST_F(ControlClasses, ADerivedHandlerFallsBackOnTheControlsOwnHandling) {
  ASSERT_TRUE(input::Click({"Host", "", {kDigits}}));
  ASSERT_TRUE(input::Type({"Host", "", {kDigits}}, "4x2-"));
  std::string text;
  LRESULT code = 0;
  In([&] {
    CString got;
    gHost->digits.GetWindowText(got);
    text = got;
    code = gHost->digits.SendMessage(WM_GETDLGCODE);
  });
  EXPECT_EQ("42", text);
  EXPECT_EQ((std::vector<std::string>{"digits dropped x", "digits dropped -"}), Heard("digits"));
  // The edit's own code, and every key besides.
  EXPECT_EQ(DLGC_WANTALLKEYS, code & DLGC_WANTALLKEYS);
  EXPECT_EQ(DLGC_HASSETSEL, code & DLGC_HASSETSEL);
}

TEST_F(ControlClasses, RepaintingErasesThroughTheMapThenPaintsWithAPaintDC) {
  In([] {
    gHost->Invalidate(TRUE);
    gHost->UpdateWindow();
  });
  EXPECT_EQ((std::vector<std::string>{"OnEraseBkgnd dc", "OnPaint paint dc"}), Heard("On"));
}

TEST_F(ControlClasses, ToolTipTextsShowInTheWindowDump) {
  In([] {
    CRect client;
    gHost->link.GetClientRect(client);
    gHost->tips.AddTool(&gHost->link, "http://www.example.com/", client, 1);
    gHost->tips.AddTool(&gHost->check, "Converter delay");
  });
  std::string dump = input::DumpWindows();
  EXPECT_NE(std::string::npos, dump.find("1: http://www.example.com/")) << dump;
  std::string text;
  int count = 0;
  In([&] {
    gHost->tips.UpdateTipText("http://www.example.com/kr6", &gHost->link, 1);
    CString got;
    gHost->tips.GetText(got, &gHost->link, 1);
    text = got;
    count = gHost->tips.GetToolCount();
  });
  EXPECT_EQ("http://www.example.com/kr6", text);
  EXPECT_EQ(2, count);
  // A text given as a string of the resource module.
  In([&] {
    const HMODULE library = ::LoadLibraryA("ProbeLibrary.dll");
    const HINSTANCE own = AfxGetResourceHandle();
    AfxSetResourceHandle(library);
    gHost->tips.AddTool(&gHost->edit, probe::kTitleString, nullptr, 7);
    AfxSetResourceHandle(own);
    CString got;
    gHost->tips.GetText(got, &gHost->edit, 7);
    text = got;
    gHost->tips.DelTool(&gHost->check);
    count = gHost->tips.GetToolCount();
    ::FreeLibrary(library);
  });
  EXPECT_EQ("Probe library", text);
  EXPECT_EQ(2, count);
  dump = input::DumpWindows();
  EXPECT_NE(std::string::npos, dump.find("1: http://www.example.com/kr6")) << dump;
  EXPECT_EQ(std::string::npos, dump.find("1: http://www.example.com/\n")) << dump;
}

}  // namespace
