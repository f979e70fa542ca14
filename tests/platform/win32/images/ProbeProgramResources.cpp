// The probe program's resources: strings in two tables, a page holding every kind of control with
// the lists of its two combo boxes, a bitmap, an icon of two sizes and a cursor.
#include <winres.h>

#include "probe.bmp.h"
#include "probe.cur.h"
#include "probe.ico.h"
#include "tests/platform/win32/images/ProbeResources.h"

namespace {

// Window and control styles, by their values.
constexpr DWORD kChild = 0x40000000, kVisible = 0x10000000, kTabStop = 0x00010000, kGroup = 0x00020000;
constexpr DWORD kVScroll = 0x00200000, kBorder = 0x00800000, kCaption = 0x00C00000, kSetFont = 0x40;
constexpr DWORD kPush = 0x0, kDefPush = 0x1, kAutoCheck = 0x3, kGroupBox = 0x7, kAutoRadio = 0x9;
constexpr DWORD kAutoHScroll = 0x80, kNumber = 0x2000;
constexpr DWORD kLeft = 0x0, kIcon = 0x3, kBitmap = 0xE, kDropDownList = 0x3, kNotify = 0x1, kHorizontal = 0x0;
constexpr DWORD kAlignRight = 0x4, kAutoBuddy = 0x10, kArrowKeys = 0x20, kAutoTicks = 0x1;

constexpr DIALOG_RESOURCE kPage = {
    kChild | kCaption | kSetFont, 0, 0, 0, 250, 190, "Settings", 8, "MS Shell Dlg",
    {
        {"BUTTON", 1, "OK", kChild | kVisible | kTabStop | kDefPush, 140, 170, 50, 14},
        {"BUTTON", 2, "Cancel", kChild | kVisible | kTabStop | kPush, 195, 170, 50, 14},
        {"BUTTON", 1392, "Converter delay", kChild | kVisible | kTabStop | kAutoCheck, 7, 120, 90, 10},
        {"BUTTON", 1366, "Action", kChild | kVisible | kGroupBox, 120, 100, 120, 40},
        {"BUTTON", 1145, "Note", kChild | kVisible | kTabStop | kGroup | kAutoRadio, 125, 110, 50, 10},
        {"BUTTON", 1146, "Controller", kChild | kVisible | kAutoRadio, 125, 122, 50, 10},
        {"EDIT", 1031, "-2.5", kChild | kVisible | kTabStop | kBorder | kAutoHScroll | kNumber, 7, 100, 30, 12},
        {"STATIC", 1357, "Register:", kChild | kVisible | kLeft, 7, 7, 60, 8},
        {"STATIC", probe::kIconStatic, probe::kAppIcon, kChild | kVisible | kIcon, 220, 7, 20, 20},
        {"STATIC", probe::kLogoStatic, probe::kLogo, kChild | kVisible | kBitmap, 9, 164, 0, 0},
        {"COMBOBOX", probe::kProtocolCombo, "", kChild | kVisible | kTabStop | kVScroll | kDropDownList,
         7, 20, 100, 80},
        {"COMBOBOX", probe::kRateCombo, "", kChild | kVisible | kTabStop | kVScroll | kDropDownList, 7, 40, 100, 80},
        {"LISTBOX", 1300, "", kChild | kVisible | kTabStop | kBorder | kNotify, 120, 20, 60, 40},
        {"SCROLLBAR", 1301, "", kChild | kVisible | kHorizontal, 120, 65, 60, 10},
        {"msctls_updown32", 1029, "", kChild | kVisible | kAlignRight | kAutoBuddy | kArrowKeys, 37, 100, 10, 12},
        {"msctls_trackbar32", 1342, "", kChild | kVisible | kTabStop | kAutoTicks, 7, 60, 100, 20},
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
