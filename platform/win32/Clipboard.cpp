// The machine's clipboard (user32): open to one thread at a time, emptied by the thread that opened
// it, which then owns it; text only. The scripted input driver puts text on it as a person copying
// it in another program does.
#include <string>

#include "platform/win32/Desktop.h"
#include "platform/win32/GlobalMemory.h"
#include "platform/win32/InputDriver.h"
#include "platform/win32/KernelBridge.h"
#include "platform/win32/MachineState.h"
#include "platform/win32/WindowManager.h"

namespace plat::win32 {
namespace {

struct ClipboardState {
  uint32_t openProcess = 0;
  uint32_t openThread = 0;
  HWND opener = nullptr;
  bool ownerless = false;  // emptied while opened without a window: nothing may be set
  bool hasText = false;
  std::string text;
  HGLOBAL block = nullptr;  // the text as a block of the clipboard's, once given or asked for
};

ClipboardState& State() { return MachineState::Of<ClipboardState>(); }

void Drop(ClipboardState& c) {
  if (c.block != nullptr) FreeClipboardBlock(c.block);
  c.block = nullptr;
  c.hasText = false;
  c.text.clear();
}

bool OpenedByCaller() {
  if (State().openThread == CurrentThreadId()) return true;
  SetError(ERROR_CLIPBOARD_NOT_OPEN);
  return false;
}

}  // namespace

void ClipboardEnded(uint32_t processId, uint32_t threadId) {
  ClipboardState& c = State();
  if (c.openThread != 0 && c.openProcess == processId && (threadId == 0 || c.openThread == threadId)) {
    c.openThread = 0;
    c.opener = nullptr;
  }
  if (threadId == 0) DropBlocksOf(processId);
}

namespace input {

void SetClipboardText(const std::string& text) {
  ClipboardState& c = State();
  Drop(c);
  c.hasText = true;
  c.text = text;
}

std::string ClipboardText() { return State().text; }

}  // namespace input
}  // namespace plat::win32

namespace w = plat::win32;

BOOL OpenClipboard(HWND hWndNewOwner) {
  w::ClipboardState& c = w::State();
  if (hWndNewOwner != nullptr && w::Desktop::Get().Checked(hWndNewOwner) == nullptr) return FALSE;
  if (c.openThread != 0 && c.openThread != w::CurrentThreadId()) {
    w::SetError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  c.openProcess = w::CurrentProcessId();
  c.openThread = w::CurrentThreadId();
  c.opener = hWndNewOwner;
  c.ownerless = false;
  return TRUE;
}

BOOL CloseClipboard() {
  if (!w::OpenedByCaller()) return FALSE;
  w::State().openThread = 0;
  w::State().opener = nullptr;
  return TRUE;
}

BOOL EmptyClipboard() {
  if (!w::OpenedByCaller()) return FALSE;
  w::ClipboardState& c = w::State();
  w::Drop(c);
  c.ownerless = c.opener == nullptr;
  return TRUE;
}

HANDLE SetClipboardData(UINT uFormat, HANDLE hMem) {
  if (!w::OpenedByCaller()) return nullptr;
  w::ClipboardState& c = w::State();
  if (uFormat != CF_TEXT || hMem == nullptr || c.ownerless) {
    w::SetError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (!w::TakeForClipboard(hMem)) return nullptr;
  w::Drop(c);
  c.hasText = true;
  c.text = w::BlockText(hMem);
  c.block = hMem;
  return hMem;
}

HANDLE GetClipboardData(UINT uFormat) {
  if (!w::OpenedByCaller()) return nullptr;
  w::ClipboardState& c = w::State();
  if (uFormat != CF_TEXT || !c.hasText) return nullptr;
  if (c.block == nullptr) c.block = w::ClipboardBlock(c.text);
  return c.block;
}

BOOL IsClipboardFormatAvailable(UINT format) { return format == CF_TEXT && w::State().hasText ? TRUE : FALSE; }
