#include "tests/panel/PanelTest.h"

#include <windows.h>

#include <cstdio>
#include <sstream>

namespace ptest {
namespace {

// The indentation of a dump line: two spaces a level.
size_t Depth(const std::string& line) { return line.find_first_not_of(' ') / 2; }

bool Names(const std::string& line, const std::string& text) {
  return line.find("\"" + text + "\"") != std::string::npos;
}

std::vector<std::string> DumpLines() {
  std::vector<std::string> lines;
  std::istringstream in(input::DumpWindows());
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace

std::vector<std::string> TopLevelLines(const std::string& caption) {
  std::vector<std::string> found;
  for (const std::string& line : DumpLines())
    if (Depth(line) == 0 && Names(line, caption)) found.push_back(line);
  return found;
}

std::string ControlLine(const std::string& page, int id, const std::string& caption) {
  const std::vector<std::string> lines = DumpLines();
  const std::string wanted = " id=" + std::to_string(id) + " ";
  for (size_t i = 0; i < lines.size(); ++i) {
    if (Depth(lines[i]) != 0 || !Names(lines[i], caption)) continue;
    for (size_t j = i + 1; j < lines.size() && Depth(lines[j]) > 0; ++j) {
      if (page.empty()) {
        if (Depth(lines[j]) == 1 && lines[j].find(wanted) != std::string::npos) return lines[j];
        continue;
      }
      if (Depth(lines[j]) != 1 || !Names(lines[j], page)) continue;
      for (size_t k = j + 1; k < lines.size() && Depth(lines[k]) > 1; ++k)
        if (Depth(lines[k]) == 2 && lines[k].find(wanted) != std::string::npos) return lines[k];
    }
  }
  return {};
}

ScreenRect RectOf(const std::string& line) {
  ScreenRect r{};
  const size_t at = line.find('[');
  if (at != std::string::npos) std::sscanf(line.c_str() + at, "[%d,%d,%d,%d]", &r.left, &r.top, &r.right, &r.bottom);
  return r;
}

bool Visible(const std::string& line) { return line.find("] visible ") != std::string::npos; }

PanelOnUnits::PanelOnUnits() : spy_(std::make_unique<Spy>(m_.Run())) {}

// The units leave before the machine ends, and the device broker delivers their removal while the
// machine still runs, so no thread of it is left with work at shutdown.
PanelOnUnits::~PanelOnUnits() {
  for (auto it = panels_.rbegin(); it != panels_.rend(); ++it) EndPanel(**it);
  panels_.clear();
  spy_.reset();
  for (auto& [unit, blocks] : units_) m_.Unplug(unit);
  RunFor(10);
}

ctest::Machine::Unit PanelOnUnits::PlugMain(uint32_t serial) {
  ctest::UnitBlocks blocks;
  ctest::Machine::Unit unit = ctest::PlugUnit(m_, ctest::kMain, serial, &blocks);
  units_.emplace_back(unit, blocks);
  return unit;
}

ctest::Machine::Unit PanelOnUnits::PlugKr6(uint32_t serial) {
  ctest::UnitBlocks blocks;
  ctest::Machine::Unit unit = ctest::PlugUnit(m_, ctest::kKr6, serial, &blocks);
  units_.emplace_back(unit, blocks);
  return unit;
}

Process& PanelOnUnits::StartPanel(const std::string& arguments) {
  panels_.push_back(std::make_unique<Process>(kPanelImage, arguments));
  Process& panel = *panels_.back();
  EXPECT_TRUE(panel.Started());
  EXPECT_TRUE(RunUntil([&panel] { return panel.Ended() || !TopLevelLines(kPanelCaption).empty(); }, 5000));
  Tick();
  return panel;
}

void PanelOnUnits::EndPanel(Process& panel) {
  if (panel.Ended()) return;
  // A second start shows a hidden panel.
  if (!Sheet().visible) Process(kPanelImage).WaitEnd(2000);
  input::Key(input::Target(kPanelCaption), VK_ESCAPE, true);
  EXPECT_TRUE(panel.WaitEnd(2000));
}

input::Point PanelOnUnits::CloseBox() {
  const SheetState sheet = Sheet();
  return input::Point{sheet.clientWidth - 8, -8};
}

void PanelOnUnits::Change(ctest::Machine::Unit unit, const std::function<void(ctest::UnitBlocks&)>& edit) {
  for (auto& [u, blocks] : units_) {
    if (u != unit) continue;
    edit(blocks);
    ++blocks.changeCount;
    blocks.Install(m_, u);
  }
}

void PanelOnUnits::Unplug(ctest::Machine::Unit unit) {
  m_.Unplug(unit);
  std::erase_if(units_, [unit](const auto& entry) { return entry.first == unit; });
}

void PanelOnUnits::Tick() { RunFor(600); }

void PanelOnUnits::ShowPage(size_t index) {
  const Spy::Rect tab = spy_->TabRect(static_cast<int>(index));
  input::Click(input::Target(kPanelCaption, "", {0x3020}),
               input::Point{(tab.left + tab.right) / 2, (tab.top + tab.bottom) / 2});
}

std::vector<uint32_t> PanelOnUnits::RequestNumbers(ctest::Machine::Unit unit) {
  std::vector<uint32_t> numbers;
  for (const scripted::LogEntry& e : m_.Log(unit)) numbers.push_back(e.request);
  return numbers;
}

}  // namespace ptest
