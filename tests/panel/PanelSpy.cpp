#include "tests/panel/PanelSpy.h"

#include <commctrl.h>
#include <windows.h>

#include <cstring>

namespace ptest {
namespace {

struct Search {
  const char* caption;
  bool visibleOnly;
  HWND found;
};

BOOL CALLBACK FindTopLevel(HWND hwnd, LPARAM lParam) {
  auto* s = reinterpret_cast<Search*>(lParam);
  char text[256];
  GetWindowTextA(hwnd, text, sizeof text);
  if (std::strcmp(text, s->caption) != 0 || (s->visibleOnly && !IsWindowVisible(hwnd))) return TRUE;
  s->found = hwnd;
  return FALSE;
}

HWND TopLevel(const std::string& caption) {
  for (bool visibleOnly : {true, false}) {
    Search s{caption.c_str(), visibleOnly, nullptr};
    EnumWindows(FindTopLevel, reinterpret_cast<LPARAM>(&s));
    if (s.found != nullptr) return s.found;
  }
  return nullptr;
}

// A direct child dialog captioned `caption`: a page of the sheet.
HWND Page(HWND sheet, const std::string& caption) {
  for (HWND child = GetWindow(sheet, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
    char text[256];
    GetWindowTextA(child, text, sizeof text);
    if (caption == text) return child;
  }
  return nullptr;
}

std::string ClassOf(HWND hwnd) {
  char name[64];
  GetClassNameA(hwnd, name, sizeof name);
  return name;
}

}  // namespace

Spy::Spy(ctest::Runner run) : program_(std::make_unique<ctest::Program>(std::move(run))) {}

SheetState Spy::Sheet(const std::string& caption) {
  SheetState state;
  program_->Do([&] {
    HWND sheet = TopLevel(caption);
    if (sheet == nullptr) return;
    state.found = true;
    state.visible = IsWindowVisible(sheet) != FALSE;
    state.iconic = IsIconic(sheet) != FALSE;
    state.zoomed = IsZoomed(sheet) != FALSE;
    state.foreground = GetForegroundWindow() == sheet;
    RECT client{};
    GetClientRect(sheet, &client);
    state.clientWidth = client.right;
    auto page = reinterpret_cast<HWND>(SendMessageA(sheet, PSM_GETCURRENTPAGEHWND, 0, 0));
    char text[256] = "";
    if (page != nullptr) GetWindowTextA(page, text, sizeof text);
    state.page = text;
  });
  return state;
}

ControlState Spy::Control(const std::string& page, int id, const std::string& caption) {
  ControlState state;
  program_->Do([&] {
    HWND sheet = TopLevel(caption);
    HWND dialog = sheet != nullptr ? Page(sheet, page) : nullptr;
    HWND control = dialog != nullptr ? GetDlgItem(dialog, id) : nullptr;
    if (control == nullptr) return;
    state.found = true;
    state.visible = IsWindowVisible(control) != FALSE;
    state.enabled = IsWindowEnabled(control) != FALSE;
    char text[512] = "";
    GetWindowTextA(control, text, sizeof text);
    state.text = text;
    const std::string kind = ClassOf(control);
    if (kind == "Button") state.check = SendMessageA(control, BM_GETCHECK, 0, 0);
    if (kind == TRACKBAR_CLASSA) state.position = SendMessageA(control, TBM_GETPOS, 0, 0);
    if (kind == UPDOWN_CLASSA) state.position = LOWORD(SendMessageA(control, UDM_GETPOS, 0, 0));
  });
  return state;
}

Spy::Rect Spy::TabRect(int index, const std::string& caption) {
  Rect rect{};
  program_->Do([&] {
    HWND sheet = TopLevel(caption);
    if (sheet == nullptr) return;
    auto tab = reinterpret_cast<HWND>(SendMessageA(sheet, PSM_GETTABCONTROL, 0, 0));
    RECT r{};
    if (tab != nullptr && SendMessageA(tab, TCM_GETITEMRECT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&r)))
      rect = {r.left, r.top, r.right, r.bottom};
  });
  return rect;
}

void Spy::Minimise(const std::string& caption) {
  program_->Do([&] {
    if (HWND sheet = TopLevel(caption)) ShowWindow(sheet, SW_MINIMIZE);
  });
}

void Spy::Show(const std::string& caption) {
  program_->Do([&] {
    if (HWND sheet = TopLevel(caption)) ShowWindow(sheet, SW_SHOW);
  });
}

void Spy::SetClassesDefault(const std::string& key, const std::string& bytes) {
  program_->Do([&] {
    HKEY opened = nullptr;
    if (RegCreateKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &opened, nullptr) !=
        ERROR_SUCCESS)
      return;
    RegSetValueExA(opened, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(bytes.data()),
                   static_cast<DWORD>(bytes.size()));
    RegCloseKey(opened);
  });
}

std::string Spy::MessageBoxText(const std::string& caption) {
  std::string text;
  program_->Do([&] {
    HWND box = TopLevel(caption);
    if (box == nullptr) return;
    // The box's text is its static (id 0xFFFF).
    for (HWND child = GetWindow(box, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
      if (ClassOf(child) != "Static") continue;
      char line[512];
      GetWindowTextA(child, line, sizeof line);
      if (line[0] != '\0') text = line;
    }
  });
  return text;
}

struct OtherProgram::State {
  bool quit = false;
  HANDLE mutex = nullptr;
};

namespace {

LRESULT CALLBACK AnswersSeven(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message >= 0xC000 && message <= 0xFFFF) return 7;
  return DefWindowProcA(hwnd, message, wParam, lParam);
}

HWND Window(const char* className, WNDPROC proc) {
  WNDCLASSA wc{};
  wc.lpfnWndProc = proc;
  wc.lpszClassName = className;
  RegisterClassA(&wc);
  return CreateWindowExA(0, className, className, WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10, 10, 200, 100, nullptr, nullptr,
                         nullptr, nullptr);
}

DWORD WINAPI AnsweringThread(LPVOID parameter) {
  auto* state = static_cast<OtherProgram::State*>(parameter);
  Window("Answers seven", AnswersSeven);
  MSG msg;
  while (!state->quit && GetMessageA(&msg, nullptr, 0, 0)) DispatchMessageA(&msg);
  return 0;
}

DWORD WINAPI HungThread(LPVOID parameter) {
  auto* state = static_cast<OtherProgram::State*>(parameter);
  Window("Takes no messages", DefWindowProcA);
  while (!state->quit) Sleep(1000);
  return 0;
}

}  // namespace

OtherProgram::OtherProgram(ctest::Runner run)
    : program_(std::make_unique<ctest::Program>(std::move(run))), state_(std::make_shared<State>()) {}

OtherProgram::~OtherProgram() {
  program_->Do([&] {
    state_->quit = true;
    if (state_->mutex != nullptr) CloseHandle(state_->mutex);
  });
}

void OtherProgram::OpenWindows(bool hung) {
  program_->Do([&] {
    for (LPTHREAD_START_ROUTINE body : {AnsweringThread, HungThread}) {
      if (body == HungThread && !hung) continue;
      HANDLE t = CreateThread(nullptr, 0, body, state_.get(), 0, nullptr);
      CloseHandle(t);
    }
    Sleep(50);
  });
}

void OtherProgram::TakePanelMutex() {
  program_->Do([&] { state_->mutex = CreateMutexA(nullptr, FALSE, "QX5310CPL-A01A008F-B66F-4399-A473-A99956FCC8F8"); });
}

}  // namespace ptest
