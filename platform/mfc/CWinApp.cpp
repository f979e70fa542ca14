#include <afxwin.h>

namespace {
// The image's application; set by its constructor, which runs during static initialisation.
CWinApp* g_app = nullptr;
}  // namespace

BOOL CWinThread::InitInstance() { return FALSE; }

BOOL CWinThread::PreTranslateMessage(MSG* pMsg) {
  BOOL handled = FALSE;
  if (pMsg->hwnd != nullptr) {
    CWnd::WalkPreTranslateTree(m_pMainWnd != nullptr ? m_pMainWnd->m_hWnd : nullptr, pMsg, &handled);
  }
  return handled;
}

BOOL CWinThread::OnIdle(LONG) {
  CWnd::DeleteTempMap();
  CDC::DeleteTempMap();
  CGdiObject::DeleteTempMap();
  return FALSE;
}

int CWinThread::ExitInstance() { return m_msgCur.message == WM_QUIT ? static_cast<int>(m_msgCur.wParam) : 0; }

BOOL CWinThread::PumpMessage() {
  if (!::GetMessageA(&m_msgCur, nullptr, 0, 0)) {
    return FALSE;
  }
  if (!PreTranslateMessage(&m_msgCur)) {
    ::TranslateMessage(&m_msgCur);
    ::DispatchMessageA(&m_msgCur);
  }
  return TRUE;
}

int CWinThread::Run() {
  for (;;) {
    MSG peek;
    for (LONG idleCount = 0; !::PeekMessageA(&peek, nullptr, 0, 0, PM_NOREMOVE);) {
      if (!OnIdle(idleCount++)) {
        break;
      }
    }
    do {
      if (!PumpMessage()) {
        return ExitInstance();
      }
    } while (::PeekMessageA(&peek, nullptr, 0, 0, PM_NOREMOVE));
  }
}

CWinApp::CWinApp(LPCSTR lpszAppName) : m_pszAppName(lpszAppName) { g_app = this; }

CWinApp::~CWinApp() {
  if (g_app == this) {
    g_app = nullptr;
  }
}

BOOL CWinApp::InitApplication() { return TRUE; }

HICON CWinApp::LoadIcon(UINT nIDResource) const { return ::LoadIconA(AfxGetResourceHandle(), MAKEINTRESOURCEA(nIDResource)); }

HICON CWinApp::LoadIcon(LPCSTR lpszResourceName) const { return ::LoadIconA(AfxGetResourceHandle(), lpszResourceName); }

int CWinApp::DoMessageBox(LPCSTR lpszPrompt, UINT nType, UINT) {
  HWND owner = ::GetActiveWindow();
  return ::MessageBoxA(owner, lpszPrompt, m_pszAppName, nType);
}

void CWinApp::OnHelp() {}

CWinApp* AfxGetApp() { return g_app; }

BOOL AfxWinInit(HINSTANCE hInstance, HINSTANCE, LPSTR lpCmdLine, int nCmdShow) {
  AfxSetInstanceHandle(hInstance);
  CWinApp* app = AfxGetApp();
  if (app == nullptr) {
    return TRUE;
  }
  app->m_hInstance = hInstance;
  app->m_lpCmdLine = lpCmdLine;
  app->m_nCmdShow = nCmdShow;
  if (app->m_pszAppName == nullptr) {
    if (!app->m_appName.LoadString(AFX_IDS_APP_TITLE)) {
      char path[MAX_PATH] = {};
      ::GetModuleFileNameA(hInstance, path, MAX_PATH);
      CString name(path);
      int start = 0;
      for (int at = 0; at < name.GetLength(); ++at) {
        if (name[at] == '\\' || name[at] == '/') {
          start = at + 1;
        }
      }
      name = name.Mid(start);
      const int dot = name.Find('.');
      app->m_appName = dot < 0 ? name : name.Left(dot);
    }
    app->m_pszAppName = app->m_appName;
  }
  return TRUE;
}

int AfxWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nCmdShow) {
  CWinApp* app = AfxGetApp();
  if (app == nullptr || !AfxWinInit(hInstance, hPrevInstance, lpCmdLine, nCmdShow) || !app->InitApplication()) {
    return -1;
  }
  if (!app->InitInstance()) {
    if (app->m_pMainWnd != nullptr) {
      app->m_pMainWnd->DestroyWindow();
    }
    return app->ExitInstance();
  }
  return app->Run();
}

int WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nShowCmd) {
  return AfxWinMain(hInstance, hPrevInstance, lpCmdLine, nShowCmd);
}

int AfxMessageBox(LPCSTR lpszText, UINT nType, UINT nIDHelp) {
  CWinApp* app = AfxGetApp();
  if (app != nullptr) {
    return app->DoMessageBox(lpszText, nType, nIDHelp);
  }
  return ::MessageBoxA(::GetActiveWindow(), lpszText, nullptr, nType);
}

int AfxMessageBox(UINT nIDPrompt, UINT nType, UINT nIDHelp) {
  CString prompt;
  prompt.LoadString(nIDPrompt);
  return AfxMessageBox(prompt, nType, nIDHelp == static_cast<UINT>(-1) ? nIDPrompt : nIDHelp);
}
