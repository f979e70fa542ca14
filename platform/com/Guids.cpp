// COM's interface ids as the import library of user-mode programs holds them. IID_IUnknown is
// defined with port class's GUIDs (platform/portcls/Guids.cpp), so its header comes first here,
// declaring only.
#include "platform/neutral/include/unknwnbase.h"

#include "platform/neutral/include/initguid.h"
#include "platform/com/include/unknwn.h"
