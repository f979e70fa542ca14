// The probe program's resources: strings in two tables, a page holding every kind of control with
// the lists of its two combo boxes, a bitmap, an icon of two sizes and a cursor.
#include <commctrl.h>
#include <winres.h>

#include "probe.bmp.h"
#include "probe.cur.h"
#include "probe.ico.h"
#include "tests/platform/win32/images/ProbeResources.h"

namespace {

// What every control of the page is.
constexpr DWORD kControl = WS_CHILD | WS_VISIBLE;
constexpr DWORD kStop = kControl | WS_TABSTOP;

// Made into a dialog even where a control's class is not registered (list boxes and scroll bars).
constexpr DIALOG_RESOURCE kPage = {
    WS_CHILD | WS_CAPTION | DS_SETFONT | DS_NOFAILCREATE, 0, 0, 0, 250, 190, "Settings", 8, "MS Shell Dlg",
    {
        {"BUTTON", 1, "OK", kStop | BS_DEFPUSHBUTTON, 140, 170, 50, 14},
        {"BUTTON", 2, "Cancel", kStop | BS_PUSHBUTTON, 195, 170, 50, 14},
        {"BUTTON", 1392, "Converter delay", kStop | BS_AUTOCHECKBOX, 7, 120, 90, 10},
        {"BUTTON", 1366, "Action", kControl | BS_GROUPBOX, 120, 100, 120, 40},
        {"BUTTON", 1145, "Note", kStop | WS_GROUP | BS_AUTORADIOBUTTON, 125, 110, 50, 10},
        {"BUTTON", 1146, "Controller", kControl | BS_AUTORADIOBUTTON, 125, 122, 50, 10},
        {"EDIT", 1031, "-2.5", kStop | WS_BORDER | ES_AUTOHSCROLL | ES_NUMBER, 7, 100, 30, 12},
        {"STATIC", 1357, "Register:", kControl | SS_LEFT, 7, 7, 60, 8},
        {"STATIC", probe::kIconStatic, probe::kAppIcon, kControl | SS_ICON, 220, 7, 20, 20},
        {"STATIC", probe::kLogoStatic, probe::kLogo, kControl | SS_BITMAP, 9, 164, 0, 0},
        {"COMBOBOX", probe::kProtocolCombo, "", kStop | WS_VSCROLL | CBS_DROPDOWNLIST | CBS_SORT, 7, 20, 100, 80},
        {"COMBOBOX", probe::kRateCombo, "", kStop | WS_VSCROLL | CBS_DROPDOWNLIST, 7, 40, 100, 80},
        {"LISTBOX", 1300, "", kStop | WS_BORDER | LBS_NOTIFY, 120, 20, 60, 40},
        {"SCROLLBAR", 1301, "", kControl | SBS_HORZ, 120, 65, 60, 10},
        {UPDOWN_CLASSA, 1029, "", kControl | UDS_ALIGNRIGHT | UDS_AUTOBUDDY | UDS_ARROWKEYS, 37, 100, 10, 12},
        {TRACKBAR_CLASSA, 1342, "", kStop | TBS_AUTOTICKS, 7, 60, 100, 20},
    },
    {
        {probe::kProtocolCombo, {"QX-5310 Native", "Mackie Control Emulation", "HUI Emulation"}},
        {probe::kRateCombo, {"44100", "48000", "88200", "96000"}},
    },
};

constexpr RESOURCE_ENTRY kResources[] = {
    StringResource(probe::kTitleString, "QX-5310 Control Panel"),
    StringResource(probe::kSecondTableString, "second table"),
    DialogResource(probe::kPage, kPage),
    BitmapResource(probe::kLogo, probe_bmp),
    IconResource(probe::kAppIcon, probe_ico),
    CursorResource(probe::kLinkCursor, probe_cur),
};

}  // namespace

extern "C" const RESOURCE_DIRECTORY ImageResources = ResourceDirectory(kResources);
