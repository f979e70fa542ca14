// The Settings page's template: protocol and clocking on the left with the latency below them,
// audio options and the unit's versions on the right. The logo is drawn by the page under the
// latency group.
#pragma once

#include <commctrl.h>
#include <winres.h>

#include "panel/resource.h"

namespace panel_res {

namespace settings {
constexpr DWORD kShown = WS_CHILD | WS_VISIBLE;
constexpr DWORD kStop = kShown | WS_TABSTOP;
constexpr DWORD kList = kStop | WS_VSCROLL | CBS_DROPDOWNLIST;
constexpr DWORD kLabel = kShown | SS_LEFT;
constexpr DWORD kGroup = kShown | BS_GROUPBOX;
constexpr WORD kNoId = static_cast<WORD>(IDC_STATIC);
}  // namespace settings

constexpr DIALOG_RESOURCE kMainSettingsDialog = {
    WS_CHILD | WS_CAPTION | DS_SETFONT, 0, 0, 0, 292, 194, "Settings", 8, "MS Shell Dlg",
    {
        {"BUTTON", settings::kNoId, "Control Protocol", settings::kGroup, 7, 4, 136, 30},
        {"COMBOBOX", IDC_PROTOCOL, "", settings::kList, 14, 15, 122, 80},

        {"BUTTON", settings::kNoId, "Clocking", settings::kGroup, 7, 37, 136, 60},
        {"STATIC", settings::kNoId, "Sample Rate", settings::kLabel, 14, 50, 50, 8},
        {"COMBOBOX", IDC_SAMPLE_RATE, "", settings::kList | CBS_SORT, 66, 48, 70, 80},
        {"STATIC", settings::kNoId, "Clock Source", settings::kLabel, 14, 66, 50, 8},
        {"COMBOBOX", IDC_CLOCK_SOURCE, "", settings::kList, 66, 64, 70, 80},
        {"STATIC", IDC_SYNC_STATUS, "", settings::kLabel, 14, 82, 122, 8},

        {"BUTTON", settings::kNoId, "Audio Latency", settings::kGroup, 7, 100, 136, 46},
        {TRACKBAR_CLASSA, IDC_LATENCY, "", settings::kStop | TBS_AUTOTICKS, 12, 110, 126, 18},
        {"STATIC", settings::kNoId, "32", settings::kShown | SS_CENTER, 8, 130, 20, 8},
        {"STATIC", settings::kNoId, "64", settings::kShown | SS_CENTER, 27, 130, 20, 8},
        {"STATIC", settings::kNoId, "128", settings::kShown | SS_CENTER, 46, 130, 20, 8},
        {"STATIC", settings::kNoId, "256", settings::kShown | SS_CENTER, 65, 130, 20, 8},
        {"STATIC", settings::kNoId, "512", settings::kShown | SS_CENTER, 84, 130, 20, 8},
        {"STATIC", settings::kNoId, "1024", settings::kShown | SS_CENTER, 103, 130, 20, 8},
        {"STATIC", settings::kNoId, "2048", settings::kShown | SS_CENTER, 122, 130, 20, 8},

        {"BUTTON", settings::kNoId, "Audio", settings::kGroup, 150, 4, 135, 98},
        {"BUTTON", IDC_MASTER_FADER_GAIN, "Master Fader Affects ANLG 1:2 Gain", settings::kStop | BS_AUTOCHECKBOX, 157, 16,
         124, 10},
        {"STATIC", settings::kNoId, "OVR Threshold (dBFS)", settings::kLabel, 157, 34, 80, 8},
        {"EDIT", IDC_OVR_EDIT, "", settings::kStop | WS_BORDER | ES_AUTOHSCROLL | ES_READONLY, 240, 32, 28, 12},
        {UPDOWN_CLASSA, IDC_OVR_SPIN, "", settings::kShown | UDS_AUTOBUDDY | UDS_ARROWKEYS | UDS_ALIGNRIGHT, 268, 32,
         10, 12},
        {"STATIC", settings::kNoId, "Audio Monitoring", settings::kLabel, 157, 52, 124, 8},
        {"COMBOBOX", IDC_MONITORING, "", settings::kList | CBS_SORT, 157, 62, 124, 80},
        {"BUTTON", IDC_CONVERTER_DELAY, "Compensate for Converter Delays (WDM)", settings::kStop | BS_AUTOCHECKBOX, 157,
         82, 126, 10},

        {"BUTTON", IDC_VERSION_GROUP, "Unit Versions", WS_CHILD | BS_GROUPBOX, 150, 108, 88, 56},
        {"STATIC", IDC_REGISTER_VERSION, "Register:", WS_CHILD | SS_LEFT, 157, 120, 76, 8},
        {"STATIC", IDC_ARM_VERSION, "ARM:", WS_CHILD | SS_LEFT, 157, 130, 76, 8},
        {"STATIC", IDC_HARDWARE_VERSION, "Hardware:", WS_CHILD | SS_LEFT, 157, 140, 76, 8},
        {"STATIC", IDC_FPGA_VERSION, "FPGA:", WS_CHILD | SS_LEFT, 157, 150, 76, 8},
        {"STATIC", settings::kNoId, "Version 1.70", settings::kLabel, 150, 172, 88, 8},
        {"STATIC", settings::kNoId, IDB_FIREWIRE_LOGO, settings::kShown | SS_BITMAP, 246, 112, 0, 0},
    },
    {
        {IDC_PROTOCOL, {"QX-5310 Native", "Mackie Control Emulation", "HUI Emulation"}},
        {IDC_SAMPLE_RATE, {"44.1 kHz", "48.0 kHz", "88.2 kHz", "96.0 kHz"}},
        {IDC_CLOCK_SOURCE, {"Internal", "Digital In ADAT", "Digital In SPDIF", "Word Clock"}},
        {IDC_MONITORING,
         {"Monitor Level Affects Analog 1:2", "Monitor Level Affects Analog 1:6", "Monitor Level Affects Analog 1:8"}},
    },
};

}  // namespace panel_res
