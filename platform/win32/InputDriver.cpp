#include "platform/win32/InputDriver.h"

#include <cstdio>
#include <functional>

#include "platform/win32/Desktop.h"
#include "platform/win32/KernelBridge.h"
#include "platform/win32/MessageQueue.h"
#include "platform/win32/WindowManager.h"

namespace plat::win32::input {
namespace {

constexpr uint64_t kSettleLimitMs = 60000;

HWND ChildById(HWND parent, int id) {
  Desktop& d = Desktop::Get();
  Window* p = d.Find(parent);
  if (p == nullptr) return nullptr;
  for (HWND c : p->children)
    if (static_cast<int>(d.Find(c)->id) == id) return c;
  return nullptr;
}

HWND DialogNamed(HWND top, const std::string& caption) {
  Desktop& d = Desktop::Get();
  std::vector<HWND> order{top};
  for (size_t i = 0; i < order.size(); ++i) {
    Window* w = d.Find(order[i]);
    if (i > 0 && w->text == caption) return order[i];
    order.insert(order.end(), w->children.begin(), w->children.end());
  }
  return nullptr;
}

HWND Resolve(const Target& target) {
  Desktop& d = Desktop::Get();
  HWND found = nullptr;
  // A visible window wins over a hidden one of the same name.
  for (bool visibleOnly : {true, false}) {
    for (HWND h : d.TopLevel()) {
      Window* w = d.Find(h);
      if (w->text != target.window && w->cls->name != target.window) continue;
      if (visibleOnly && !(w->style & WS_VISIBLE)) continue;
      found = h;
      break;
    }
    if (found != nullptr) break;
  }
  if (found == nullptr) return nullptr;
  if (!target.dialog.empty() && (found = DialogNamed(found, target.dialog)) == nullptr) return nullptr;
  for (int id : target.ids)
    if ((found = ChildById(found, id)) == nullptr) return nullptr;
  return found;
}

// Runs the machine until the thread that took the input is idle (from the host only).
void Settle(uint32_t threadId) {
  if (!OnHost()) return;
  RunHostUntil([threadId] {
    MessageQueue* q = Desktop::Get().FindQueue(threadId);
    return q == nullptr || q->Idle();
  }, kSettleLimitMs);
}

WPARAM Buttons() {
  Desktop& d = Desktop::Get();
  WPARAM mk = 0;
  if (d.asyncKeys[VK_LBUTTON] & 0x80) mk |= MK_LBUTTON;
  if (d.asyncKeys[VK_RBUTTON] & 0x80) mk |= MK_RBUTTON;
  if (d.asyncKeys[VK_SHIFT] & 0x80) mk |= MK_SHIFT;
  if (d.asyncKeys[VK_CONTROL] & 0x80) mk |= MK_CONTROL;
  return mk;
}

// The thread whose queue a mouse event at `pt` enters: the capturing thread, else the window's.
uint32_t MouseThread(POINT pt) {
  Desktop& d = Desktop::Get();
  for (uint32_t t : d.QueueThreads())
    if (MessageQueue* q = d.FindQueue(t); q->capture != nullptr && d.Find(q->capture) != nullptr) return t;
  Window* w = d.Find(WindowAt(pt));
  return w != nullptr ? w->threadId : 0;
}

uint32_t Mouse(UINT message, POINT pt) {
  Desktop& d = Desktop::Get();
  d.cursor = pt;
  if (message == WM_LBUTTONDOWN) d.asyncKeys[VK_LBUTTON] |= 0x80;
  if (message == WM_LBUTTONUP) d.asyncKeys[VK_LBUTTON] &= ~0x80;
  if (message == WM_RBUTTONDOWN) d.asyncKeys[VK_RBUTTON] |= 0x80;
  if (message == WM_RBUTTONUP) d.asyncKeys[VK_RBUTTON] &= ~0x80;
  uint32_t thread = MouseThread(pt);
  MessageQueue* q = d.FindQueue(thread);
  if (q == nullptr) return 0;
  q->PostInput(InputEvent{message, pt, Buttons(), 0, 0, false, false, static_cast<DWORD>(NowMs())});
  return thread;
}

void KeyEvent(uint32_t thread, WORD vk, bool down) {
  Desktop& d = Desktop::Get();
  bool repeat = down && (d.asyncKeys[vk] & 0x80);
  if (down) {
    d.asyncKeys[vk] |= 0x80;
  } else {
    d.asyncKeys[vk] &= ~0x80;
  }
  MessageQueue* q = d.FindQueue(thread);
  if (q == nullptr) return;
  bool alt = (d.asyncKeys[VK_MENU] & 0x80) != 0;
  q->PostInput(InputEvent{static_cast<UINT>(down ? WM_KEYDOWN : WM_KEYUP), d.cursor, 0, vk, 0, repeat, alt,
                          static_cast<DWORD>(NowMs())});
}

bool Locate(const Target& target, std::optional<Point> at, POINT* screen, uint32_t* thread) {
  HWND h = Resolve(target);
  Window* w = Desktop::Get().Find(h);
  if (w == nullptr) return false;
  POINT client = at ? POINT{at->x, at->y}
                    : POINT{(w->client.right - w->client.left) / 2, (w->client.bottom - w->client.top) / 2};
  *screen = ToScreen(*w, client);
  *thread = w->threadId;
  return true;
}

// A character on the US layout: its key and whether Shift is needed.
bool KeyOf(char c, WORD* vk, bool* shift) {
  static constexpr char kPlain[] = "0123456789 ;=,-./`[\\]'\r\t\b";
  static constexpr char kShifted[] = ")!@#$%^&*( :+<_>?~{|}\"\r\t\b";
  static constexpr WORD kKeys[] = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9', VK_SPACE, VK_OEM_1, VK_OEM_PLUS,
                                   VK_OEM_COMMA, VK_OEM_MINUS, VK_OEM_PERIOD, VK_OEM_2, VK_OEM_3, VK_OEM_4, VK_OEM_5,
                                   VK_OEM_6, VK_OEM_7, VK_RETURN, VK_TAB, VK_BACK};
  static_assert(sizeof kPlain == sizeof kShifted && sizeof kPlain - 1 == std::size(kKeys));
  if (c >= 'a' && c <= 'z') {
    *vk = static_cast<WORD>(c - 'a' + 'A');
    *shift = false;
    return true;
  }
  if (c >= 'A' && c <= 'Z') {
    *vk = static_cast<WORD>(c);
    *shift = true;
    return true;
  }
  for (size_t i = 0; i + 1 < sizeof kPlain; ++i) {
    if (kPlain[i] == c) {
      *vk = kKeys[i];
      *shift = false;
      return true;
    }
    if (kShifted[i] == c) {
      *vk = kKeys[i];
      *shift = true;
      return true;
    }
  }
  return false;
}

uint32_t KeyThread(const Target& target) {
  Desktop& d = Desktop::Get();
  Window* w = d.Find(TopLevelOf(Resolve(target)));
  return w != nullptr ? w->threadId : 0;
}

void Dump(HWND hwnd, int depth, std::string* out, const std::function<void(HWND, int, std::string*)>& each) {
  Desktop& d = Desktop::Get();
  Window* w = d.Find(hwnd);
  MessageQueue* q = d.FindQueue(w->threadId);
  char line[512];
  std::snprintf(line, sizeof line, "%*s%s id=%d \"%s\" [%d,%d,%d,%d] %s %s%s%s style=%08X ex=%08X\n", depth * 2, "",
                w->cls->name.c_str(), static_cast<int>(w->id), w->text.c_str(), w->rect.left, w->rect.top,
                w->rect.right, w->rect.bottom, (w->style & WS_VISIBLE) ? "visible" : "hidden",
                (w->style & WS_DISABLED) ? "disabled" : "enabled", q != nullptr && q->focus == hwnd ? " focus" : "",
                d.foreground == hwnd ? " foreground" : "", w->style, w->exStyle);
  *out += line;
  if (each) each(hwnd, depth, out);
  for (HWND c : w->children) Dump(c, depth + 1, out, each);
}

}  // namespace

bool Move(const Target& target, std::optional<Point> at) {
  POINT pt;
  uint32_t thread;
  if (!Locate(target, at, &pt, &thread)) return false;
  Settle(Mouse(WM_MOUSEMOVE, pt));
  return true;
}

bool Click(const Target& target, std::optional<Point> at, Button button, bool shift) {
  POINT pt;
  uint32_t thread;
  if (!Locate(target, at, &pt, &thread)) return false;
  bool left = button == Button::Left;
  if (shift) KeyEvent(thread, VK_SHIFT, true);
  Mouse(WM_MOUSEMOVE, pt);
  Mouse(left ? WM_LBUTTONDOWN : WM_RBUTTONDOWN, pt);
  uint32_t took = Mouse(left ? WM_LBUTTONUP : WM_RBUTTONUP, pt);
  if (shift) KeyEvent(thread, VK_SHIFT, false);
  Settle(took);
  return true;
}

bool DoubleClick(const Target& target, std::optional<Point> at) {
  POINT pt;
  uint32_t thread;
  if (!Locate(target, at, &pt, &thread)) return false;
  Mouse(WM_MOUSEMOVE, pt);
  for (int i = 0; i < 2; ++i) {
    Mouse(WM_LBUTTONDOWN, pt);
    thread = Mouse(WM_LBUTTONUP, pt);
  }
  Settle(thread);
  return true;
}

bool Drag(const Target& target, Point from, Point to) {
  POINT a, b;
  uint32_t thread;
  if (!Locate(target, from, &a, &thread) || !Locate(target, to, &b, &thread)) return false;
  Mouse(WM_MOUSEMOVE, a);
  Settle(Mouse(WM_LBUTTONDOWN, a));
  // The drag goes in steps, each seen by the thread before the next.
  constexpr int kSteps = 4;
  for (int i = 1; i <= kSteps; ++i)
    Settle(Mouse(WM_MOUSEMOVE, POINT{a.x + (b.x - a.x) * i / kSteps, a.y + (b.y - a.y) * i / kSteps}));
  Settle(Mouse(WM_LBUTTONUP, b));
  return true;
}

bool Key(const Target& target, uint16_t vk, bool shift, bool control) {
  uint32_t thread = KeyThread(target);
  if (thread == 0) return false;
  if (shift) KeyEvent(thread, VK_SHIFT, true);
  if (control) KeyEvent(thread, VK_CONTROL, true);
  KeyEvent(thread, vk, true);
  KeyEvent(thread, vk, false);
  if (control) KeyEvent(thread, VK_CONTROL, false);
  if (shift) KeyEvent(thread, VK_SHIFT, false);
  Settle(thread);
  return true;
}

bool Type(const Target& target, const std::string& text) {
  uint32_t thread = KeyThread(target);
  if (thread == 0) return false;
  for (char c : text) {
    WORD vk = 0;
    bool shift = false;
    if (!KeyOf(c, &vk, &shift)) return false;
    if (shift) KeyEvent(thread, VK_SHIFT, true);
    KeyEvent(thread, vk, true);
    KeyEvent(thread, vk, false);
    if (shift) KeyEvent(thread, VK_SHIFT, false);
  }
  Settle(thread);
  return true;
}

std::string DumpWindows() { return DumpWindowTree(nullptr); }

uint64_t Wakes(uint32_t threadId) {
  MessageQueue* q = Desktop::Get().FindQueue(threadId);
  return q != nullptr ? q->Wakes() : 0;
}

bool Idle(uint32_t threadId) {
  MessageQueue* q = Desktop::Get().FindQueue(threadId);
  return q == nullptr || q->Idle();
}

uint32_t ThreadOf(const Target& target) {
  Window* w = Desktop::Get().Find(Resolve(target));
  return w != nullptr ? w->threadId : 0;
}

}  // namespace plat::win32::input

namespace plat::win32 {

HWND FindTarget(const input::Target& target) { return input::Resolve(target); }

std::string DumpWindowTree(const std::function<void(HWND hwnd, int depth, std::string* out)>& each) {
  std::string out;
  for (HWND h : Desktop::Get().TopLevel()) input::Dump(h, 0, &out, each);
  return out;
}

void SettleThread(uint32_t threadId) { input::Settle(threadId); }

}  // namespace plat::win32
