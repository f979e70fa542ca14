// The message queue of one user-interface thread: messages sent to it by other threads, posted
// messages, hardware input, the paint and timer conditions, and the thread's input state (focus,
// active window, capture, the keys as of the message being processed). Retrieval follows Windows'
// order: sent messages are served first, then posted messages, the quit request, input, WM_PAINT
// and last WM_TIMER.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "platform/win32/include/windows.h"

namespace plat::win32 {

// A message one thread sent to a window of another and may wait for.
struct SentMessage {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  uint32_t senderThread;  // the thread to wake with the result; 0 once no one waits
  LRESULT result = 0;
  bool done = false;
};

struct Timer {
  HWND hwnd;
  UINT_PTR id;
  UINT elapse;
  TIMERPROC proc;
  uint64_t due;  // virtual milliseconds
};

// One hardware event as the input driver enters it: a mouse message at a screen point, or a key.
struct InputEvent {
  UINT message;  // WM_MOUSEMOVE, WM_LBUTTONDOWN, WM_LBUTTONUP, WM_RBUTTONDOWN, WM_RBUTTONUP, WM_KEYDOWN, WM_KEYUP
  POINT pt;
  WPARAM buttons;  // MK_* as the mouse and keyboard had them
  WORD vk;
  WORD scan;
  bool repeat;  // a key already down
  bool alt;     // Alt held
  DWORD time;
};

class MessageQueue {
 public:
  MessageQueue(uint32_t threadId, uint32_t processId);
  ~MessageQueue();
  MessageQueue(const MessageQueue&) = delete;
  MessageQueue& operator=(const MessageQueue&) = delete;

  uint32_t ThreadId() const { return threadId_; }
  uint32_t ProcessId() const { return processId_; }

  // From any thread.
  void Post(const MSG& msg);
  void PostQuit(int exitCode);
  void PostInput(const InputEvent& event);
  void Deliver(std::shared_ptr<SentMessage> sent);
  void Wake();

  // On the queue's own thread. `Peek` serves every sent message first and gives false when nothing
  // matched; `Get` waits (letting virtual time run) until something matches.
  bool Peek(MSG* out, HWND filter, UINT first, UINT last, UINT flags);
  BOOL Get(MSG* out, HWND filter, UINT first, UINT last);
  void WaitForMessage();
  // Serves the messages other threads sent; true when one was served.
  bool ServeSent();
  // Waits for `sent` to be answered, serving messages sent to this thread meanwhile unless
  // `block`; false when `timeoutMs` (negative: none) passed first.
  bool AwaitReply(const std::shared_ptr<SentMessage>& sent, bool block, int64_t timeoutMs);

  // Timers
  UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapse, TIMERPROC proc);
  bool KillTimer(HWND hwnd, UINT_PTR id);
  void DropTimersOf(HWND hwnd);

  // A thread that waits in GetMessage with nothing to retrieve.
  bool Idle() const;
  // Windows calls a thread hung when it has not asked for messages for 5 seconds and does not wait
  // in GetMessage.
  bool Hung() const;
  uint64_t Wakes() const { return wakes_; }
  bool InSend() const { return !serving_.empty(); }
  // Releases every thread waiting on a send to this one (the thread ended); drops its timers.
  void ReleaseAll();

  // Input state of the thread.
  HWND focus = nullptr;
  HWND active = nullptr;
  HWND capture = nullptr;
  uint8_t keys[256] = {};
  MSG last{};  // the message being processed: its time and position
  // The last button press, for double clicks.
  UINT lastClick = 0;
  HWND lastClickWindow = nullptr;
  POINT lastClickPt{};
  DWORD lastClickTime = 0;

 private:
  bool Matches(const MSG& msg, HWND filter, UINT first, UINT last) const;
  bool TakePosted(MSG* out, HWND filter, UINT first, UINT last, bool remove);
  bool TakeInput(MSG* out, HWND filter, UINT first, UINT last, bool remove);
  bool TakePaint(MSG* out, HWND filter, UINT first, UINT last);
  bool TakeTimer(MSG* out, HWND filter, UINT first, UINT last, bool remove);
  // The message a hardware event becomes for this thread, with its hit test and cursor messages
  // sent; false when it reaches no window.
  bool Cook(const InputEvent& event, MSG* out);
  int64_t NextTimerWait() const;
  void Retrieved(const MSG& msg);

  uint32_t threadId_;
  uint32_t processId_;
  void* signal_;
  std::deque<std::shared_ptr<SentMessage>> sent_;
  std::vector<std::shared_ptr<SentMessage>> serving_;
  std::deque<MSG> posted_;
  std::deque<InputEvent> input_;
  std::deque<MSG> cooked_;  // input already turned into messages but not yet removed
  std::vector<Timer> timers_;
  bool quit_ = false;
  int quitCode_ = 0;
  bool waiting_ = false;
  uint64_t lastAsked_ = 0;
  uint64_t wakes_ = 0;
  UINT_PTR nextTimerId_ = 1;
};

// Calls a window's procedure on the current thread (the window's own), or sends across threads.
LRESULT CallWindow(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
// SendMessageTimeoutA's core: false on time-out, an abort or a window gone.
bool SendTo(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT flags, int64_t timeoutMs, LRESULT* result);

}  // namespace plat::win32
