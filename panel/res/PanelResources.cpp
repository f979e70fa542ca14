// The panel image's resources: its caption and title, its icon, the pictures of its pages and the
// five page templates.
#include <afxres.h>
#include <winres.h>

#include "panel/res/KR6Dialog.h"
#include "panel/res/MainSettingsDialog.h"
#include "panel/res/MidiProgDialog.h"
#include "panel/res/QuickStartDialog.h"
#include "panel/res/RoutingPageDialog.h"
#include "connectors.bmp.h"
#include "firewire.bmp.h"
#include "logo.bmp.h"
#include "panel.ico.h"
#include "panel/resource.h"

namespace {

constexpr char kTitle[] = "QX-5310 Control Panel";

constexpr RESOURCE_ENTRY kResources[] = {
    StringResource(IDS_PANEL_CAPTION, kTitle),
    StringResource(AFX_IDS_APP_TITLE, kTitle),
    IconResource(IDI_PANEL, panel_ico),
    BitmapResource(IDB_FIREWIRE_LOGO, firewire_bmp),
    BitmapResource(IDB_CONNECTORS, connectors_bmp),
    BitmapResource(IDB_LOGO, logo_bmp),
    DialogResource(IDD_MAIN_SETTINGS, panel_res::kMainSettingsDialog),
    DialogResource(IDD_ROUTING, panel_res::kRoutingPageDialog),
    DialogResource(IDD_MIDI_PROG, panel_res::kMidiProgDialog),
    DialogResource(IDD_QUICK_START, panel_res::kQuickStartDialog),
    DialogResource(IDD_KR6, panel_res::kKR6Dialog),
};

}  // namespace

extern "C" const RESOURCE_DIRECTORY ImageResources = ResourceDirectory(kResources);
