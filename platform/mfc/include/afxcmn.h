// The common-control classes.
#pragma once

#include <afxwin.h>

#include <commctrl.h>

#include <afxcmnctl.h>
