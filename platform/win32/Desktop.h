// The machine's one desktop: every process's windows and classes, the atom table that class names
// and registered messages share, the queues of the user-interface threads, the device broker, the
// cursor and the foreground. It is a state of the machine, fresh with each new one. Simulated threads run one at a time, so the
// state needs no lock; no reference into it is kept across a call that may switch threads (a
// send, a wait, a signal).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/win32/include/windows.h"

namespace plat::win32 {

class DeviceBroker;
class MessageQueue;

struct WindowClass {
  std::string name;
  ATOM atom = 0;
  UINT style = 0;
  WNDPROC proc = nullptr;
  int classExtra = 0;
  int windowExtra = 0;
  HINSTANCE instance = nullptr;
  HICON icon = nullptr;
  HICON smallIcon = nullptr;
  HCURSOR cursor = nullptr;
  HBRUSH background = nullptr;
  uint32_t processId = 0;  // 0: a system class, for every process
};

struct Window {
  HWND handle = nullptr;
  HWND parent = nullptr;  // null for a top-level window
  HWND owner = nullptr;
  std::vector<HWND> children;  // top of the z-order first
  std::shared_ptr<WindowClass> cls;
  std::string text;
  DWORD style = 0;
  DWORD exStyle = 0;
  RECT rect{};        // the window, in screen coordinates
  RECT client{};      // the client area, in screen coordinates
  RECT normal{};      // where a minimised window goes back to, in its parent's client coordinates
  WNDPROC proc = nullptr;
  std::vector<uint8_t> extra;  // the class's window bytes
  LONG_PTR userData = 0;
  LONG_PTR id = 0;
  HINSTANCE instance = nullptr;
  HICON bigIcon = nullptr;
  HICON smallIcon = nullptr;
  uint32_t threadId = 0;
  uint32_t processId = 0;
  RECT update{};  // the part of the client area to paint, client coordinates; empty when none
  bool erase = false;  // WM_ERASEBKGND is due with the next BeginPaint
  bool frame = false;  // WM_NCPAINT is due with the next BeginPaint
  std::shared_ptr<void> state;  // a system class's own record of the window (a control's, a dialog's)
  bool destroying = false;
  bool dead = false;
};

class Desktop {
 public:
  // The desktop of the machine the caller runs on.
  static Desktop& Get();

  static constexpr LONG kWidth = 1024;
  static constexpr LONG kHeight = 768;

  Window* Find(HWND hwnd);
  // The window, or null with ERROR_INVALID_WINDOW_HANDLE as the caller's last error.
  Window* Checked(HWND hwnd);
  std::shared_ptr<Window> Hold(HWND hwnd);
  Window* Add(std::shared_ptr<Window> window);
  void Remove(HWND hwnd);
  HWND Root() const { return root_; }
  // Top-level windows, top of the z-order first.
  std::vector<HWND>& TopLevel() { return topLevel_; }
  std::vector<HWND>& SiblingsOf(const Window& window);
  std::vector<HWND> All() const;

  std::shared_ptr<WindowClass> FindClass(const std::string& name, uint32_t processId) const;
  bool AddClass(std::shared_ptr<WindowClass> cls);
  bool RemoveClass(const std::string& name, uint32_t processId);
  void DropClassesOf(uint32_t processId);

  // One atom per name (case-insensitive) for the machine, from 0xC000.
  ATOM AddAtom(const std::string& name);

  // The queue of a user-interface thread, made when it first needs one.
  MessageQueue& QueueOf(uint32_t threadId, uint32_t processId);
  MessageQueue* FindQueue(uint32_t threadId);
  MessageQueue& CurrentQueue();
  void DropQueue(uint32_t threadId);
  std::vector<uint32_t> QueueThreads() const;

  DeviceBroker& Broker();

  HWND foreground = nullptr;
  POINT cursor{Desktop::kWidth / 2, Desktop::kHeight / 2};
  HCURSOR cursorShape = nullptr;
  uint8_t asyncKeys[256] = {};  // the keys as the keyboard has them now

  Desktop();
  ~Desktop();
  Desktop(const Desktop&) = delete;
  Desktop& operator=(const Desktop&) = delete;

 private:
  bool systemClasses_ = false;
  HWND root_;
  uintptr_t nextHandle_ = 0x00010010;
  std::map<HWND, std::shared_ptr<Window>> windows_;
  std::vector<HWND> topLevel_;
  std::vector<std::shared_ptr<WindowClass>> classes_;
  std::map<std::string, ATOM> atoms_;
  std::map<uint32_t, std::unique_ptr<MessageQueue>> queues_;
  std::vector<std::unique_ptr<MessageQueue>> retired_;
  std::unique_ptr<DeviceBroker> broker_;
};

// Last error of the calling thread (kernel32's).
void SetError(DWORD error);

// Coordinates of a window's client area: a point of the screen, and back.
POINT ToScreen(const Window& window, POINT client);
POINT ToClient(const Window& window, POINT screen);

}  // namespace plat::win32
