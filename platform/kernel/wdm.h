// The Windows kernel as kernel code sees it. Everything here is declared by this project.
#pragma once

#include "platform/kernel/Handles.h"
#include "platform/kernel/IoManager.h"
#include "platform/kernel/Irql.h"
#include "platform/kernel/KernelTypes.h"
#include "platform/kernel/Lookaside.h"
#include "platform/kernel/NtStatus.h"
#include "platform/kernel/ObjectManager.h"
#include "platform/kernel/PnpManager.h"
#include "platform/kernel/Pool.h"
#include "platform/kernel/PowerManager.h"
#include "platform/kernel/Registry.h"
#include "platform/kernel/Rtl.h"
#include "platform/kernel/SList.h"
#include "platform/kernel/Sync.h"
#include "platform/kernel/Time.h"
#include "platform/kernel/Work.h"
