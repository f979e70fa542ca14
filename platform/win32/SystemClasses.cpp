// The system classes every process finds by name: the predefined controls, the common controls and
// the dialog class.
#include <memory>

#include "platform/win32/Controls.h"
#include "platform/win32/Desktop.h"

namespace plat::win32 {
namespace {

struct SystemClass {
  const char* name;
  WNDPROC proc;
  UINT style;
  int windowExtra;  // a dialog's words; a control's state is its record
  int cursor;  // an IDC_* ordinal
  int background;  // a COLOR_* index + 1, or 0
};

const SystemClass kSystemClasses[] = {
    {"Button", ButtonProc, CS_DBLCLKS | CS_PARENTDC | CS_HREDRAW | CS_VREDRAW, 0, 32512, 0},
    {"Static", StaticProc, CS_DBLCLKS | CS_PARENTDC, 0, 32512, 0},
    {"Edit", EditProc, CS_DBLCLKS | CS_PARENTDC, 0, 32513, 0},
    {"ComboBox", ComboBoxProc, CS_DBLCLKS | CS_PARENTDC | CS_HREDRAW | CS_VREDRAW, 0, 32512, 0},
    {"ComboLBox", ComboListProc, CS_DBLCLKS | CS_SAVEBITS, 0, 32512, COLOR_WINDOW + 1},
    {UPDOWN_CLASSA, UpDownProc, CS_HREDRAW | CS_VREDRAW, 0, 32512, 0},
    {TRACKBAR_CLASSA, TrackbarProc, CS_GLOBALCLASS, 0, 32512, 0},
    {TOOLTIPS_CLASSA, TooltipProc, CS_DBLCLKS | CS_SAVEBITS, 0, 32512, COLOR_INFOBK + 1},
    {WC_TABCONTROLA, TabControlProc, CS_DBLCLKS | CS_GLOBALCLASS, 0, 32512, 0},
    {"#32770", DialogClassProc, CS_DBLCLKS | CS_SAVEBITS, DLGWINDOWEXTRA, 32512, COLOR_3DFACE + 1},
};

}  // namespace

void RegisterSystemClasses(Desktop& desktop) {
  for (const SystemClass& sc : kSystemClasses) {
    auto cls = std::make_shared<WindowClass>();
    cls->name = sc.name;
    cls->style = sc.style;
    cls->proc = sc.proc;
    cls->windowExtra = sc.windowExtra;
    cls->cursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(sc.cursor));
    cls->background = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(sc.background));
    cls->processId = 0;
    desktop.AddClass(std::move(cls));
  }
}

LRESULT NotifyParent(HWND control, WORD code) {
  HWND parent = GetParent(control);
  if (parent == nullptr) return 0;
  return SendMessageA(parent, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(GetDlgCtrlID(control)), code),
                      reinterpret_cast<LPARAM>(control));
}

LRESULT NotifyParent(HWND control, UINT code, NMHDR* header) {
  HWND parent = GetParent(control);
  if (parent == nullptr) return 0;
  header->hwndFrom = control;
  header->idFrom = static_cast<UINT_PTR>(GetDlgCtrlID(control));
  header->code = code;
  return SendMessageA(parent, WM_NOTIFY, header->idFrom, reinterpret_cast<LPARAM>(header));
}

void* StateRecord(HWND hwnd) {
  Window* w = Desktop::Get().Find(hwnd);
  return w != nullptr ? w->state.get() : nullptr;
}

void SetStateRecord(HWND hwnd, std::shared_ptr<void> state) {
  if (Window* w = Desktop::Get().Find(hwnd)) w->state = std::move(state);
}

std::string TextOf(HWND hwnd) {
  std::string s(static_cast<size_t>(GetWindowTextLengthA(hwnd)) + 1, '\0');
  s.resize(static_cast<size_t>(GetWindowTextA(hwnd, s.data(), static_cast<int>(s.size()))));
  return s;
}

}  // namespace plat::win32
