// What a person reads off the panel's windows that the window dump does not show (check marks,
// trackbar and up-down positions, the current page), asked by a program of its own as a spy tool
// asks: window messages sent across processes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "tests/client/Program.h"

namespace ptest {

struct ControlState {
  bool found = false;
  bool visible = false;
  bool enabled = false;
  std::string text;
  int64_t check = -1;     // BM_GETCHECK
  int64_t position = -1;  // TBM_GETPOS of a trackbar, UDM_GETPOS of an up-down (its low word)
};

struct SheetState {
  bool found = false;
  bool visible = false;
  bool iconic = false;
  bool zoomed = false;
  bool foreground = false;
  int32_t clientWidth = 0;
  std::string page;  // the caption of the current page
};

class Spy {
 public:
  explicit Spy(ctest::Runner run);

  // The top-level window captioned `caption`, a visible one before a hidden one.
  SheetState Sheet(const std::string& caption = "QX-5310 Control Panel");
  // The control `id` of the page captioned `page` in that window.
  ControlState Control(const std::string& page, int id,
                       const std::string& caption = "QX-5310 Control Panel");
  // Where tab `index` of the sheet's tab control lies, in the tab control's client coordinates.
  struct Rect {
    int32_t left, top, right, bottom;
  };
  Rect TabRect(int index, const std::string& caption = "QX-5310 Control Panel");
  // What the shell does to the panel's window on "show the desktop".
  void Minimise(const std::string& caption = "QX-5310 Control Panel");
  // What another program may try: show the window.
  void Show(const std::string& caption = "QX-5310 Control Panel");
  // What an installer writes: the default value of a key under HKEY_CLASSES_ROOT, as REG_SZ bytes
  // exactly as given (without a terminator unless the bytes hold one).
  void SetClassesDefault(const std::string& key, const std::string& bytes);
  // A message box's text, by its caption; empty when there is none.
  std::string MessageBoxText(const std::string& caption);

 private:
  std::unique_ptr<ctest::Program> program_;
};

// Another program on the desktop: top-level windows of its own above the panel's, one that answers
// every registered message with 7 and one whose thread takes no messages, and, on request, the
// panel's single-instance mutex taken by name.
class OtherProgram {
 public:
  explicit OtherProgram(ctest::Runner run);
  ~OtherProgram();
  // With `hung`, the window whose thread takes no messages too.
  void OpenWindows(bool hung = true);
  void TakePanelMutex();

  struct State;

 private:
  std::unique_ptr<ctest::Program> program_;
  std::shared_ptr<State> state_;
};

}  // namespace ptest
