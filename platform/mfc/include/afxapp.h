// The application: one object per image (theApp), reached by WinMain, which the class library
// supplies. Constructing it asks for nothing: its handles, command line and title are set when
// WinMain runs.
#pragma once

#include <afxcmdtarget.h>
#include <afxstr.h>

class CWnd;

class CWinThread : public CCmdTarget {
 public:
  CWnd* m_pMainWnd = nullptr;

  virtual BOOL InitInstance();
  // Pumps the thread's messages, idling each time the queue empties, until WM_QUIT; answers
  // ExitInstance's value.
  virtual int Run();
  virtual BOOL PreTranslateMessage(MSG* pMsg);
  // Idle work while the queue is empty; nonzero asks for another round (lCount counts them).
  virtual BOOL OnIdle(LONG lCount);
  // Answers the program's exit code: WM_QUIT's code, once it has come.
  virtual int ExitInstance();
  // One message from the queue through PreTranslateMessage to its window; FALSE on WM_QUIT.
  BOOL PumpMessage();
  // The message being handled on this thread.
  const MSG* GetCurrentMessage() const { return &m_msgCur; }

 protected:
  MSG m_msgCur{};
};

class CWinApp : public CWinThread {
 public:
  explicit CWinApp(LPCSTR lpszAppName = nullptr);
  ~CWinApp() override;

  HINSTANCE m_hInstance = nullptr;
  LPSTR m_lpCmdLine = nullptr;
  int m_nCmdShow = 0;
  // The title: string AFX_IDS_APP_TITLE, else the image's name without its folder or extension.
  LPCSTR m_pszAppName = nullptr;

  virtual BOOL InitApplication();
  HICON LoadIcon(UINT nIDResource) const;
  HICON LoadIcon(LPCSTR lpszResourceName) const;
  // The application's own message box, under its title.
  virtual int DoMessageBox(LPCSTR lpszPrompt, UINT nType, UINT nIDPrompt);

  // The help command: there is no help system; the command is taken and does nothing.
  void OnHelp();

 private:
  friend BOOL AfxWinInit(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nCmdShow);
  CString m_appName;
};

CWinApp* AfxGetApp();
BOOL AfxWinInit(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nCmdShow);
int AfxWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nCmdShow);
int AfxMessageBox(LPCSTR lpszText, UINT nType = MB_OK, UINT nIDHelp = 0);
int AfxMessageBox(UINT nIDPrompt, UINT nType = MB_OK, UINT nIDHelp = static_cast<UINT>(-1));
