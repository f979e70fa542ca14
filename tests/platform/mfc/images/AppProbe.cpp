// A program image built on the class library, with its own theApp. What it does is chosen by its
// first argument; it writes what it saw as lines of debug output.
//   "refuse"   InitInstance answers FALSE; ExitInstance answers 3.
//   "quit" N   InitInstance posts WM_QUIT with N; Run ends with ExitInstance's value, N.
//   "title"    writes the application's title.
//   "count"    counts one in the application object and writes the count, once the other programs
//              have had their turn.
//   "window"   a window of its own with a 500 ms timer, a button it reflects clicks to, and a
//              button it does not know; ends after 20 timers.
#include <afxwin.h>

#include <cstdlib>
#include <string>

namespace {

void Write(const std::string& text) { OutputDebugStringA((text + "\n").c_str()); }

constexpr UINT kKnownButton = 10;
constexpr UINT kOtherButton = 11;
constexpr UINT kTimer = 1;
constexpr UINT kProbe = WM_APP + 1;

// A button that takes its own clicks.
class ReflectingButton : public CWnd {
 protected:
  void OnClicked() { Write("button took its click"); }
  DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(ReflectingButton, CWnd)
ON_CONTROL_REFLECT(BN_CLICKED, OnClicked)
END_MESSAGE_MAP()

class ProbeWindow : public CWnd {
 public:
  ReflectingButton m_known;
  CWnd* m_other = nullptr;  // the object of a window the program never attached
  int m_timers = 0;

 protected:
  void OnTimer(UINT_PTR nIDEvent) {
    ++m_timers;
    if (CWnd::FromHandle(GetDlgItem(static_cast<int>(kOtherButton))->m_hWnd) != m_other) {
      Write("object moved");
    }
    if (m_timers == 20) {
      KillTimer(nIDEvent);
      DestroyWindow();
    }
  }
  void OnKnownClicked() { Write("parent took the known click"); }
  void OnOtherClicked() { Write("parent took the other click"); }
  LRESULT OnProbe(WPARAM wParam, LPARAM lParam) {
    Write("probe " + std::to_string(wParam) + " " + std::to_string(lParam));
    return 5;
  }
  void OnDestroy() {
    Write("timers " + std::to_string(m_timers));
    ::PostQuitMessage(m_timers);
  }
  // The main window's object goes with its window.
  void PostNcDestroy() override {
    AfxGetApp()->m_pMainWnd = nullptr;
    delete this;
  }
  DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(ProbeWindow, CWnd)
ON_WM_TIMER()
ON_WM_DESTROY()
ON_BN_CLICKED(kKnownButton, OnKnownClicked)
ON_BN_CLICKED(kOtherButton, OnOtherClicked)
ON_MESSAGE(kProbe, OnProbe)
END_MESSAGE_MAP()

class ProbeApp : public CWinApp {
 public:
  int m_count = 0;

  BOOL InitInstance() override {
    const std::string mode = __argc > 1 ? __argv[1] : "";
    if (mode == "quit" && __argc > 2) {
      ::PostQuitMessage(std::atoi(__argv[2]));
      return TRUE;
    }
    if (mode == "title") {
      Write(std::string("title ") + m_pszAppName);
      return FALSE;
    }
    if (mode == "count") {
      ++m_count;
      ::Sleep(1);
      Write("count " + std::to_string(m_count) + (AfxGetApp() == this ? " mine" : " other"));
      return FALSE;
    }
    if (mode == "window") {
      return ShowProbeWindow();
    }
    m_refused = true;
    return FALSE;
  }

  int ExitInstance() override {
    if (m_refused) {
      Write("ExitInstance");
      return 3;
    }
    const int code = CWinApp::ExitInstance();
    Write("ExitInstance " + std::to_string(code));
    return code;
  }

 private:
  BOOL ShowProbeWindow() {
    auto* window = new ProbeWindow;
    m_pMainWnd = window;
    if (!window->CreateEx(0, nullptr, "Probe", WS_OVERLAPPEDWINDOW | WS_VISIBLE, CRect(0, 0, 200, 100), nullptr, 0)) {
      return FALSE;
    }
    window->m_known.Create("BUTTON", "Known", WS_VISIBLE | BS_PUSHBUTTON, CRect(10, 10, 60, 30), window, kKnownButton);
    const HWND other = ::CreateWindowExA(0, "BUTTON", "Other", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, 70, 10, 50, 20,
                                         window->m_hWnd, reinterpret_cast<HMENU>(static_cast<UINT_PTR>(kOtherButton)),
                                         AfxGetInstanceHandle(), nullptr);
    window->m_other = CWnd::FromHandle(other);
    Write("result " + std::to_string(window->SendMessage(kProbe, 7, 8)));
    window->SendMessage(WM_COMMAND, MAKEWPARAM(kKnownButton, BN_CLICKED), reinterpret_cast<LPARAM>(window->m_known.m_hWnd));
    window->SendMessage(WM_COMMAND, MAKEWPARAM(kOtherButton, BN_CLICKED), reinterpret_cast<LPARAM>(other));
    window->SetTimer(kTimer, 500, nullptr);
    return TRUE;
  }

  bool m_refused = false;
};

ProbeApp theApp;

}  // namespace
