// The Windows kernel as kernel code sees it. Everything here is declared by this project.
#pragma once

#include "platform/kernel/Irql.h"
#include "platform/kernel/KernelTypes.h"
#include "platform/kernel/NtStatus.h"
#include "platform/kernel/Pool.h"
#include "platform/kernel/Sync.h"
#include "platform/kernel/Time.h"
#include "platform/kernel/Work.h"
