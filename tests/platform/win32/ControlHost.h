// A test program whose top-level window "Host" holds a list of controls made at start, and runs its
// message loop until WM_QUIT: the host window's procedure is the test's own.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/win32/include/windows.h"

namespace test {

struct Control {
  const char* cls;
  int id;
  const char* text;
  DWORD style;
  RECT rect;
};

inline uint32_t RunControlHost(WNDPROC hostProc, const char* className, const std::vector<Control>& controls) {
  WNDCLASSA wc{};
  wc.lpfnWndProc = hostProc;
  wc.lpszClassName = className;
  if (RegisterClassA(&wc) == 0) return 100;
  HWND host = CreateWindowExA(0, className, "Host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10, 10, 600, 400, nullptr,
                              nullptr, nullptr, nullptr);
  for (const Control& c : controls)
    CreateWindowExA(0, c.cls, c.text, WS_CHILD | WS_VISIBLE | c.style, c.rect.left, c.rect.top,
                    c.rect.right - c.rect.left, c.rect.bottom - c.rect.top, host,
                    reinterpret_cast<HMENU>(static_cast<INT_PTR>(c.id)), nullptr, nullptr);
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0)) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  return static_cast<uint32_t>(msg.wParam);
}

}  // namespace test
