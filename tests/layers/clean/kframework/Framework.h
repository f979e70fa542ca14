// A kernel-mode folder uses the kernel, 1394 and port class stand-ins by their Windows names.
#pragma once

#include <1394.h>
#include <ksmedia.h>
#include <ntddk.h>
#include <portcls.h>
#include <wdm.h>
#include <wdmsec.h>

#include <new>

#include "kframework/Framework.h"
