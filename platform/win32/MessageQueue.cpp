#include "platform/win32/MessageQueue.h"

#include <algorithm>

#include "platform/win32/Desktop.h"
#include "platform/win32/KernelBridge.h"
#include "platform/win32/WindowManager.h"

namespace plat::win32 {
namespace {

constexpr uint64_t kHungAfterMs = 5000;
constexpr Status kWaitSatisfied = 0x00000000;
constexpr Status kWaitTimedOut = 0x00000102;
constexpr DWORD kDoubleClickMs = 500;
constexpr LONG kDoubleClickSlop = 2;

bool InRange(UINT message, UINT first, UINT last) {
  return (first == 0 && last == 0) || (message >= first && message <= last);
}

// The key a mouse message presses or releases, and whether it goes down.
int ButtonKey(UINT message, bool* down) {
  *down = message == WM_LBUTTONDOWN || message == WM_LBUTTONDBLCLK || message == WM_RBUTTONDOWN ||
          message == WM_RBUTTONDBLCLK;
  switch (message) {
    case WM_LBUTTONDOWN:
    case WM_LBUTTONUP:
    case WM_LBUTTONDBLCLK: return VK_LBUTTON;
    case WM_RBUTTONDOWN:
    case WM_RBUTTONUP:
    case WM_RBUTTONDBLCLK: return VK_RBUTTON;
    default: return 0;
  }
}

}  // namespace

MessageQueue::MessageQueue(uint32_t threadId, uint32_t processId)
    : threadId_(threadId), processId_(processId), signal_(NewSignal()), lastAsked_(NowMs()) {}

MessageQueue::~MessageQueue() { FreeSignal(signal_); }

void MessageQueue::Wake() { RaiseSignal(signal_); }

void MessageQueue::Post(const MSG& msg) {
  posted_.push_back(msg);
  Wake();
}

void MessageQueue::PostQuit(int exitCode) {
  quit_ = true;
  quitCode_ = exitCode;
  Wake();
}

void MessageQueue::PostInput(const InputEvent& event) {
  input_.push_back(event);
  Wake();
}

void MessageQueue::Deliver(std::shared_ptr<SentMessage> sent) {
  sent_.push_back(std::move(sent));
  Wake();
}

bool MessageQueue::ServeSent() {
  bool served = false;
  while (!sent_.empty()) {
    std::shared_ptr<SentMessage> s = sent_.front();
    sent_.pop_front();
    served = true;
    Window* w = Desktop::Get().Find(s->hwnd);
    if (w != nullptr && w->threadId == threadId_) {
      serving_.push_back(s);
      LRESULT result = w->proc != nullptr ? w->proc(s->hwnd, s->message, s->wParam, s->lParam) : 0;
      std::erase(serving_, s);
      s->result = result;
    }
    s->done = true;
    if (s->senderThread != 0)
      if (MessageQueue* sender = Desktop::Get().FindQueue(s->senderThread)) sender->Wake();
  }
  return served;
}

bool MessageQueue::AwaitReply(const std::shared_ptr<SentMessage>& sent, bool block, int64_t timeoutMs) {
  uint64_t deadline = timeoutMs < 0 ? 0 : NowMs() + static_cast<uint64_t>(timeoutMs);
  while (!sent->done) {
    if (!block) ServeSent();
    if (sent->done) break;
    int64_t wait = -1;
    if (timeoutMs >= 0) {
      uint64_t now = NowMs();
      if (now >= deadline) return false;
      wait = static_cast<int64_t>(deadline - now);
    }
    // A system thread told to end at shutdown gives up the send.
    Status status = WaitSignal(signal_, wait);
    if (status != kWaitSatisfied && status != kWaitTimedOut) return false;
    lastAsked_ = NowMs();
  }
  return true;
}

bool MessageQueue::Matches(const MSG& msg, HWND filter, UINT first, UINT last) const {
  if (filter != nullptr && filter != reinterpret_cast<HWND>(static_cast<LONG_PTR>(-1)) && msg.hwnd != filter)
    return false;
  if (filter == reinterpret_cast<HWND>(static_cast<LONG_PTR>(-1)) && msg.hwnd != nullptr) return false;
  return InRange(msg.message, first, last);
}

bool MessageQueue::TakePosted(MSG* out, HWND filter, UINT first, UINT last, bool remove) {
  for (auto it = posted_.begin(); it != posted_.end(); ++it) {
    if (!Matches(*it, filter, first, last)) continue;
    *out = *it;
    if (remove) posted_.erase(it);
    return true;
  }
  return false;
}

bool MessageQueue::Cook(const InputEvent& event, MSG* out) {
  Desktop& d = Desktop::Get();
  *out = MSG{nullptr, event.message, 0, 0, event.time, event.pt};
  if (event.message == WM_KEYDOWN || event.message == WM_KEYUP) {
    HWND target = focus != nullptr ? focus : active;
    if (target == nullptr || d.Find(target) == nullptr) return false;
    bool down = event.message == WM_KEYDOWN;
    out->hwnd = target;
    out->wParam = event.vk;
    LPARAM data = 1 | static_cast<LPARAM>(event.scan) << 16;
    if (!down) data |= 0xC0000000;
    else if (event.repeat) data |= 0x40000000;
    // Without a focus window, or with Alt held, keys come as system keys.
    bool system = (event.alt || focus == nullptr);
    out->message = system ? (down ? WM_SYSKEYDOWN : WM_SYSKEYUP) : event.message;
    if (event.alt) data |= 0x20000000;
    out->lParam = data;
    return true;
  }
  HWND hwnd = nullptr;
  LRESULT hit = HTCLIENT;
  if (capture != nullptr && d.Find(capture) != nullptr) {
    hwnd = capture;
  } else {
    hwnd = HitTest(event.pt, &hit);
    if (hwnd == nullptr) return false;
    CallWindow(hwnd, WM_SETCURSOR, reinterpret_cast<WPARAM>(hwnd), MAKELPARAM(static_cast<WORD>(hit), event.message));
    if (hit == HTERROR || d.Find(hwnd) == nullptr) return false;
  }
  UINT message = event.message;
  // A button going down over an inactive window's tree activates it, unless the window says not.
  if ((message == WM_LBUTTONDOWN || message == WM_RBUTTONDOWN) && hwnd != capture) {
    const HWND top = TopLevelOf(hwnd);
    if (top != active) {
      const LRESULT how = CallWindow(hwnd, WM_MOUSEACTIVATE, reinterpret_cast<WPARAM>(top),
                                     MAKELPARAM(static_cast<WORD>(hit), static_cast<WORD>(message)));
      if ((how == MA_ACTIVATE || how == MA_ACTIVATEANDEAT) && d.Find(top) != nullptr) Activate(top);
      if (how == MA_ACTIVATEANDEAT || how == MA_NOACTIVATEANDEAT || d.Find(hwnd) == nullptr) return false;
    }
  }
  Window* w = d.Find(hwnd);
  if (message == WM_LBUTTONDOWN || message == WM_RBUTTONDOWN) {
    bool again = lastClick == message && lastClickWindow == hwnd && event.time - lastClickTime <= kDoubleClickMs &&
                 std::abs(event.pt.x - lastClickPt.x) <= kDoubleClickSlop &&
                 std::abs(event.pt.y - lastClickPt.y) <= kDoubleClickSlop;
    if (again && (w->cls->style & CS_DBLCLKS)) {
      message += WM_LBUTTONDBLCLK - WM_LBUTTONDOWN;
      lastClick = 0;
    } else {
      lastClick = message;
      lastClickWindow = hwnd;
      lastClickPt = event.pt;
      lastClickTime = event.time;
    }
  }
  out->hwnd = hwnd;
  if (hit == HTCLIENT) {
    POINT c = ToClient(*w, event.pt);
    out->message = message;
    out->wParam = event.buttons;
    out->lParam = MAKELPARAM(static_cast<WORD>(c.x), static_cast<WORD>(c.y));
  } else {
    out->message = message - (WM_MOUSEMOVE - WM_NCMOUSEMOVE);
    out->wParam = static_cast<WPARAM>(hit);
    out->lParam = MAKELPARAM(static_cast<WORD>(event.pt.x), static_cast<WORD>(event.pt.y));
  }
  return true;
}

bool MessageQueue::TakeInput(MSG* out, HWND filter, UINT first, UINT last, bool remove) {
  while (cooked_.empty() && !input_.empty()) {
    InputEvent event = input_.front();
    input_.pop_front();
    MSG msg;
    if (Cook(event, &msg)) cooked_.push_back(msg);
  }
  for (auto it = cooked_.begin(); it != cooked_.end(); ++it) {
    if (!Matches(*it, filter, first, last)) continue;
    *out = *it;
    if (remove) {
      cooked_.erase(it);
      bool down = false;
      int vk = ButtonKey(out->message, &down);
      if (out->message == WM_KEYDOWN || out->message == WM_SYSKEYDOWN || out->message == WM_KEYUP ||
          out->message == WM_SYSKEYUP) {
        vk = static_cast<int>(out->wParam);
        down = out->message == WM_KEYDOWN || out->message == WM_SYSKEYDOWN;
      }
      if (vk != 0) {
        if (down && !(keys[vk] & 0x80)) keys[vk] ^= 0x01;
        keys[vk] = static_cast<uint8_t>(down ? (keys[vk] | 0x80) : (keys[vk] & ~0x80));
        // The side-less shift and control keys follow either side.
        if (vk == VK_LSHIFT || vk == VK_RSHIFT) keys[VK_SHIFT] = keys[vk];
        if (vk == VK_LCONTROL || vk == VK_RCONTROL) keys[VK_CONTROL] = keys[vk];
      }
    }
    return true;
  }
  return false;
}

bool MessageQueue::TakePaint(MSG* out, HWND filter, UINT first, UINT last) {
  if (!InRange(WM_PAINT, first, last)) return false;
  Desktop& d = Desktop::Get();
  // Parents before their children, top-level windows in z-order.
  std::vector<HWND> order(d.TopLevel().begin(), d.TopLevel().end());
  for (size_t i = 0; i < order.size(); ++i) {
    Window* w = d.Find(order[i]);
    if (w == nullptr) continue;
    order.insert(order.end(), w->children.begin(), w->children.end());
    if (w->threadId != threadId_ || !NeedsPaint(*w)) continue;
    if (filter != nullptr && filter != w->handle) continue;
    *out = MSG{w->handle, WM_PAINT, 0, 0, static_cast<DWORD>(NowMs()), d.cursor};
    return true;
  }
  return false;
}

bool MessageQueue::TakeTimer(MSG* out, HWND filter, UINT first, UINT last, bool remove) {
  if (!InRange(WM_TIMER, first, last)) return false;
  uint64_t now = NowMs();
  for (Timer& t : timers_) {
    if (t.due > now || (filter != nullptr && filter != t.hwnd)) continue;
    *out = MSG{t.hwnd, WM_TIMER, t.id, reinterpret_cast<LPARAM>(t.proc), static_cast<DWORD>(now), Desktop::Get().cursor};
    // One WM_TIMER is pending per timer however late it is taken; the next falls due on its beat.
    if (remove)
      while (t.due <= now) t.due += t.elapse;
    return true;
  }
  return false;
}

int64_t MessageQueue::NextTimerWait() const {
  if (timers_.empty()) return -1;
  uint64_t due = UINT64_MAX;
  for (const Timer& t : timers_) due = std::min(due, t.due);
  uint64_t now = NowMs();
  return due <= now ? 0 : static_cast<int64_t>(due - now);
}

void MessageQueue::Retrieved(const MSG& msg) {
  last = msg;
  lastAsked_ = NowMs();
}

bool MessageQueue::Peek(MSG* out, HWND filter, UINT first, UINT last, UINT flags) {
  bool remove = (flags & PM_REMOVE) != 0;
  lastAsked_ = NowMs();
  ServeSent();
  MSG msg{};
  bool found = TakePosted(&msg, filter, first, last, remove);
  if (!found && quit_ && InRange(WM_QUIT, first, last)) {
    msg = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(quitCode_), 0, static_cast<DWORD>(NowMs()), Desktop::Get().cursor};
    if (remove) quit_ = false;
    found = true;
  }
  if (!found) found = TakeInput(&msg, filter, first, last, remove);
  if (!found && ServeSent()) return Peek(out, filter, first, last, flags);
  if (!found) found = TakePaint(&msg, filter, first, last);
  if (!found) found = TakeTimer(&msg, filter, first, last, remove);
  if (!found) return false;
  if (msg.hwnd != nullptr && msg.message != WM_PAINT && msg.message != WM_TIMER && msg.pt.x == 0 && msg.pt.y == 0)
    msg.pt = Desktop::Get().cursor;
  *out = msg;
  if (remove) Retrieved(msg);
  return true;
}

void MessageQueue::WaitForMessage() {
  waiting_ = true;
  WaitSignal(signal_, NextTimerWait());
  waiting_ = false;
  ++wakes_;
  lastAsked_ = NowMs();
}

BOOL MessageQueue::Get(MSG* out, HWND filter, UINT first, UINT last) {
  while (!Peek(out, filter, first, last, PM_REMOVE)) WaitForMessage();
  return out->message == WM_QUIT ? FALSE : TRUE;
}

UINT_PTR MessageQueue::SetTimer(HWND hwnd, UINT_PTR id, UINT elapse, TIMERPROC proc) {
  elapse = std::clamp<UINT>(elapse, USER_TIMER_MINIMUM, USER_TIMER_MAXIMUM);
  if (hwnd == nullptr) {
    auto it = std::find_if(timers_.begin(), timers_.end(), [&](const Timer& t) { return t.hwnd == nullptr && t.id == id; });
    if (id == 0 || it == timers_.end()) id = nextTimerId_++;
  }
  uint64_t due = NowMs() + elapse;
  for (Timer& t : timers_) {
    if (t.hwnd == hwnd && t.id == id) {
      t = Timer{hwnd, id, elapse, proc, due};
      return id;
    }
  }
  timers_.push_back(Timer{hwnd, id, elapse, proc, due});
  Wake();
  return id;
}

bool MessageQueue::KillTimer(HWND hwnd, UINT_PTR id) {
  return std::erase_if(timers_, [&](const Timer& t) { return t.hwnd == hwnd && t.id == id; }) != 0;
}

void MessageQueue::DropTimersOf(HWND hwnd) {
  std::erase_if(timers_, [&](const Timer& t) { return t.hwnd == hwnd; });
}

bool MessageQueue::Hung() const { return !waiting_ && NowMs() - lastAsked_ >= kHungAfterMs; }

bool MessageQueue::Idle() const {
  if (!waiting_ || !sent_.empty() || !posted_.empty() || !input_.empty() || !cooked_.empty() || quit_) return false;
  if (NextTimerWait() == 0) return false;
  Desktop& d = Desktop::Get();
  for (HWND h : d.All())
    if (Window* w = d.Find(h); w->threadId == threadId_ && NeedsPaint(*w)) return false;
  return true;
}

void MessageQueue::ReleaseAll() {
  std::vector<std::shared_ptr<SentMessage>> waiting(sent_.begin(), sent_.end());
  waiting.insert(waiting.end(), serving_.begin(), serving_.end());
  sent_.clear();
  serving_.clear();
  timers_.clear();
  for (const auto& s : waiting) {
    s->result = 0;
    s->done = true;
    if (s->senderThread != 0)
      if (MessageQueue* sender = Desktop::Get().FindQueue(s->senderThread)) sender->Wake();
  }
}

LRESULT CallWindow(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  LRESULT result = 0;
  SendTo(hwnd, message, wParam, lParam, SMTO_NORMAL, -1, &result);
  return result;
}

bool SendTo(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT flags, int64_t timeoutMs, LRESULT* result) {
  Desktop& d = Desktop::Get();
  *result = 0;
  Window* w = d.Checked(hwnd);
  if (w == nullptr) return false;
  if (w->threadId == CurrentThreadId()) {
    auto hold = d.Hold(hwnd);
    *result = w->proc != nullptr ? w->proc(hwnd, message, wParam, lParam) : 0;
    return true;
  }
  MessageQueue* target = d.FindQueue(w->threadId);
  if (target == nullptr) return false;
  if ((flags & SMTO_ABORTIFHUNG) && target->Hung()) {
    SetError(ERROR_TIMEOUT);
    return false;
  }
  MessageQueue& self = d.CurrentQueue();
  auto sent = std::make_shared<SentMessage>(SentMessage{hwnd, message, wParam, lParam, self.ThreadId()});
  target->Deliver(sent);
  if (!self.AwaitReply(sent, (flags & SMTO_BLOCK) != 0, timeoutMs)) {
    sent->senderThread = 0;
    SetError(ERROR_TIMEOUT);
    return false;
  }
  *result = sent->result;
  return true;
}

}  // namespace plat::win32
