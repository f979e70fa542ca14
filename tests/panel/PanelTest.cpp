#include "tests/panel/PanelTest.h"

#include <windows.h>

namespace ptest {

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
  input::Click(input::Target(kPanelCaption), CloseBox(), input::Button::Left, true);
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
