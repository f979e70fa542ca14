// The KR-6 page's template (110): fifteen name edits and the buttons that act on the chosen unit.
#pragma once

#include <winres.h>

#include "panel/resource.h"

namespace panel_res {

inline constexpr DWORD kKr6Control = WS_CHILD | WS_VISIBLE;
inline constexpr DWORD kKr6Button = kKr6Control | WS_TABSTOP | BS_PUSHBUTTON;

inline constexpr DIALOG_RESOURCE kKR6Dialog = {
    WS_CHILD | WS_CAPTION | DS_SETFONT, 0, 0, 0, 292, 194, "KR-6", 8, "MS Shell Dlg",
    {
        {"BUTTON", 0xFFFF, "KR-6 Name Assignment", kKr6Control | BS_GROUPBOX, 7, 4, 176, 186},
        {"STATIC", 0xFFFF, "1.", kKr6Control | SS_RIGHT, 12, 18, 12, 8},
        {"EDIT", IDC_NAME_FIRST + 0, "", kKr6Control | WS_TABSTOP | WS_BORDER | ES_AUTOHSCROLL, 26, 16, 150, 10},
        {"STATIC", 0xFFFF, "2.", kKr6Control | SS_RIGHT, 12, 29, 12, 8},
        {"EDIT", IDC_NAME_FIRST + 1, "", kKr6Control | WS_TABSTOP | WS_BORDER | ES_AUTOHSCROLL, 26, 27, 150, 10},
        {"STATIC", 0xFFFF, "3.", kKr6Control | SS_RIGHT, 12, 40, 12, 8},
        {"EDIT", IDC_NAME_FIRST + 2, "", kKr6Control | WS_TABSTOP | WS_BORDER | ES_AUTOHSCROLL, 26, 38, 150, 10},
        {"STATIC", 0xFFFF, "4.", kKr6Control | SS_RIGHT, 12, 51, 12, 8},
        {"EDIT", IDC_NAME_FIRST + 3, "", kKr6Control | WS_TABSTOP | WS_BORDER | ES_AUTOHSCROLL, 26, 49, 150, 10},
        {"STATIC", 0xFFFF, "5.", kKr6Control | SS_RIGHT, 12, 62, 12, 8},
        {"EDIT", IDC_NAME_FIRST + 4, "", kKr6Control | WS_TABSTOP | WS_BORDER | ES_AUTOHSCROLL, 26, 60, 150, 10},
        {"STATIC", 0xFFFF, "6.", kKr6Control | SS_RIGHT, 12, 73, 12, 8},
        {"EDIT", IDC_NAME_FIRST + 5, "", kKr6Control | WS_TABSTOP | WS_BORDER | ES_AUTOHSCROLL, 26, 71, 150, 10},
        {"STATIC", 0xFFFF, "7.", kKr6Control | SS_RIGHT, 12, 84, 12, 8},
        {"EDIT", IDC_NAME_FIRST + 6, "", kKr6Control | WS_TABSTOP | WS_BORDER | ES_AUTOHSCROLL, 26, 82, 150, 10},
        {"STATIC", 0xFFFF, "8.", kKr6Control | SS_RIGHT, 12, 95, 12, 8},
        {"EDIT", IDC_NAME_FIRST + 7, "", kKr6Control | WS_TABSTOP | WS_BORDER | ES_AUTOHSCROLL, 26, 93, 150, 10},
        {"STATIC", 0xFFFF, "9.", kKr6Control | SS_RIGHT, 12, 106, 12, 8},
        {"EDIT", IDC_NAME_FIRST + 8, "", kKr6Control | WS_TABSTOP | WS_BORDER | ES_AUTOHSCROLL, 26, 104, 150, 10},
        {"STATIC", 0xFFFF, "10.", kKr6Control | SS_RIGHT, 12, 117, 12, 8},
        {"EDIT", IDC_NAME_FIRST + 9, "", kKr6Control | WS_TABSTOP | WS_BORDER | ES_AUTOHSCROLL, 26, 115, 150, 10},
        {"STATIC", 0xFFFF, "11.", kKr6Control | SS_RIGHT, 12, 128, 12, 8},
        {"EDIT", IDC_NAME_FIRST + 10, "", kKr6Control | WS_TABSTOP | WS_BORDER | ES_AUTOHSCROLL, 26, 126, 150, 10},
        {"STATIC", 0xFFFF, "12.", kKr6Control | SS_RIGHT, 12, 139, 12, 8},
        {"EDIT", IDC_NAME_FIRST + 11, "", kKr6Control | WS_TABSTOP | WS_BORDER | ES_AUTOHSCROLL, 26, 137, 150, 10},
        {"STATIC", 0xFFFF, "13.", kKr6Control | SS_RIGHT, 12, 150, 12, 8},
        {"EDIT", IDC_NAME_FIRST + 12, "", kKr6Control | WS_TABSTOP | WS_BORDER | ES_AUTOHSCROLL, 26, 148, 150, 10},
        {"STATIC", 0xFFFF, "14.", kKr6Control | SS_RIGHT, 12, 161, 12, 8},
        {"EDIT", IDC_NAME_FIRST + 13, "", kKr6Control | WS_TABSTOP | WS_BORDER | ES_AUTOHSCROLL, 26, 159, 150, 10},
        {"STATIC", 0xFFFF, "15.", kKr6Control | SS_RIGHT, 12, 172, 12, 8},
        {"EDIT", IDC_NAME_FIRST + 14, "", kKr6Control | WS_TABSTOP | WS_BORDER | ES_AUTOHSCROLL, 26, 170, 150, 10},
        {"BUTTON", IDC_IDENTIFY, "Identify", kKr6Button, 192, 16, 60, 14},
        {"BUTTON", IDC_MOVE_UP, "Move Up", kKr6Button, 192, 36, 60, 14},
        {"BUTTON", IDC_MOVE_DOWN, "Move Down", kKr6Button, 192, 56, 60, 14},
        {"BUTTON", IDC_APPLY_NAMES, "Apply", kKr6Button, 192, 90, 60, 14},
        {"BUTTON", IDC_REVERT_NAMES, "Revert", kKr6Button, 192, 110, 60, 14},
        {"STATIC", 0xFFFF, "You must click Apply for your", kKr6Control | SS_LEFT, 188, 132, 100, 8},
        {"STATIC", 0xFFFF, "changes to take effect!", kKr6Control | SS_LEFT, 188, 142, 100, 8},
        {"STATIC", IDC_KR6_LINK, "Click for KR-6 web info", kKr6Control | SS_LEFT, 188, 170, 96, 8},
    },
    {},
};

}  // namespace panel_res
