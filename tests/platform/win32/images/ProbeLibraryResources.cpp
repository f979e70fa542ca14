// The probe library's resources: a resource-only DLL with the program's ids and contents of its
// own (a smaller page, an 8-bit bitmap, a one-size icon).
#include <winres.h>

#include "library.bmp.h"
#include "library.ico.h"
#include "tests/platform/win32/images/ProbeResources.h"

namespace {

constexpr DWORD kChild = 0x40000000, kVisible = 0x10000000, kTabStop = 0x00010000, kCaption = 0x00C00000;
constexpr DWORD kIcon = 0x3, kDropDownList = 0x3;

constexpr DIALOG_RESOURCE kPage = {
    kChild | kCaption, 0, 0, 0, 120, 60, "Library page", 0, nullptr,
    {
        {"STATIC", probe::kIconStatic, probe::kAppIcon, kChild | kVisible | kIcon, 4, 4, 20, 20},
        {"COMBOBOX", probe::kRateCombo, "", kChild | kVisible | kTabStop | kDropDownList, 30, 4, 80, 60},
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
