#include "panel/CPanelExeApp.h"

#include <cstdlib>

#include "panel/CMyPropertySheet.h"

namespace {

constexpr char kMutexName[] = "QX5310CPL-A01A008F-B66F-4399-A473-A99956FCC8F8";
constexpr char kParamsKey[] = "SOFTWARE\\Halvern\\QX5310CPL\\Params";
constexpr UINT kSearchTimeoutMs = 200;
constexpr DWORD kDebugValueBytes = 100;

// The message the search sends; the sheet answers its twin, registered under the same name.
const UINT kAreYouMe = ::RegisterWindowMessageA("QX5310_UWM_ARE_YOU_ME");

// Stops at the first top-level window that answers the search with the message's own number;
// windows that time out, fail or answer anything else are passed over.
BOOL CALLBACK FindRunningInstanceProc(HWND hWnd, LPARAM lParam) {
  DWORD_PTR answer = 0;
  if (::SendMessageTimeoutA(hWnd, kAreYouMe, 0, 0, SMTO_BLOCK | SMTO_ABORTIFHUNG, kSearchTimeoutMs, &answer) == 0)
    return TRUE;
  if (answer != kAreYouMe) return TRUE;
  *reinterpret_cast<HWND*>(lParam) = hWnd;
  return FALSE;
}

// Exactly one argument, beginning with an upper-case H.
bool StartsHidden() { return __argc == 2 && __argv[1][0] == 'H'; }

}  // namespace

const UINT UWM_ARE_YOU_ME = ::RegisterWindowMessageA("QX5310_UWM_ARE_YOU_ME");

CPanelExeApp theApp;

BEGIN_MESSAGE_MAP(CPanelExeApp, CWinApp)
ON_COMMAND(ID_HELP, OnHelp)
END_MESSAGE_MAP()

CPanelExeApp::CPanelExeApp() : CWinApp(nullptr) {}

BOOL CPanelExeApp::InitInstance() {
  // The mutex stays open for the life of the process: its name is how a second copy knows.
  ::CreateMutexA(nullptr, FALSE, kMutexName);
  const DWORD error = ::GetLastError();
  if (error == ERROR_ALREADY_EXISTS || error == ERROR_ACCESS_DENIED) {
    HWND running = nullptr;
    ::EnumWindows(FindRunningInstanceProc, reinterpret_cast<LPARAM>(&running));
    if (running != nullptr) {
      ::SetForegroundWindow(running);
      if (::IsIconic(running)) ::ShowWindow(running, SW_RESTORE);
    }
    return FALSE;
  }

  HKEY key = nullptr;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kParamsKey, 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
    BYTE value[kDebugValueBytes];
    DWORD size = sizeof value;
    DWORD type = 0;
    ::RegQueryValueExA(key, "DebugOnEntry", nullptr, &type, value, &size);
    ::RegCloseKey(key);
  }

  CMyPropertySheet sheet;
  m_pMainWnd = &sheet;
  if (StartsHidden()) sheet.StartHidden();
  sheet.DoModal();
  m_pMainWnd = nullptr;
  return FALSE;
}
