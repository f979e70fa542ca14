// The probe library's resources: a resource-only DLL with the program's ids and contents of its
// own (a smaller page, an 8-bit bitmap, a one-size icon).
#include <winres.h>

#include "library.bmp.h"
#include "library.ico.h"
#include "tests/platform/win32/images/ProbeResources.h"

namespace {

constexpr DIALOG_RESOURCE kPage = {
    WS_CHILD | WS_CAPTION, 0, 0, 0, 120, 60, "Library page", 0, nullptr,
    {
        {"STATIC", probe::kIconStatic, probe::kAppIcon, WS_CHILD | WS_VISIBLE | SS_ICON, 4, 4, 20, 20},
        {"COMBOBOX", probe::kRateCombo, "", WS_CHILD | WS_VISIBLE | WS_TABSTOP | CBS_DROPDOWNLIST, 30, 4, 80, 60},
    },
    {
        {probe::kRateCombo, {"32000"}},
    },
};

constexpr RESOURCE_ENTRY kResources[] = {
    StringResource(probe::kTitleString, "Probe library"),
    DialogResource(probe::kPage, kPage),
    BitmapResource(probe::kLogo, library_bmp),
    IconResource(probe::kAppIcon, library_ico),
};

}  // namespace

extern "C" const RESOURCE_DIRECTORY ImageResources = ResourceDirectory(kResources);
