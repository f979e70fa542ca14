// What the predefined and common controls share: their registration as system classes, the state
// each keeps behind its one window word, and the notifications they send their parent.
#pragma once

#include <memory>
#include <string>

#include "platform/win32/include/commctrl.h"
#include "platform/win32/include/windows.h"

namespace plat::win32 {

class Desktop;

// Registers the system classes of every process: the controls and the dialog class.
void RegisterSystemClasses(Desktop& desktop);

// The window procedures of the system classes, one source each.
LRESULT CALLBACK ButtonProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK StaticProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK EditProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK ComboBoxProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK ComboListProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK UpDownProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK TrackbarProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK TooltipProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK TabControlProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK DialogClassProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// A control keeps its state in a record the window holds: made at WM_NCCREATE, dropped at
// WM_NCDESTROY or with the window when its process ends.
void* StateRecord(HWND hwnd);
void SetStateRecord(HWND hwnd, std::shared_ptr<void> state);

template <class State>
State* StateOf(HWND hwnd) {
  return static_cast<State*>(StateRecord(hwnd));
}

template <class State>
LRESULT Attach(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) SetStateRecord(hwnd, std::make_shared<State>());
  LRESULT r = DefWindowProcA(hwnd, message, wParam, lParam);
  if (message == WM_NCDESTROY) SetStateRecord(hwnd, nullptr);
  return r;
}

// WM_COMMAND with the control's id and a notification code, sent to its parent.
LRESULT NotifyParent(HWND control, WORD code);
// WM_NOTIFY with `header` (its hwndFrom, idFrom and code filled in here), sent to the parent.
LRESULT NotifyParent(HWND control, UINT code, NMHDR* header);

// The window's text as a string.
std::string TextOf(HWND hwnd);

}  // namespace plat::win32
