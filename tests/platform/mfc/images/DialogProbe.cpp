// A program image on the class library's dialogs, sheet and pages, with its own theApp. What it
// runs is chosen by its first argument; it writes what it saw as lines of debug output.
//   "sheet" [N]  a sheet of three pages run modally, with a 500 ms timer; the tests drive it by
//                hand and by the WM_APP messages of DialogProbeIds.h. Its WM_KICKIDLE handler
//                answers nonzero while the idle count is below N (0 when not given).
//   "owned"      the same sheet owned by a window of the program.
//   "hidden"     the same sheet turning every attempt to show it into a move, until kShow.
//   "dialog"     a dialog run modally, its members exchanged with its controls.
//   "modeless"   the same dialog made modeless as the main window; OK saves and ends the program.
//   "twin"       a sheet that, after a second, tells which sheets of the machine have an object in
//                this process, and a second later ends itself.
#include <afxdlgs.h>
#include <afxpriv.h>

#include <cstdlib>
#include <string>

#include "tests/platform/mfc/images/DialogProbeIds.h"

namespace {

using namespace dlgprobe;

void Write(const std::string& text) { OutputDebugStringA((text + "\n").c_str()); }

std::string Text(HWND hWnd) {
  char text[64] = {};
  ::GetWindowTextA(hWnd, text, sizeof text);
  return text;
}

constexpr UINT_PTR kTimer = 1;

// A control attached by data exchange, counting how often it was taken over.
class ProbeControl : public CWnd {
 public:
  int m_subclassed = 0;
  void PreSubclassWindow() override { ++m_subclassed; }
};

class ProbePage : public CPropertyPage {
 public:
  ProbePage(UINT nIDTemplate, int number) : CPropertyPage(nIDTemplate), m_number(std::to_string(number)) {}

  BOOL OnInitDialog() override {
    // The page and its sheet have their objects before the page hears of its dialog.
    const bool own = FromHandlePermanent(m_hWnd) == this;
    const bool sheet = FromHandlePermanent(::GetParent(m_hWnd)) != nullptr;
    Write(m_number + " init" + (own ? "" : " lost") + (sheet ? "" : " sheet lost") + InitDetail());
    return CPropertyPage::OnInitDialog();
  }
  BOOL OnSetActive() override {
    Write(m_number + " setactive");
    return CPropertyPage::OnSetActive();
  }
  BOOL OnKillActive() override {
    const BOOL kept = !CPropertyPage::OnKillActive();
    Write(m_number + " killactive" + (kept ? " kept" : ""));
    return !kept;
  }
  BOOL OnApply() override {
    Write(m_number + " apply");
    return CPropertyPage::OnApply();
  }
  void OnReset() override { Write(m_number + " reset"); }

 protected:
  virtual std::string InitDetail() { return ""; }

 private:
  std::string m_number;
};

class FirstPage : public ProbePage {
 public:
  FirstPage() : ProbePage(kFirstPage, 1) {}

  CString m_text;
  int m_choice = 0;
  int m_checked = 0;
  CString m_short;
  ProbeControl m_ask;
  bool m_allowAct = false;

 protected:
  std::string InitDetail() override {
    return " combo " + std::to_string(::SendDlgItemMessageA(m_hWnd, kChoice, CB_GETCOUNT, 0, 0));
  }
  void DoDataExchange(CDataExchange* pDX) override {
    DDX_Control(pDX, kAsk, m_ask);
    DDX_Text(pDX, kText, m_text);
    DDX_CBIndex(pDX, kChoice, m_choice);
    DDX_Check(pDX, kCheck, m_checked);
    DDX_Text(pDX, kShort, m_short);
    DDV_MaxChars(pDX, m_short, kShortMax);
  }
  LRESULT OnKickIdle(WPARAM, LPARAM) {
    UpdateDialogControls(this, FALSE);
    return 0;
  }
  void OnUpdateAct(CCmdUI* pCmdUI) { pCmdUI->Enable(m_allowAct); }
  void OnAct() { Write("act"); }
  void OnAsk() { Write("asked " + std::to_string(AfxMessageBox("Really?", MB_YESNO))); }
  DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(FirstPage, ProbePage)
ON_MESSAGE(WM_KICKIDLE, OnKickIdle)
ON_UPDATE_COMMAND_UI(kAct, OnUpdateAct)
ON_BN_CLICKED(kAct, OnAct)
ON_BN_CLICKED(kAsk, OnAsk)
END_MESSAGE_MAP()

class ProbeSheet : public CPropertySheet {
 public:
  ProbeSheet(UINT nIDCaption, CWnd* pParentWnd, LONG kickAnswers, bool twin, bool hidden = false)
      : CPropertySheet(nIDCaption, pParentWnd), m_kickAnswers(kickAnswers), m_twin(twin), m_hidden(hidden) {
    AddPage(&m_first);
    AddPage(&m_second);
    AddPage(&m_third);
  }

  FirstPage m_first;
  ProbePage m_second{kSecondPage, 2};
  ProbePage m_third{kThirdPage, 3};

  BOOL OnInitDialog() override {
    const BOOL result = CPropertySheet::OnInitDialog();
    std::string line = "sheet init active " + std::to_string(GetActiveIndex());
    if (m_pParentWnd != nullptr) {
      line += std::string(" owner ") + (m_pParentWnd->IsWindowEnabled() ? "enabled" : "disabled");
    }
    Write(line);
    SetTimer(kTimer, 500, nullptr);
    return result;
  }

 protected:
  void OnTimer(UINT_PTR) {
    ++m_timers;
    // Both twins look at the same moment and end a second later.
    if (m_twin && m_timers == 2) {
      ReportTwins();
    }
    if (m_twin && m_timers == 4) {
      PostMessage(PSM_PRESSBUTTON, PSBTN_OK);
    }
  }
  void OnWindowPosChanging(WINDOWPOS* lpwndpos) {
    if (m_hidden) {
      lpwndpos->flags &= ~SWP_SHOWWINDOW;
    }
    Default();
  }
  LRESULT OnShow(WPARAM, LPARAM) {
    m_hidden = false;
    ShowWindow(SW_SHOW);
    return 0;
  }
  LRESULT OnKickIdle(WPARAM, LPARAM lParam) {
    ++m_kicks;
    SendMessageToDescendants(WM_KICKIDLE, 0, 0, FALSE);
    return lParam < m_kickAnswers ? 1 : 0;
  }
  LRESULT OnSetActivePageAsked(WPARAM wParam, LPARAM) {
    const BOOL done = SetActivePage(static_cast<int>(wParam));
    Write("SetActivePage " + std::to_string(wParam) + (done ? " done" : " refused") + " active " +
          std::to_string(GetActiveIndex()));
    return 0;
  }
  LRESULT OnCancelToCloseAsked(WPARAM, LPARAM) {
    GetActivePage()->CancelToClose();
    return 0;
  }
  LRESULT OnLoadFirst(WPARAM, LPARAM) {
    m_first.m_text = kLoadedText;
    m_first.m_choice = kLoadedChoice;
    m_first.m_checked = kLoadedCheck;
    const BOOL done = m_first.UpdateData(FALSE);
    Write(std::string("loaded ") + (done ? "" : "failed ") + Text(::GetDlgItem(m_first.m_hWnd, kText)) + " " +
          std::to_string(::SendDlgItemMessageA(m_first.m_hWnd, kChoice, CB_GETCURSEL, 0, 0)) + " " +
          std::to_string(::SendDlgItemMessageA(m_first.m_hWnd, kCheck, BM_GETCHECK, 0, 0)) + " limit " +
          std::to_string(::SendDlgItemMessageA(m_first.m_hWnd, kShort, EM_GETLIMITTEXT, 0, 0)));
    return 0;
  }
  LRESULT OnSaveActive(WPARAM, LPARAM) {
    CPropertyPage* page = GetActivePage();
    const BOOL done = page->UpdateData(TRUE);
    std::string line = std::string("saved ") + (done ? "" : "failed ");
    if (page == &m_first) {
      line += std::string(m_first.m_text) + " " + std::to_string(m_first.m_choice) + " " +
              std::to_string(m_first.m_checked) + " " + std::string(m_first.m_short);
    }
    Write(line);
    return 0;
  }
  LRESULT OnReport(WPARAM, LPARAM) {
    const HWND focus = ::GetFocus();
    Write("kicks " + std::to_string(m_kicks) + " timers " + std::to_string(m_timers) + " focus " +
          std::to_string(focus != nullptr ? ::GetDlgCtrlID(focus) : 0) + " subclassed " +
          std::to_string(m_first.m_ask.m_subclassed));
    m_kicks = 0;
    m_timers = 0;
    return 0;
  }
  LRESULT OnAllowAct(WPARAM wParam, LPARAM) {
    m_first.m_allowAct = wParam != 0;
    return 0;
  }
  LRESULT OnFocusAct(WPARAM, LPARAM) {
    m_first.GotoDlgCtrl(m_first.GetDlgItem(kAct));
    return 0;
  }
  LRESULT OnLongShort(WPARAM, LPARAM) {
    ::SetDlgItemTextA(m_first.m_hWnd, kShort, "far too long");
    return 0;
  }
  LRESULT OnModified(WPARAM, LPARAM) {
    m_first.SetModified();
    return 0;
  }
  DECLARE_MESSAGE_MAP()

 private:
  static BOOL CALLBACK CountTwin(HWND hWnd, LPARAM lParam) {
    auto* counts = reinterpret_cast<int*>(lParam);
    if (Text(hWnd) == "Twin") {
      ++counts[0];
      counts[1] += FromHandlePermanent(hWnd) != nullptr ? 1 : 0;
    }
    return TRUE;
  }
  void ReportTwins() {
    int counts[2] = {};
    ::EnumWindows(&CountTwin, reinterpret_cast<LPARAM>(counts));
    Write("twins " + std::to_string(counts[0]) + " mine " + std::to_string(counts[1]));
  }

  LONG m_kickAnswers;
  bool m_twin;
  bool m_hidden;
  int m_kicks = 0;
  int m_timers = 0;
};

BEGIN_MESSAGE_MAP(ProbeSheet, CPropertySheet)
ON_WM_TIMER()
ON_WM_WINDOWPOSCHANGING()
ON_MESSAGE(WM_KICKIDLE, OnKickIdle)
ON_MESSAGE(WM_APP + kShow, OnShow)
ON_MESSAGE(WM_APP + kSetActivePage, OnSetActivePageAsked)
ON_MESSAGE(WM_APP + kCancelToClose, OnCancelToCloseAsked)
ON_MESSAGE(WM_APP + kLoadFirst, OnLoadFirst)
ON_MESSAGE(WM_APP + kSaveActive, OnSaveActive)
ON_MESSAGE(WM_APP + kReport, OnReport)
ON_MESSAGE(WM_APP + kAllowAct, OnAllowAct)
ON_MESSAGE(WM_APP + kFocusAct, OnFocusAct)
ON_MESSAGE(WM_APP + kLongShort, OnLongShort)
ON_MESSAGE(WM_APP + kModified, OnModified)
END_MESSAGE_MAP()

class ProbeDialog : public CDialog {
 public:
  ProbeDialog() : CDialog(kDialog) {}

  CString m_text = "Start";
  int m_choice = 1;
  int m_checked = 0;

  BOOL OnInitDialog() override {
    const LRESULT count = ::SendDlgItemMessageA(m_hWnd, kChoice, CB_GETCOUNT, 0, 0);
    const BOOL result = CDialog::OnInitDialog();
    CRect units(0, 0, 4, 8);
    MapDialogRect(units);
    Write("dialog init combo " + std::to_string(count) + " then " +
          std::to_string(::SendDlgItemMessageA(m_hWnd, kChoice, CB_GETCOUNT, 0, 0)) + " loaded " +
          Text(::GetDlgItem(m_hWnd, kText)) + " " +
          std::to_string(::SendDlgItemMessageA(m_hWnd, kChoice, CB_GETCURSEL, 0, 0)) + " units " +
          std::to_string(units.Width()) + "x" + std::to_string(units.Height()));
    return result;
  }

 protected:
  void DoDataExchange(CDataExchange* pDX) override {
    DDX_Text(pDX, kText, m_text);
    DDV_MaxChars(pDX, m_text, 5);
    DDX_CBIndex(pDX, kChoice, m_choice);
    DDX_Check(pDX, kCheck, m_checked);
  }
};

// Saves and goes on OK; its window's end ends the program.
class ModelessDialog : public ProbeDialog {
 public:
  void OnOK() override {
    if (UpdateData(TRUE)) {
      Write("modeless saved " + std::string(m_text) + " " + std::to_string(m_checked));
      DestroyWindow();
    }
  }
  void OnCancel() override { DestroyWindow(); }
  void PostNcDestroy() override {
    AfxGetApp()->m_pMainWnd = nullptr;
    ::PostQuitMessage(7);
    delete this;
  }
};

class DialogProbeApp : public CWinApp {
 public:
  int m_runs = 0;

  BOOL InitInstance() override {
    ++m_runs;
    const std::string mode = __argc > 1 ? __argv[1] : "";
    if (mode == "sheet" || mode == "twin" || mode == "hidden") {
      ProbeSheet sheet(mode == "twin" ? kTwinCaption : kSheetCaption, nullptr, __argc > 2 ? std::atoi(__argv[2]) : 0,
                       mode == "twin", mode == "hidden");
      m_pMainWnd = &sheet;
      m_result = static_cast<int>(sheet.DoModal());
      m_pMainWnd = nullptr;
      Write("DoModal " + std::to_string(m_result) + " runs " + std::to_string(m_runs));
    } else if (mode == "owned") {
      CWnd owner;
      owner.CreateEx(0, nullptr, "Probe Owner", WS_OVERLAPPEDWINDOW | WS_VISIBLE, CRect(0, 0, 300, 200), nullptr, 0);
      ProbeSheet sheet(kSheetCaption, &owner, 0, false);
      m_result = static_cast<int>(sheet.DoModal());
      Write(std::string("DoModal ") + std::to_string(m_result) + " owner " +
            (owner.IsWindowEnabled() ? "enabled" : "disabled"));
      owner.DestroyWindow();
    } else if (mode == "dialog") {
      ProbeDialog dialog;
      m_result = static_cast<int>(dialog.DoModal());
      Write("DoModal " + std::to_string(m_result) + " " + std::string(dialog.m_text) + " " +
            std::to_string(dialog.m_choice) + " " + std::to_string(dialog.m_checked));
    } else if (mode == "modeless") {
      auto* dialog = new ModelessDialog;
      m_pMainWnd = dialog;
      if (dialog->Create(kDialog)) {
        dialog->ShowWindow(SW_SHOW);
        m_running = true;
        return TRUE;
      }
      delete dialog;
    }
    return FALSE;
  }

  int ExitInstance() override { return m_running ? CWinApp::ExitInstance() : m_result; }

 private:
  int m_result = -2;
  bool m_running = false;
};

DialogProbeApp theApp;

}  // namespace
