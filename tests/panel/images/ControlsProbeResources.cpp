// The controls probe's resources: its caption and its one page.
#include <winres.h>

#include "tests/panel/images/ControlsProbe.h"

namespace {

constexpr DWORD kControl = WS_CHILD | WS_VISIBLE;
constexpr DWORD kEdit = kControl | WS_TABSTOP | WS_BORDER | ES_AUTOHSCROLL;

constexpr DIALOG_RESOURCE kPage = {
    WS_CHILD | WS_CAPTION | DS_SETFONT, 0, 0, 0, 240, 150, "Controls", 8, "MS Shell Dlg",
    {
        {"EDIT", probe::kFirstEdit, "", kEdit, 10, 10, 40, 12},
        {"EDIT", probe::kPlainEdit, "", kEdit, 60, 10, 40, 12},
        {"EDIT", probe::kSecondEdit, "", kEdit, 110, 10, 40, 12},
        {"STATIC", probe::kFirstLink + 0, "Left link", kControl | SS_LEFT, 10, 40, 100, 20},
        {"STATIC", probe::kFirstLink + 1, "Centred link", kControl | SS_CENTER, 10, 70, 100, 20},
        {"STATIC", probe::kFirstLink + 2, "Right link", kControl | SS_RIGHT, 10, 100, 100, 20},
        {"STATIC", probe::kFirstLink + 3, "Left link", kControl | SS_LEFT | SS_CENTERIMAGE, 120, 40, 100, 20},
        {"STATIC", probe::kFirstLink + 4, "Centred link", kControl | SS_CENTER | SS_CENTERIMAGE, 120, 70, 100, 20},
        {"STATIC", probe::kFirstLink + 5, "Right link", kControl | SS_RIGHT | SS_CENTERIMAGE, 120, 100, 100, 20},
    },
    {},
};

constexpr RESOURCE_ENTRY kResources[] = {
    StringResource(probe::kSheetCaption, "Controls Probe"),
    DialogResource(probe::kPage, kPage),
};

}  // namespace

extern "C" const RESOURCE_DIRECTORY ImageResources = ResourceDirectory(kResources);
