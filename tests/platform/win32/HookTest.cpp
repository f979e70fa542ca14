// A thread's CBT hooks: told of each window the thread creates before the window hears anything,
// able to refuse it (the window goes without a message), chained newest first, gone once unhooked.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/win32/include/windows.h"
#include "tests/platform/win32/TestMachine.h"

namespace {

using w32test::Machine;

std::vector<std::string> gLog;
HHOOK gFirst = nullptr;
HHOOK gSecond = nullptr;
bool gRefuse = false;

LRESULT CALLBACK LoggingProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) gLog.push_back("proc WM_NCCREATE");
  if (message == WM_DESTROY) gLog.push_back("proc WM_DESTROY");
  return DefWindowProcA(hwnd, message, wParam, lParam);
}

std::string Created(const char* hook, WPARAM wParam, LPARAM lParam) {
  const auto* cbt = reinterpret_cast<const CBT_CREATEWNDA*>(lParam);
  return std::string(hook) + " " + cbt->lpcs->lpszName + (IsWindow(reinterpret_cast<HWND>(wParam)) ? " made" : " none");
}

LRESULT CALLBACK FirstHook(int code, WPARAM wParam, LPARAM lParam) {
  if (code == HCBT_CREATEWND) gLog.push_back(Created("first", wParam, lParam));
  return CallNextHookEx(gFirst, code, wParam, lParam);
}

LRESULT CALLBACK SecondHook(int code, WPARAM wParam, LPARAM lParam) {
  if (code == HCBT_CREATEWND) gLog.push_back(Created("second", wParam, lParam));
  if (gRefuse) return 1;
  return CallNextHookEx(gSecond, code, wParam, lParam);
}

HWND Make(const char* text) {
  return CreateWindowExA(0, "QxHookWindow", text, WS_POPUP, 0, 0, 50, 50, nullptr, nullptr, nullptr, nullptr);
}

TEST(Hooks, TheThreadsCbtHooksSeeEachWindowBeforeItsProcedureNewestFirstAndMayRefuseIt) {
  Machine m;
  std::vector<std::string> made, refused, unhooked;
  bool refusedIsNull = false;
  DWORD badKindError = 0;
  void* p = m.Start("hooks.exe", 64, [&]() -> uint32_t {
    WNDCLASSA wc{};
    wc.lpfnWndProc = LoggingProc;
    wc.lpszClassName = "QxHookWindow";
    RegisterClassA(&wc);
    if (SetWindowsHookExA(WH_KEYBOARD, FirstHook, nullptr, GetCurrentThreadId()) == nullptr)
      badKindError = GetLastError();
    gFirst = SetWindowsHookExA(WH_CBT, FirstHook, nullptr, GetCurrentThreadId());
    gSecond = SetWindowsHookExA(WH_CBT, SecondHook, nullptr, GetCurrentThreadId());
    Make("one");
    made = std::exchange(gLog, {});
    gRefuse = true;
    refusedIsNull = Make("two") == nullptr && FindWindowA(nullptr, "two") == nullptr;
    refused = std::exchange(gLog, {});
    gRefuse = false;
    UnhookWindowsHookEx(gSecond);
    UnhookWindowsHookEx(gFirst);
    Make("three");
    unhooked = std::exchange(gLog, {});
    return 0;
  });
  m.Wait(p);
  m.Release(p);
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), badKindError);
  EXPECT_EQ((std::vector<std::string>{"second one made", "first one made", "proc WM_NCCREATE"}), made);
  EXPECT_TRUE(refusedIsNull);
  EXPECT_EQ((std::vector<std::string>{"second two made"}), refused);
  EXPECT_EQ((std::vector<std::string>{"proc WM_NCCREATE"}), unhooked);
}

}  // namespace
