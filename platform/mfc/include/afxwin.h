// The class library's core: values, message maps, command targets, windows, the standard
// controls, drawing objects and DCs, the application and the module's handles.
#pragma once

#include <windows.h>

#include <afxapp.h>
#include <afxcmdtarget.h>
#include <afxctl.h>
#include <afxdc.h>
#include <afxgdi.h>
#include <afxres.h>
#include <afxstr.h>
#include <afxtypes.h>
#include <afxwnd.h>
#include <afxcmdui.h>
#include <afxdialog.h>

// The module the image was loaded as, and the one its resources are found in (the same unless
// set apart).
HINSTANCE AfxGetInstanceHandle();
HINSTANCE AfxGetResourceHandle();
void AfxSetResourceHandle(HINSTANCE hInstResource);
void AfxSetInstanceHandle(HINSTANCE hInstance);
