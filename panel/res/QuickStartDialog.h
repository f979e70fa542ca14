// The Quick Start page's template (109): nine input pairs and nine output pairs.
#pragma once

#include <winres.h>

#include "panel/resource.h"

namespace panel_res {

inline constexpr DWORD kQuickControl = WS_CHILD | WS_VISIBLE;
inline constexpr DWORD kQuickCheck = kQuickControl | WS_TABSTOP | BS_AUTOCHECKBOX;

inline constexpr DIALOG_RESOURCE kQuickStartDialog = {
    WS_CHILD | WS_CAPTION | DS_SETFONT, 0, 0, 0, 292, 194, "Quick Start", 8, "MS Shell Dlg",
    {
        {"STATIC", IDC_QUICK_START_HINT,
         "Enable a channel-pair's associated checkbox to make those channels stream continuously.",
         kQuickControl | SS_LEFT, 7, 6, 278, 18},
        {"BUTTON", 0xFFFF, "Inputs", kQuickControl | BS_GROUPBOX, 7, 28, 136, 120},
        {"BUTTON", IDC_INPUT_PAIR_FIRST + 0, "Analog 1:2", kQuickCheck, 14, 40, 120, 10},
        {"BUTTON", IDC_INPUT_PAIR_FIRST + 1, "Analog 3:4", kQuickCheck, 14, 52, 120, 10},
        {"BUTTON", IDC_INPUT_PAIR_FIRST + 2, "Analog 5:6", kQuickCheck, 14, 64, 120, 10},
        {"BUTTON", IDC_INPUT_PAIR_FIRST + 3, "Analog 7:8", kQuickCheck, 14, 76, 120, 10},
        {"BUTTON", IDC_INPUT_PAIR_FIRST + 4, "ADAT 1:2", kQuickCheck, 14, 88, 120, 10},
        {"BUTTON", IDC_INPUT_PAIR_FIRST + 5, "ADAT 3:4", kQuickCheck, 14, 100, 120, 10},
        {"BUTTON", IDC_INPUT_PAIR_FIRST + 6, "ADAT 5:6", kQuickCheck, 14, 112, 120, 10},
        {"BUTTON", IDC_INPUT_PAIR_FIRST + 7, "ADAT 7:8", kQuickCheck, 14, 124, 120, 10},
        {"BUTTON", IDC_INPUT_PAIR_FIRST + 8, "SPDIF 1:2", kQuickCheck, 14, 136, 120, 10},
        {"BUTTON", 0xFFFF, "Outputs", kQuickControl | BS_GROUPBOX, 149, 28, 136, 120},
        {"BUTTON", IDC_OUTPUT_PAIR_FIRST + 0, "Analog 1:2", kQuickCheck, 156, 40, 120, 10},
        {"BUTTON", IDC_OUTPUT_PAIR_FIRST + 1, "Analog 3:4", kQuickCheck, 156, 52, 120, 10},
        {"BUTTON", IDC_OUTPUT_PAIR_FIRST + 2, "Analog 5:6", kQuickCheck, 156, 64, 120, 10},
        {"BUTTON", IDC_OUTPUT_PAIR_FIRST + 3, "Analog 7:8", kQuickCheck, 156, 76, 120, 10},
        {"BUTTON", IDC_OUTPUT_PAIR_FIRST + 4, "ADAT 1:2", kQuickCheck, 156, 88, 120, 10},
        {"BUTTON", IDC_OUTPUT_PAIR_FIRST + 5, "ADAT 3:4", kQuickCheck, 156, 100, 120, 10},
        {"BUTTON", IDC_OUTPUT_PAIR_FIRST + 6, "ADAT 5:6", kQuickCheck, 156, 112, 120, 10},
        {"BUTTON", IDC_OUTPUT_PAIR_FIRST + 7, "ADAT 7:8", kQuickCheck, 156, 124, 120, 10},
        {"BUTTON", IDC_OUTPUT_PAIR_FIRST + 8, "SPDIF 1:2", kQuickCheck, 156, 136, 120, 10},
        {"STATIC", 0xFFFF,
         "If all of the channels used by your WDM application are enabled, playback and record operations will "
         "begin more quickly. However, each enabled channel consumes additional resources and 1394 bandwidth.",
         kQuickControl | SS_LEFT, 7, 154, 278, 34},
    },
    {},
};

}  // namespace panel_res
