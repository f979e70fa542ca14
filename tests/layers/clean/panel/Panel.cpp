#include <afxwin.h>

#include "client/Client.h"
