// Global memory blocks as user32 shares them with kernel32: the clipboard takes a program's block
// for its own, reads it, and makes blocks of its own that any process may lock.
#pragma once

#include <cstdint>
#include <string>

#include "platform/win32/include/windows.h"

namespace plat::win32 {

// The caller's moveable block becomes the clipboard's; false when it is not one.
bool TakeForClipboard(HGLOBAL block);
// A moveable block of the clipboard's holding `text` and its NUL.
HGLOBAL ClipboardBlock(const std::string& text);
// The text of a block up to its first NUL or its end.
std::string BlockText(HGLOBAL block);
// Frees a block of the clipboard's.
void FreeClipboardBlock(HGLOBAL block);
// A process's blocks go with it.
void DropBlocksOf(uint32_t processId);

}  // namespace plat::win32
