// The Routing page's template: the three lists on top; below them the sources, the picture of the
// connectors and the destinations side by side. The picture sits where the page's connector points
// fall on its connectors.
#pragma once

#include <winres.h>

#include "panel/resource.h"

namespace panel_res {

namespace routing {
constexpr DWORD kShown = WS_CHILD | WS_VISIBLE;
constexpr DWORD kList = kShown | WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST;
constexpr DWORD kHeading = kShown | SS_CENTER | SS_CENTERIMAGE;
constexpr WORD kNoId = static_cast<WORD>(IDC_STATIC);
}  // namespace routing

constexpr DIALOG_RESOURCE kRoutingPageDialog = {
    WS_CHILD | WS_CAPTION | DS_SETFONT, 0, 0, 0, 292, 194, "Routing", 8, "MS Shell Dlg",
    {
        {"STATIC", routing::kNoId, "Optical Output Source", routing::kShown | SS_LEFT, 7, 6, 88, 8},
        {"COMBOBOX", IDC_OPTICAL_OUT_SOURCE, "", routing::kList, 7, 16, 88, 80},
        {"STATIC", routing::kNoId, "Coax Output Source", routing::kShown | SS_LEFT, 101, 6, 88, 8},
        {"COMBOBOX", IDC_COAX_OUT_SOURCE, "", routing::kList, 101, 16, 88, 60},
        {"STATIC", routing::kNoId, "SPDIF Input Routing", routing::kShown | SS_LEFT, 195, 6, 90, 8},
        {"COMBOBOX", IDC_SPDIF_IN_ROUTING, "", routing::kList, 195, 16, 90, 60},

        {"STATIC", IDC_FROM_LABEL, "From", routing::kShown | SS_CENTER, 3, 46, 60, 10},
        {"STATIC", IDC_DAW_OUTPUTS, "DAW Outputs", routing::kHeading, 3, 56, 60, 14},
        {"STATIC", IDC_TO_LABEL, "To", routing::kShown | SS_CENTER, 232, 46, 57, 10},
        {"STATIC", IDC_DAW_INPUTS, "DAW Inputs", routing::kHeading, 232, 56, 57, 14},

        {"STATIC", IDC_SOURCE_SPDIF, "SPDIF 1:2", routing::kShown | SS_RIGHT, 5, 84, 53, 10},
        {"STATIC", IDC_SOURCE_ADAT, "ADAT 1:8", routing::kShown | SS_RIGHT, 5, 100, 53, 10},
        {"STATIC", IDC_SOURCE_ANLG12, "ANLG 1:2", routing::kShown | SS_RIGHT, 5, 116, 53, 10},
        {"STATIC", IDC_SOURCE_ANLG18, "ANLG 1:8", routing::kShown | SS_RIGHT, 5, 132, 53, 10},
        {"STATIC", IDC_SOURCE_ANALOG_INPUTS, "Analog Inputs", routing::kShown | SS_RIGHT, 5, 148, 53, 10},
        {"STATIC", IDC_DEST_SPDIF, "SPDIF 1:2", routing::kShown | SS_LEFT, 252, 104, 36, 10},
        {"STATIC", IDC_DEST_ADAT, "ADAT 1:8", routing::kShown | SS_LEFT, 252, 124, 36, 10},

        {"STATIC", IDC_CONNECTOR_PICTURE, IDB_CONNECTORS, routing::kShown | SS_BITMAP | SS_REALSIZEIMAGE, 64, 80, 0, 0},
    },
    {
        {IDC_OPTICAL_OUT_SOURCE,
         {"ADAT 1:8 (ADAT)", "Analog Outputs 1:8", "Duplicate of Coax Output (TOS)", "Analog Inputs 1:8"}},
        {IDC_COAX_OUT_SOURCE, {"SPDIF 1:2", "Duplicate of ANLG 1:2"}},
        {IDC_SPDIF_IN_ROUTING, {"Coax to SPDIF 1:2", "Optical to SPDIF 1:2"}},
    },
};

}  // namespace panel_res
