// The MIDI programming page's template (108).
#pragma once

#include <commctrl.h>
#include <winres.h>

#include "panel/resource.h"

namespace panel_res {

inline constexpr DWORD kProgControl = WS_CHILD | WS_VISIBLE;
inline constexpr DWORD kProgStop = kProgControl | WS_TABSTOP;
inline constexpr DWORD kProgSpin = kProgControl | UDS_AUTOBUDDY | UDS_ARROWKEYS | UDS_ALIGNRIGHT | UDS_SETBUDDYINT;

inline constexpr DIALOG_RESOURCE kMidiProgDialog = {
    WS_CHILD | WS_CAPTION | DS_SETFONT, 0, 0, 0, 292, 194, "MIDI Programming", 8, "MS Shell Dlg",
    {
        {"STATIC", IDC_PROMPT, "", kProgControl | SS_CENTER, 7, 6, 278, 18},
        {"STATIC", IDC_CONTROL_LABEL, "Control:", kProgControl | SS_LEFT, 14, 30, 30, 8},
        {"STATIC", IDC_CONTROL_NAME, "", kProgControl | SS_LEFT, 46, 30, 100, 8},
        {"STATIC", IDC_BANK_LABEL, "Bank:", kProgControl | SS_LEFT, 150, 30, 24, 8},
        {"STATIC", IDC_BANK_NAME, "", kProgControl | SS_LEFT, 176, 30, 100, 8},
        {"BUTTON", IDC_ACTION_GROUP, "Action", kProgControl | BS_GROUPBOX, 7, 44, 88, 56},
        {"BUTTON", IDC_CONTROLLER_RADIO, "Controller", kProgStop | WS_GROUP | BS_AUTORADIOBUTTON, 14, 56, 76, 10},
        {"BUTTON", IDC_NOTE_RADIO, "Note On/Off", kProgControl | WS_DISABLED | BS_AUTORADIOBUTTON, 14, 70, 76, 10},
        {"BUTTON", IDC_TOGGLED_CONTROLLER_RADIO, "Toggled Controller",
         kProgControl | WS_DISABLED | BS_AUTORADIOBUTTON, 14, 84, 76, 10},
        {"STATIC", IDC_NUMBER_KIND, "Controller", kProgControl | WS_GROUP | SS_LEFT, 104, 48, 60, 8},
        {"EDIT", IDC_NUMBER_EDIT, "", kProgStop | WS_BORDER | ES_AUTOHSCROLL, 104, 60, 32, 12},
        {UPDOWN_CLASSA, IDC_NUMBER_SPIN, "", kProgSpin, 136, 60, 10, 12},
        {"BUTTON", IDC_CHANNEL_GROUP, "Channel", kProgControl | BS_GROUPBOX, 197, 44, 88, 56},
        {"EDIT", IDC_CHANNEL_EDIT, "", kProgStop | WS_BORDER | ES_AUTOHSCROLL, 204, 60, 32, 12},
        {UPDOWN_CLASSA, IDC_CHANNEL_SPIN, "", kProgSpin, 236, 60, 10, 12},
        {"BUTTON", IDC_PORT_GROUP, "Port", kProgControl | BS_GROUPBOX, 7, 106, 278, 32},
        {"BUTTON", IDC_PORT1, "1", kProgStop | WS_GROUP | BS_AUTOCHECKBOX, 14, 120, 30, 10},
        {"BUTTON", IDC_PORT2, "2", kProgStop | BS_AUTOCHECKBOX, 58, 120, 30, 10},
        {"BUTTON", IDC_PORT3, "3", kProgStop | BS_AUTOCHECKBOX, 102, 120, 30, 10},
        {"BUTTON", IDC_PORT4, "4", kProgStop | BS_AUTOCHECKBOX, 146, 120, 30, 10},
        {"BUTTON", IDC_VP1, "VP1", kProgStop | BS_AUTOCHECKBOX, 190, 120, 36, 10},
        {"BUTTON", IDC_VP2, "VP2", kProgStop | BS_AUTOCHECKBOX, 234, 120, 36, 10},
        // Plain statics of the page's frame; they carry no text and show and hide with the controls.
        {"STATIC", IDC_PROG_LABEL1, "", kProgControl | SS_LEFT, 14, 146, 40, 8},
        {"STATIC", IDC_PROG_LABEL2, "", kProgControl | SS_LEFT, 58, 146, 40, 8},
        {"STATIC", IDC_PROG_LABEL3, "", kProgControl | SS_LEFT, 102, 146, 40, 8},
        {"STATIC", IDC_PROG_LABEL4, "", kProgControl | SS_LEFT, 146, 146, 40, 8},
        {"STATIC", IDC_PROG_LABEL5, "", kProgControl | SS_LEFT, 190, 146, 40, 8},
        {"STATIC", IDC_PROG_LABEL6, "", kProgControl | SS_LEFT, 234, 146, 40, 8},
    },
    {},
};

}  // namespace panel_res
