// What the window manager's sources share: the steps behind the user32 calls (activation, focus,
// showing, destruction, hit testing, the end of a thread or process).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/win32/Desktop.h"
#include "platform/win32/include/windows.h"

namespace plat::win32 {

namespace input {
struct Target;
}

// The window a person's target names, by the input driver's rules; null when there is none.
HWND FindTarget(const input::Target& target);
// The window tree as the input driver dumps it, `each` adding lines after each window's own.
std::string DumpWindowTree(const std::function<void(HWND hwnd, int depth, std::string* out)>& each);
// From the host, runs the machine until the thread is idle (or a minute of virtual time has passed);
// from a simulated thread, nothing.
void SettleThread(uint32_t threadId);

// The frame a style gives a window: the client area's insets from the window's rectangle.
RECT FrameOf(DWORD style, DWORD exStyle);
// Recomputes the client rectangle and moves the children with their parent by (dx, dy).
void PlaceWindow(Window& window, const RECT& rect);

// Visible, with every ancestor visible.
bool Visible(HWND hwnd);
bool Enabled(HWND hwnd);
HWND TopLevelOf(HWND hwnd);
bool IsAncestor(HWND ancestor, HWND hwnd);

// Makes a top-level window the active and foreground one, with WM_ACTIVATE to both sides.
void Activate(HWND hwnd);
// Moves the focus of the current thread, with WM_KILLFOCUS and WM_SETFOCUS; gives the old focus.
HWND MoveFocus(HWND hwnd);
// The focus or activation leaves a window that is hidden, disabled or destroyed.
void LeaveWindow(HWND hwnd, bool disabling);

// The window under a screen point for the mouse, after WM_NCHITTEST (HTTRANSPARENT passes the
// point on to what lies beneath); null when none. `hit` gets the hit-test code.
HWND HitTest(POINT pt, LRESULT* hit);
// The window the mouse at `pt` goes to by geometry alone (for routing input to a thread).
HWND WindowAt(POINT pt);

// The frame of a window (border, edges, caption with its close box) through a DC of its whole
// rectangle, as DefWindowProc paints it for WM_NCPAINT.
void DrawFrame(HWND hwnd, HDC dc);

// Invalidates the whole client area of a window and of its visible descendants, and their frames.
void InvalidateTree(HWND hwnd, bool erase);
bool NeedsPaint(const Window& window);

// The end of a user-interface thread (threadId) or of a whole process (threadId 0): its windows
// go without messages, its timers and registrations are dropped, senders waiting on it are released.
void UserEnded(uint32_t processId, uint32_t threadId);
// The clipboard closes when the thread that opened it, or its process, ends.
void ClipboardEnded(uint32_t processId, uint32_t threadId);

}  // namespace plat::win32
