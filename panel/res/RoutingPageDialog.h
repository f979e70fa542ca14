// The Routing page's template (107). The connector points of the picture are fixed in dialog units
// by the page; the picture sits so that they fall on its connectors.
#pragma once

#include <winres.h>

#include "panel/resource.h"

namespace panel_res {

inline constexpr DWORD kRoutingControl = WS_CHILD | WS_VISIBLE;
inline constexpr DWORD kRoutingList = kRoutingControl | WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST;

inline constexpr DIALOG_RESOURCE kRoutingPageDialog = {
    WS_CHILD | WS_CAPTION | DS_SETFONT, 0, 0, 0, 292, 194, "Routing", 8, "MS Shell Dlg",
    {
        {"STATIC", 0xFFFF, "Optical Output Source", kRoutingControl | SS_LEFT, 7, 4, 88, 8},
        {"COMBOBOX", IDC_OPTICAL_OUT_SOURCE, "", kRoutingList, 7, 13, 88, 60},
        {"STATIC", 0xFFFF, "Coax Output Source", kRoutingControl | SS_LEFT, 102, 4, 88, 8},
        {"COMBOBOX", IDC_COAX_OUT_SOURCE, "", kRoutingList, 102, 13, 88, 40},
        {"STATIC", 0xFFFF, "SPDIF Input Routing", kRoutingControl | SS_LEFT, 197, 4, 88, 8},
        {"COMBOBOX", IDC_SPDIF_IN_ROUTING, "", kRoutingList, 197, 13, 88, 40},
        {"STATIC", IDC_DAW_OUTPUTS, "DAW Outputs", kRoutingControl | SS_CENTER | SS_CENTERIMAGE, 4, 34, 50, 16},
        {"STATIC", IDC_DAW_INPUTS, "DAW Inputs", kRoutingControl | SS_CENTER | SS_CENTERIMAGE, 238, 34, 50, 16},
        {"STATIC", IDC_FROM_LABEL, "From", kRoutingControl | SS_CENTER, 4, 52, 50, 10},
        {"STATIC", IDC_TO_LABEL, "To", kRoutingControl | SS_CENTER, 238, 52, 50, 10},
        {"STATIC", IDC_SOURCE_SPDIF, "SPDIF 1:2", kRoutingControl | SS_LEFT, 7, 86, 36, 8},
        {"STATIC", IDC_SOURCE_ADAT, "ADAT 1:8", kRoutingControl | SS_LEFT, 7, 102, 36, 8},
        {"STATIC", IDC_SOURCE_ANLG12, "ANLG 1:2", kRoutingControl | SS_LEFT, 7, 118, 36, 8},
        {"STATIC", IDC_SOURCE_ANLG18, "ANLG 1:8", kRoutingControl | SS_LEFT, 7, 134, 36, 8},
        {"STATIC", IDC_SOURCE_ANALOG_INPUTS, "Analog Inputs", kRoutingControl | SS_LEFT, 7, 150, 46, 8},
        {"STATIC", IDC_DEST_SPDIF, "SPDIF 1:2", kRoutingControl | SS_RIGHT, 250, 110, 36, 8},
        {"STATIC", IDC_DEST_ADAT, "ADAT 1:8", kRoutingControl | SS_RIGHT, 250, 126, 36, 8},
        {"STATIC", IDC_CONNECTOR_PICTURE, IDB_CONNECTORS, kRoutingControl | SS_BITMAP | SS_REALSIZEIMAGE, 60, 80,
         0, 0},
    },
    {
        {IDC_OPTICAL_OUT_SOURCE,
         {"ADAT 1:8 (ADAT)", "Analog Outputs 1:8", "Duplicate of Coax Output (TOS)", "Analog Inputs 1:8"}},
        {IDC_COAX_OUT_SOURCE, {"SPDIF 1:2", "Duplicate of ANLG 1:2"}},
        {IDC_SPDIF_IN_ROUTING, {"Coax to SPDIF 1:2", "Optical to SPDIF 1:2"}},
    },
};

}  // namespace panel_res
