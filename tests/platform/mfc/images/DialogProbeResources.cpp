// The dialog probe's resources: its title, the sheet's captions, three pages (the first with a
// combo list of its template) and a dialog with one of its own and initialisation data adding to it. A combo box's height includes its
// list, so nothing lies below one.
#include <winres.h>

#include "tests/platform/mfc/images/DialogProbeIds.h"

namespace {

using namespace dlgprobe;

constexpr DWORD kControl = WS_CHILD | WS_VISIBLE;
constexpr DWORD kStop = kControl | WS_TABSTOP;

constexpr DIALOG_RESOURCE kFirst = {
    WS_CHILD | WS_CAPTION | DS_SETFONT, 0, 0, 0, 200, 120, "First", 8, "MS Shell Dlg",
    {
        {"EDIT", kText, "", kStop | WS_BORDER | ES_AUTOHSCROLL, 7, 7, 100, 12},
        {"COMBOBOX", kChoice, "", kStop | WS_VSCROLL | CBS_DROPDOWNLIST, 120, 50, 70, 60},
        {"BUTTON", kCheck, "Check", kStop | BS_AUTOCHECKBOX, 7, 25, 60, 10},
        {"BUTTON", kAct, "Act", kStop | BS_PUSHBUTTON, 120, 7, 50, 14},
        {"BUTTON", kAsk, "Ask", kStop | BS_PUSHBUTTON, 120, 25, 50, 14},
        {"EDIT", kShort, "", kStop | WS_BORDER | ES_AUTOHSCROLL, 7, 40, 100, 12},
    },
    {
        {kChoice, {"Alpha", "Beta", "Gamma"}},
    },
};

constexpr DIALOG_RESOURCE kSecond = {
    WS_CHILD | WS_CAPTION | DS_SETFONT, 0, 0, 0, 200, 120, "Second", 8, "MS Shell Dlg",
    {
        {"EDIT", kSecondEdit, "", kStop | WS_BORDER | ES_AUTOHSCROLL, 7, 7, 100, 12},
    },
    {},
};

constexpr DIALOG_RESOURCE kThird = {
    WS_CHILD | WS_CAPTION | DS_SETFONT, 0, 0, 0, 200, 120, "Third", 8, "MS Shell Dlg",
    {
        {"STATIC", 0xFFFF, "Nothing here", kControl | SS_LEFT, 7, 7, 100, 8},
    },
    {},
};

constexpr DIALOG_RESOURCE kProbeDialog = {
    WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT, 0, 20, 20, 180, 90, "Probe Dialog", 8,
    "MS Shell Dlg",
    {
        {"EDIT", kText, "", kStop | WS_BORDER | ES_AUTOHSCROLL, 7, 7, 100, 12},
        {"COMBOBOX", kChoice, "", kStop | WS_VSCROLL | CBS_DROPDOWNLIST, 7, 25, 100, 60},
        {"BUTTON", kCheck, "Check", kStop | BS_AUTOCHECKBOX, 120, 45, 55, 10},
        {"BUTTON", IDOK, "OK", kStop | BS_DEFPUSHBUTTON, 120, 7, 50, 14},
        {"BUTTON", IDCANCEL, "Cancel", kStop | BS_PUSHBUTTON, 120, 25, 50, 14},
    },
    {
        {kChoice, {"Red", "Green"}},
    },
};

// The dialog's initialisation data, kept apart from its template: one more string for its combo box,
// as (control, 16-bit CB_ADDSTRING, length, text), then a 0 control id.
constexpr unsigned char kDialogInit[] = {
    kChoice & 0xFF, kChoice >> 8, 0x03, 0x04, 5, 0, 0, 0, 'B', 'l', 'u', 'e', 0, 0, 0,
};

constexpr RESOURCE_ENTRY kResources[] = {
    StringResource(kAppTitle, "Dialog Probe"),
    StringResource(kSheetCaption, "Probe Sheet"),
    StringResource(kTwinCaption, "Twin"),
    DialogResource(kFirstPage, kFirst),
    DialogResource(kSecondPage, kSecond),
    DialogResource(kThirdPage, kThird),
    DialogResource(kDialog, kProbeDialog),
    {240, kDialog, kDialogInit, sizeof kDialogInit},
};

}  // namespace

extern "C" const RESOURCE_DIRECTORY ImageResources = ResourceDirectory(kResources);
