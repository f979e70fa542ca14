#include "platform/kernel/IoInternal.h"

namespace plat {
void PnpFileOpened(PDEVICE_OBJECT) {}
void PnpFileClosed(PDEVICE_OBJECT) {}
}  // namespace plat
