// kernel32's global memory: fixed blocks whose handle is their address, moveable ones whose
// handle is a token locked into an address, each the calling process's; a handle of another
// process, or one already freed, is refused.
#include "platform/win32/GlobalMemory.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>

#include "platform/win32/Desktop.h"
#include "platform/win32/KernelBridge.h"
#include "platform/win32/MachineState.h"

namespace plat::win32 {
namespace {

constexpr uint32_t kClipboardProcess = 0xFFFFFFFF;  // the owner of the clipboard's blocks, no process
// Moveable handles: tokens apart from any address, a step of 8 so that none looks like a pointer
// into a block.
constexpr uintptr_t kFirstToken = 0x7FFE0008;
constexpr uintptr_t kTokenStep = 8;

struct Block {
  uint32_t process;
  UINT flags;
  size_t size;
  std::unique_ptr<char[]> bytes;  // at least one, so that even an empty block has an address
  UINT locks = 0;
};

struct GlobalTable {
  std::map<HGLOBAL, Block> blocks;
  uintptr_t nextToken = kFirstToken;
};

GlobalTable& Table() { return MachineState::Of<GlobalTable>(); }

HGLOBAL Add(uint32_t process, UINT flags, SIZE_T bytes) {
  GlobalTable& t = Table();
  Block block{process, flags, bytes, std::make_unique<char[]>(std::max<SIZE_T>(bytes, 1))};
  HGLOBAL handle;
  if (flags & GMEM_MOVEABLE) {
    handle = reinterpret_cast<HGLOBAL>(t.nextToken);
    t.nextToken += kTokenStep;
  } else {
    handle = block.bytes.get();  // a fixed block's handle is its address
  }
  t.blocks.emplace(handle, std::move(block));
  return handle;
}

// The caller's block (or the clipboard's, which every process may read), or null with the error.
Block* Mine(HGLOBAL handle) {
  auto found = Table().blocks.find(handle);
  if (found == Table().blocks.end() ||
      (found->second.process != CurrentProcessId() && found->second.process != kClipboardProcess)) {
    SetError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return &found->second;
}

}  // namespace

bool TakeForClipboard(HGLOBAL block) {
  Block* b = Mine(block);
  if (b == nullptr || b->process == kClipboardProcess || !(b->flags & GMEM_MOVEABLE)) return false;
  b->process = kClipboardProcess;
  b->locks = 0;
  return true;
}

HGLOBAL ClipboardBlock(const std::string& text) {
  HGLOBAL handle = Add(kClipboardProcess, GMEM_MOVEABLE, text.size() + 1);
  std::copy(text.begin(), text.end(), Table().blocks.at(handle).bytes.get());
  return handle;
}

std::string BlockText(HGLOBAL block) {
  auto found = Table().blocks.find(block);
  if (found == Table().blocks.end()) return {};
  const char* bytes = found->second.bytes.get();
  return std::string(bytes, std::find(bytes, bytes + found->second.size, '\0'));
}

void FreeClipboardBlock(HGLOBAL block) {
  auto found = Table().blocks.find(block);
  if (found != Table().blocks.end() && found->second.process == kClipboardProcess) Table().blocks.erase(found);
}

void DropBlocksOf(uint32_t processId) {
  std::erase_if(Table().blocks, [processId](const auto& entry) { return entry.second.process == processId; });
}

}  // namespace plat::win32

namespace w = plat::win32;

HGLOBAL GlobalAlloc(UINT uFlags, SIZE_T dwBytes) {
  if (uFlags & ~(GMEM_MOVEABLE | GMEM_ZEROINIT)) {
    w::SetError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return w::Add(w::CurrentProcessId(), uFlags, dwBytes);
}

LPVOID GlobalLock(HGLOBAL hMem) {
  w::Block* b = w::Mine(hMem);
  if (b == nullptr) return nullptr;
  if (!(b->flags & GMEM_MOVEABLE)) return hMem;
  // An empty moveable block has no memory to lock.
  if (b->size == 0) return nullptr;
  ++b->locks;
  return b->bytes.get();
}

BOOL GlobalUnlock(HGLOBAL hMem) {
  w::Block* b = w::Mine(hMem);
  if (b == nullptr) return FALSE;
  if (!(b->flags & GMEM_MOVEABLE)) return TRUE;
  if (b->locks == 0) {
    w::SetError(ERROR_NOT_LOCKED);
    return FALSE;
  }
  if (--b->locks == 0) {
    w::SetError(ERROR_SUCCESS);
    return FALSE;
  }
  return TRUE;
}

HGLOBAL GlobalFree(HGLOBAL hMem) {
  if (hMem == nullptr) return nullptr;
  w::Block* b = w::Mine(hMem);
  if (b == nullptr || b->process == w::kClipboardProcess) {
    w::SetError(ERROR_INVALID_HANDLE);
    return hMem;
  }
  w::Table().blocks.erase(hMem);
  return nullptr;
}

SIZE_T GlobalSize(HGLOBAL hMem) {
  w::Block* b = w::Mine(hMem);
  return b != nullptr ? b->size : 0;
}
