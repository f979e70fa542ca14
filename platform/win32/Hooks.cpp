// Window hooks of a thread: WH_CBT only, the one kind a program here installs (a class library
// takes a window over as it is created). A hook is called on the thread that installed it.
#include <algorithm>
#include <map>
#include <memory>
#include <vector>

#include "platform/win32/Desktop.h"
#include "platform/win32/Hooks.h"
#include "platform/win32/KernelBridge.h"
#include "platform/win32/MachineState.h"

struct HHOOK__ {
  int kind;
  HOOKPROC proc;
  DWORD threadId;
};

namespace plat::win32 {
namespace {

constexpr DWORD kInvalidHookHandle = 1404;  // ERROR_INVALID_HOOK_HANDLE

// Each thread's hooks, newest first; a removed hook stays allocated until the machine goes, so a
// chain being walked never reads freed memory.
struct HookTable {
  std::map<DWORD, std::vector<HHOOK>> chains;
  std::vector<std::unique_ptr<HHOOK__>> all;
};

HookTable& Hooks() { return MachineState::Of<HookTable>(); }

// The hook after `hook` in its thread's chain, or null.
HHOOK NextAfter(HHOOK hook) {
  auto chain = Hooks().chains.find(hook->threadId);
  if (chain == Hooks().chains.end()) return nullptr;
  auto at = std::find(chain->second.begin(), chain->second.end(), hook);
  if (at == chain->second.end() || ++at == chain->second.end()) return nullptr;
  return *at;
}

}  // namespace

LRESULT CallCbtHooks(int code, WPARAM wParam, LPARAM lParam) {
  auto chain = Hooks().chains.find(CurrentThreadId());
  if (chain == Hooks().chains.end() || chain->second.empty()) return 0;
  HHOOK first = chain->second.front();
  return first->proc(code, wParam, lParam);
}

}  // namespace plat::win32

namespace w = plat::win32;

HHOOK SetWindowsHookExA(int idHook, HOOKPROC lpfn, HINSTANCE, DWORD dwThreadId) {
  // Only a thread's own CBT hook is kept; a global hook would need a DLL in every process.
  if (idHook != WH_CBT || lpfn == nullptr || dwThreadId == 0) {
    w::SetError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto hook = std::make_unique<HHOOK__>(HHOOK__{idHook, lpfn, dwThreadId});
  HHOOK handle = hook.get();
  w::Hooks().all.push_back(std::move(hook));
  auto& chain = w::Hooks().chains[dwThreadId];
  chain.insert(chain.begin(), handle);
  return handle;
}

BOOL UnhookWindowsHookEx(HHOOK hhk) {
  if (hhk == nullptr) return FALSE;
  auto chain = w::Hooks().chains.find(hhk->threadId);
  if (chain == w::Hooks().chains.end() || std::erase(chain->second, hhk) == 0) {
    w::SetError(w::kInvalidHookHandle);
    return FALSE;
  }
  return TRUE;
}

LRESULT CallNextHookEx(HHOOK hhk, int nCode, WPARAM wParam, LPARAM lParam) {
  HHOOK next = hhk != nullptr ? w::NextAfter(hhk) : nullptr;
  return next != nullptr ? next->proc(nCode, wParam, lParam) : 0;
}
