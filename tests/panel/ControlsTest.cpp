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
  CustomControls() : spy_(std::make_unique<ptest::Spy>(m_.Run())) { plat::win32::ClearShellExecuteRequests(); }
  void SetUp() override { Start(); }
  void Start() {
    probe_ = std::make_unique<Process>(kImage);
    EXPECT_TRUE(ptest::RunUntil([] { return !ptest::TopLevelLines(kCaption).empty(); }, 5000));
    ptest::RunFor(100);
  }
  ~CustomControls() override {
    if (probe_ != nullptr && !probe_->Ended()) {
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
  // How the link last drew its text: the last text operation of its last paint.
  std::string LinkText(int id) {
    const std::vector<std::string> lines = Lines(plat::win32::picture::DumpDrawing());
    const std::string wanted = " id=" + std::to_string(id) + " ";
    std::string text;
    for (size_t i = 0; i < lines.size(); ++i) {
      if (lines[i].find(wanted) == std::string::npos || lines[i].find("Static") == std::string::npos) continue;
      for (size_t j = i + 1; j < lines.size() && lines[j].find(" id=") == std::string::npos; ++j)
        if (lines[j].find("text ") != std::string::npos) text = lines[j];
      break;
    }
    return text;
  }

  ctest::Machine m_;
  std::unique_ptr<ptest::Spy> spy_;
  std::unique_ptr<Process> probe_;
};

// The link's text as it draws it: its colour, underlined or not.
std::string Looks(const std::string& textOperation) {
  const size_t at = textOperation.find(" colour=");
  if (at == std::string::npos) return "no text drawn";
  const bool underlined = textOperation.find(" underline ") != std::string::npos;
  return (underlined ? "underlined " : "plain ") + textOperation.substr(at + 8, 7);
}

constexpr char kLinkLooks[] = "plain #0000EE";
constexpr char kHoverLooks[] = "underlined #FF0000";
constexpr char kVisitedLooks[] = "plain #551A8B";

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

namespace {

TEST_F(CustomControls, TheLinkIsUnderlinedInItsHoverColourUntilWithin100MsOfTheMouseLeaving) {
  for (int i = 0; i < probe::kLinks; ++i) {
    const int id = probe::kFirstLink + i;
    SCOPED_TRACE(id);
    EXPECT_EQ(Looks(LinkText(id)), kLinkLooks);
    input::Move(Control(id));
    EXPECT_EQ(Looks(LinkText(id)), kHoverLooks);
    input::Move(Control(probe::kPlainEdit));
    ptest::RunFor(100);
    EXPECT_EQ(Looks(LinkText(id)), kLinkLooks);
  }
}

TEST_F(CustomControls, EachLinkFitsItsTextKeepingTheEdgeOrCentreItsAlignmentKeeps) {
  // Where the template put each link, in pixels from the page's corner: 6 x 13 base units.
  struct Case {
    int id;
    int left, top, right, bottom;
    enum { Left, Centre, Right } horizontal;
    bool verticalCentre;
  } cases[] = {
      {probe::kFirstLink + 0, 15, 65, 165, 98, Case::Left, false},
      {probe::kFirstLink + 1, 15, 114, 165, 146, Case::Centre, false},
      {probe::kFirstLink + 2, 15, 163, 165, 195, Case::Right, false},
      {probe::kFirstLink + 3, 180, 65, 330, 98, Case::Left, true},
      {probe::kFirstLink + 4, 180, 114, 330, 146, Case::Centre, true},
      {probe::kFirstLink + 5, 180, 163, 330, 195, Case::Right, true},
  };
  std::string pageLine;
  for (const std::string& line : Lines(input::DumpWindows()))
    if (line.find("\"" + std::string(kPage) + "\"") != std::string::npos) pageLine = line;
  const ptest::ScreenRect origin = ptest::RectOf(pageLine);
  // The text's height, from the first link, whose top stays.
  const ptest::ScreenRect first = ptest::RectOf(ptest::ControlLine(kPage, cases[0].id, kCaption));
  const int textHeight = first.bottom - first.top;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    ptest::ScreenRect r = ptest::RectOf(ptest::ControlLine(kPage, c.id, kCaption));
    r = {r.left - origin.left, r.top - origin.top, r.right - origin.left, r.bottom - origin.top};
    EXPECT_LT(r.right - r.left, c.right - c.left);
    EXPECT_GT(r.right - r.left, 0);
    switch (c.horizontal) {
      case Case::Left: EXPECT_EQ(r.left, c.left); break;
      case Case::Right: EXPECT_EQ(r.right, c.right); break;
      case Case::Centre: EXPECT_EQ(r.left - c.left, c.right - r.right); break;
    }
    if (c.verticalCentre) {
      // Shrunk by the same whole number of pixels at top and bottom.
      const int shrink = (c.bottom - c.top - textHeight) / 2;
      EXPECT_EQ(r.top, c.top + shrink);
      EXPECT_EQ(r.bottom, c.bottom - shrink);
    } else {
      EXPECT_EQ(r.top, c.top);
      EXPECT_EQ(r.bottom - r.top, textHeight);
    }
  }
}

}  // namespace

namespace {

constexpr char kAddress[] = "http://www.example.com/kr6";

TEST_F(CustomControls, AClickOpensTheLinkThroughTheShellElseThroughTheHtmCommandElseSaysWhyNot) {
  struct Case {
    const char* name;
    intptr_t shell;            // ShellExecute's answer
    const char* htmClass;      // the ".htm" key's default value, bytes as stored; null: leave the key as it is
    const char* command;       // that class's open command, likewise
    unsigned winExec;          // WinExec's answer
    const char* expectedExec;  // the command line WinExec was given; null: not called
    const char* error;         // the message box's text; null: opened
  } cases[] = {
      // No ".htm" class yet.
      {"the shell opens it", 42, nullptr, nullptr, 33, nullptr, nullptr},
      {"no .htm class: the shell's sharing violation", 26, nullptr, nullptr, 33, nullptr,
       "Unable to open hyperlink:\n\nA sharing violation occurred. "},
      {"no .htm class: an unknown code", 4, nullptr, nullptr, 33, nullptr,
       "Unable to open hyperlink:\n\nUnknown Error (4) occurred."},
      {"no .htm class: out of resources", 0, nullptr, nullptr, 33, nullptr,
       "Unable to open hyperlink:\n\nThe operating system is out\nof memory or resources."},
      // The class's values are stored without terminators, as a careless installer writes them.
      {"a quoted placeholder", 2, "browser1", "\"C:\\Browser\\browse.exe\" \"%1\" -new", 33,
       "\"C:\\Browser\\browse.exe\"  http://www.example.com/kr6", nullptr},
      {"a bare placeholder", 2, "browser2", "C:\\Browser\\browse.exe %1", 33,
       "C:\\Browser\\browse.exe  http://www.example.com/kr6", nullptr},
      {"no placeholder", 2, "browser3", "C:\\Browser\\browse.exe", 33,
       "C:\\Browser\\browse.exe http://www.example.com/kr6", nullptr},
      {"WinExec's 32 is a started program", 2, "browser4", "browse.exe %1", 32,
       "browse.exe  http://www.example.com/kr6", nullptr},
      {"WinExec fails", 2, "browser5", "browse.exe %1", 2, "browse.exe  http://www.example.com/kr6",
       "Unable to open hyperlink:\n\nThe specified file was not found."},
      {"a class name too long for its reader's buffer", 31, "", nullptr, 33, nullptr,
       "Unable to open hyperlink:\n\nThere is no application associated\nwith the given filename extension."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    input::Click(input::Target(kCaption, "", {IDCANCEL}));
    ASSERT_TRUE(probe_->WaitEnd(2000));
    plat::win32::ClearShellExecuteRequests();
    if (c.htmClass != nullptr) {
      // An empty name stands for one of 300 characters.
      const std::string name = *c.htmClass != '\0' ? c.htmClass : std::string(300, 'h');
      spy_->SetClassesDefault(".htm", name);
      if (c.command != nullptr) spy_->SetClassesDefault(name + "\\shell\\open\\command", c.command);
    }
    Start();
    plat::win32::SetNextShellExecuteResult(c.shell);
    plat::win32::SetNextWinExecResult(c.winExec);
    const size_t beeps = Beeps(MB_ICONEXCLAMATION);
    input::Click(Control(probe::kFirstLink));

    const std::vector<plat::win32::ShellExecuteRequest> shell = plat::win32::ShellExecuteRequests();
    ASSERT_EQ(shell.size(), 1u);
    EXPECT_EQ(shell[0].verb, "open");
    EXPECT_EQ(shell[0].file, kAddress);
    EXPECT_EQ(shell[0].parameters, "");
    EXPECT_FALSE(shell[0].hasDirectory);
    EXPECT_EQ(shell[0].show, SW_SHOW);
    const std::vector<plat::win32::WinExecRequest> execs = plat::win32::WinExecRequests();
    if (c.expectedExec != nullptr) {
      ASSERT_EQ(execs.size(), 1u);
      EXPECT_EQ(execs[0].commandLine, c.expectedExec);
      EXPECT_EQ(execs[0].show, static_cast<unsigned>(SW_SHOW));
    } else {
      EXPECT_TRUE(execs.empty());
    }
    if (c.error != nullptr) {
      EXPECT_GT(Beeps(MB_ICONEXCLAMATION), beeps);
      EXPECT_EQ(spy_->MessageBoxText(kTitle), c.error);
      input::Key(input::Target(kTitle), VK_RETURN);
      EXPECT_EQ(spy_->MessageBoxText(kTitle), "");
    } else {
      EXPECT_EQ(Beeps(MB_ICONEXCLAMATION), beeps);
      EXPECT_EQ(spy_->MessageBoxText(kTitle), "");
    }
    input::Move(Control(probe::kPlainEdit));
    ptest::RunFor(100);
    EXPECT_EQ(Looks(LinkText(probe::kFirstLink)), c.error != nullptr ? kLinkLooks : kVisitedLooks);
  }
}

TEST_F(CustomControls, ALongWindowsDirectoryLeavesTheLinkWithoutItsCursorButWorking) {
  input::Click(input::Target(kCaption, "", {IDCANCEL}));
  ASSERT_TRUE(probe_->WaitEnd(2000));
  plat::win32::SetWindowsDirectory("C:\\" + std::string(400, 'W'));
  Start();
  input::Move(Control(probe::kFirstLink));
  EXPECT_EQ(Looks(LinkText(probe::kFirstLink)), kHoverLooks);
  input::Click(Control(probe::kFirstLink));
  EXPECT_EQ(plat::win32::ShellExecuteRequests().size(), 1u);
  plat::win32::SetWindowsDirectory("C:\\Windows");
}

}  // namespace
