// The dispatch of a unit's PDO: plug and play, power, create and close, and the IRBs of internal
// device control.
#pragma once

#include "platform/kernel/include/wdm.h"

namespace plat::bus1394 {

NTSTATUS UnitDispatch(PDEVICE_OBJECT pdo, PIRP irp);

}  // namespace plat::bus1394
