// The Settings page's template (106).
#pragma once

#include <commctrl.h>
#include <winres.h>

#include "panel/resource.h"

namespace panel_res {

inline constexpr DWORD kSettingsControl = WS_CHILD | WS_VISIBLE;
inline constexpr DWORD kSettingsStop = kSettingsControl | WS_TABSTOP;
inline constexpr DWORD kSettingsList = kSettingsStop | WS_VSCROLL | CBS_DROPDOWNLIST;

inline constexpr DIALOG_RESOURCE kMainSettingsDialog = {
    WS_CHILD | WS_CAPTION | DS_SETFONT, 0, 0, 0, 292, 194, "Settings", 8, "MS Shell Dlg",
    {
        {"BUTTON", 0xFFFF, "Control Protocol", kSettingsControl | BS_GROUPBOX, 7, 4, 118, 30},
        {"COMBOBOX", IDC_PROTOCOL, "", kSettingsList, 13, 15, 106, 80},
        {"BUTTON", 0xFFFF, "Clocking", kSettingsControl | BS_GROUPBOX, 7, 38, 118, 72},
        {"STATIC", 0xFFFF, "Sample Rate", kSettingsControl | SS_LEFT, 13, 49, 100, 8},
        {"COMBOBOX", IDC_SAMPLE_RATE, "", kSettingsList | CBS_SORT, 13, 58, 106, 60},
        {"STATIC", 0xFFFF, "Clock Source", kSettingsControl | SS_LEFT, 13, 74, 100, 8},
        {"COMBOBOX", IDC_CLOCK_SOURCE, "", kSettingsList, 13, 83, 106, 60},
        {"STATIC", IDC_SYNC_STATUS, "", kSettingsControl | SS_LEFT, 13, 98, 100, 8},
        {"BUTTON", 0xFFFF, "Audio Latency", kSettingsControl | BS_GROUPBOX, 7, 114, 118, 44},
        {TRACKBAR_CLASSA, IDC_LATENCY, "", kSettingsStop | TBS_AUTOTICKS, 11, 124, 110, 16},
        {"STATIC", 0xFFFF, "32", kSettingsControl | SS_CENTER, 11, 142, 14, 8},
        {"STATIC", 0xFFFF, "64", kSettingsControl | SS_CENTER, 26, 142, 14, 8},
        {"STATIC", 0xFFFF, "128", kSettingsControl | SS_CENTER, 41, 142, 14, 8},
        {"STATIC", 0xFFFF, "256", kSettingsControl | SS_CENTER, 57, 142, 14, 8},
        {"STATIC", 0xFFFF, "512", kSettingsControl | SS_CENTER, 72, 142, 14, 8},
        {"STATIC", 0xFFFF, "1024", kSettingsControl | SS_CENTER, 87, 142, 17, 8},
        {"STATIC", 0xFFFF, "2048", kSettingsControl | SS_CENTER, 104, 142, 17, 8},
        {"BUTTON", 0xFFFF, "Audio", kSettingsControl | BS_GROUPBOX, 130, 4, 115, 106},
        {"BUTTON", IDC_MASTER_FADER_GAIN, "Master Fader Affects ANLG 1:2 Gain",
         kSettingsStop | BS_AUTOCHECKBOX | BS_MULTILINE, 136, 14, 104, 18},
        {"STATIC", 0xFFFF, "OVR Threshold (dBFS)", kSettingsControl | SS_LEFT, 136, 36, 104, 8},
        {"EDIT", IDC_OVR_EDIT, "", kSettingsStop | WS_BORDER | ES_READONLY, 136, 46, 36, 12},
        {UPDOWN_CLASSA, IDC_OVR_SPIN, "", kSettingsControl | UDS_AUTOBUDDY | UDS_ARROWKEYS | UDS_ALIGNRIGHT, 172, 46,
         10, 12},
        {"STATIC", 0xFFFF, "Audio Monitoring", kSettingsControl | SS_LEFT, 136, 62, 104, 8},
        {"COMBOBOX", IDC_MONITORING, "", kSettingsList | CBS_SORT, 136, 71, 104, 60},
        {"BUTTON", IDC_CONVERTER_DELAY, "Compensate for Converter Delays (WDM)",
         kSettingsStop | BS_AUTOCHECKBOX | BS_MULTILINE, 136, 88, 104, 18},
        {"BUTTON", IDC_VERSION_GROUP, "Unit Versions", WS_CHILD | BS_GROUPBOX, 130, 114, 115, 44},
        {"STATIC", IDC_REGISTER_VERSION, "Register:", WS_CHILD | SS_LEFT, 136, 124, 52, 8},
        {"STATIC", IDC_ARM_VERSION, "ARM:", WS_CHILD | SS_LEFT, 190, 124, 52, 8},
        {"STATIC", IDC_HARDWARE_VERSION, "Hardware:", WS_CHILD | SS_LEFT, 136, 138, 52, 8},
        {"STATIC", IDC_FPGA_VERSION, "FPGA:", WS_CHILD | SS_LEFT, 190, 138, 52, 8},
        {"STATIC", 0xFFFF, "Version 1.70", kSettingsControl | SS_LEFT, 160, 176, 50, 8},
        {"STATIC", 0xFFFF, IDB_FIREWIRE_LOGO, kSettingsControl | SS_BITMAP, 215, 160, 0, 0},
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
