#include "platform/kernel/IoInternal.h"

namespace plat {
void PoNoteDispatch(PIRP) {}
void PoNoteIrpFreed(PIRP) {}
}  // namespace plat
