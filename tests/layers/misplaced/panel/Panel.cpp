#include <afxwin.h>

#include "client/Client.h"
#include "unit/ControlRequests.h"

namespace plat {}
