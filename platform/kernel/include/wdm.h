// The Windows kernel as kernel code sees it, by the name kernel code includes it. Everything here
// is declared by this project. The stand-in's control side (namespace plat) is not for kernel
// code: the build's layer check fails a system source that names it.
#pragma once

#include "../Dma.h"
#include "../DriverImage.h"
#include "../Handles.h"
#include "../IoManager.h"
#include "../Irql.h"
#include "../KernelTypes.h"
#include "../Lookaside.h"
#include "../Memory.h"
#include "../NtStatus.h"
#include "../ObjectManager.h"
#include "../PnpManager.h"
#include "../Pool.h"
#include "../PowerManager.h"
#include "../Process.h"
#include "../Registry.h"
#include "../Rtl.h"
#include "../SList.h"
#include "../Sync.h"
#include "../Time.h"
#include "../Work.h"
