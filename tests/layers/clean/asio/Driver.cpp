#include <windows.h>

#include "client/Client.h"
