// Dialogs, property sheets and pages.
#pragma once

#include <afxwin.h>
