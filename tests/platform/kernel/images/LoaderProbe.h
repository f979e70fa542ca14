// Where the loader probe images count their attaches and detaches, and the value that makes the
// next attach fail.
#pragma once

#include "platform/kernel/KernelTypes.h"

namespace loaderprobe {

// REG_DWORD values "Attaches", "Detaches" (FreeLibrary), "DetachesAtExit" (process exit) and
// "FailAttach" (nonzero: DllMain refuses the attach).
inline constexpr char16_t kKey[] = u"\\Registry\\Machine\\Software\\QxLoaderProbe";
using BumpRoutine = LONG (*)();

}  // namespace loaderprobe
