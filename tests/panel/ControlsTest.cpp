// The panel's custom controls on a page of a small program: the digits-only edit that reports
// completed entries, and the link with its hover, its fit to its text and its ways of opening.
#include <windows.h>

#include <sstream>

#include "platform/win32/Session.h"
#include "platform/win32/Shell.h"
#include "platform/win32/Snapshot.h"
#include "tests/panel/PanelTest.h"
#include "tests/panel/images/ControlsProbe.h"

namespace {

using ptest::Process;
namespace input = plat::win32::input;

constexpr char kImage[] = "ControlsProbe.exe";
constexpr char kCaption[] = "Controls Probe";
constexpr char kPage[] = "Controls";
constexpr char kTitle[] = "ControlsProbe";  // the program's message boxes

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class CustomControls : public testing::Test {
 protected:
  CustomControls() : spy_(std::make_unique<ptest::Spy>(m_.Run())) {
    plat::win32::ClearShellExecuteRequests();
    probe_ = std::make_unique<Process>(kImage);
    EXPECT_TRUE(ptest::RunUntil([] { return !ptest::TopLevelLines(kCaption).empty(); }, 5000));
    ptest::RunFor(100);
  }
  ~CustomControls() override {
    if (!probe_->Ended()) {
      input::Click(input::Target(kCaption, "", {IDCANCEL}));
      EXPECT_TRUE(probe_->WaitEnd(2000));
    }
    probe_.reset();
    spy_.reset();
  }

  input::Target Control(int id) { return input::Target(kCaption, kPage, {id}); }
  ptest::ControlState State(int id) { return spy_->Control(kPage, id, kCaption); }
  std::vector<std::string> Completions() {
    std::vector<std::string> found;
    for (const std::string& line : Lines(probe_->DebugOutput()))
      if (line.rfind("edit complete", 0) == 0) found.push_back(line);
    return found;
  }
  size_t Beeps(unsigned type) {
    size_t n = 0;
    for (const auto& beep : plat::win32::MessageBeeps()) n += beep.processId == probe_->Id() && beep.type == type;
    return n;
  }
  bool Focused(int id) { return ptest::Visible(ptest::ControlLine(kPage, id, kCaption)) &&
                                ptest::ControlLine(kPage, id, kCaption).find(" focus ") != std::string::npos; }
  // What the link last drew: its text operations.
  std::vector<std::string> LinkText(int id) {
    const std::vector<std::string> lines = Lines(plat::win32::picture::DumpDrawing());
    const std::string wanted = " id=" + std::to_string(id) + " ";
    std::vector<std::string> text;
    for (size_t i = 0; i < lines.size(); ++i) {
      if (lines[i].find(wanted) == std::string::npos || lines[i].find("Static") == std::string::npos) continue;
      for (size_t j = i + 1; j < lines.size() && lines[j].find(" id=") == std::string::npos; ++j)
        if (lines[j].find("text ") != std::string::npos) text.push_back(lines[j]);
      break;
    }
    return text;
  }

  ctest::Machine m_;
  std::unique_ptr<ptest::Spy> spy_;
  std::unique_ptr<Process> probe_;
};

TEST_F(CustomControls, TheEnterEditKeepsDigitsAndBackspaceAndBeepsAtEverythingElse) {
  struct Case {
    const char* name;
    std::function<void(const input::Target&)> keys;
    const char* text;
    size_t beeps;
  } cases[] = {
      {"digits", [](const input::Target& t) { input::Type(t, "0123456789"); }, "0123456789", 0},
      {"letters, signs and blanks", [](const input::Target& t) { input::Type(t, "1a-2.3 +"); }, "123", 5},
      {"backspace", [](const input::Target& t) { input::Type(t, "12\b3"); }, "13", 0},
      {"Escape", [](const input::Target& t) {
         input::Type(t, "7");
         input::Key(t, VK_ESCAPE);
       }, "7", 1},
      {"Ctrl+V", [](const input::Target& t) {
         input::SetClipboardText("x-1");
         input::Key(t, 'V', false, true);
       }, "", 1},
      {"Shift+Insert pastes unfiltered", [](const input::Target& t) {
         input::SetClipboardText("x-1");
         input::Type(t, "5");
         input::Key(t, VK_INSERT, true);
       }, "5x-1", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    input::Click(Control(probe::kSecondEdit));
    const size_t before = Beeps(MB_OK);
    c.keys(Control(probe::kSecondEdit));
    EXPECT_EQ(State(probe::kSecondEdit).text, c.text);
    EXPECT_EQ(Beeps(MB_OK) - before, c.beeps);
    // Emptied for the next case through the plain edit's neighbour: select all and delete.
    input::Key(Control(probe::kSecondEdit), VK_END);
    for (size_t i = std::string(c.text).size(); i > 0; --i) input::Key(Control(probe::kSecondEdit), VK_BACK);
  }
}

TEST_F(CustomControls, TabAndShiftTabInTheEnterEditMoveTheFocusOnAndBack) {
  input::Click(Control(probe::kFirstEdit));
  ASSERT_TRUE(Focused(probe::kFirstEdit));
  input::Key(Control(probe::kFirstEdit), VK_TAB);
  EXPECT_TRUE(Focused(probe::kPlainEdit));
  input::Click(Control(probe::kSecondEdit));
  input::Key(Control(probe::kSecondEdit), VK_TAB, true);
  EXPECT_TRUE(Focused(probe::kPlainEdit));
}

TEST_F(CustomControls, EnterAndEveryLossOfFocusSendTheEditCompleteMessage) {
  const std::string complete = "edit complete 1000 from its object";
  struct Case {
    const char* name;
    std::function<void()> act;
    size_t completions;
  } cases[] = {
      {"Enter", [this] { input::Key(Control(probe::kFirstEdit), VK_RETURN); }, 1},
      {"Enter then Tab", [this] {
         input::Key(Control(probe::kFirstEdit), VK_RETURN);
         input::Key(Control(probe::kFirstEdit), VK_TAB);
       }, 2},
      {"Tab", [this] { input::Key(Control(probe::kFirstEdit), VK_TAB); }, 1},
      {"Shift+Tab", [this] { input::Key(Control(probe::kFirstEdit), VK_TAB, true); }, 1},
      {"a click on another edit", [this] { input::Click(Control(probe::kPlainEdit)); }, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    input::Click(Control(probe::kFirstEdit));
    const size_t before = Completions().size();
    c.act();
    const std::vector<std::string> all = Completions();
    ASSERT_EQ(all.size() - before, c.completions);
    for (size_t i = before; i < all.size(); ++i) EXPECT_EQ(all[i], complete);
    input::Click(Control(probe::kPlainEdit));
  }
}

}  // namespace
