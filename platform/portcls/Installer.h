// The installer's part in registering a subdevice: an adapter's install description, kept
// beside its image as "<image name without extension>.inx", gives subdevices their first
// "FriendlyName", written into each of their interfaces' keys as an install file would. A name
// that is there already (a rename since) is left alone.
//
// The description has one line per subdevice, "<reference string>=<friendly name>"; blank lines
// and lines starting with ';' are skipped.
#pragma once

#include <string>
#include <vector>

#include "platform/portcls/include/portcls.h"

namespace plat::pc {

void InstallFriendlyNames(PDRIVER_OBJECT driver, const std::u16string& subdevice, const std::vector<UNICODE_STRING>& links);

}  // namespace plat::pc
