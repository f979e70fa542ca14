// The fixture of the panel's tests on scripted units: a machine with a main unit (and expansion
// units on request) whose replies the test sets, the panel image started in its own process, a
// spy that reads its controls, and the person's input.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/win32/InputDriver.h"
#include "tests/client/Units.h"
#include "tests/panel/PanelProcess.h"
#include "tests/panel/PanelSpy.h"
#include "tests/panel/WindowDump.h"

namespace ptest {


class PanelOnUnits : public testing::Test {
 protected:
  PanelOnUnits();
  ~PanelOnUnits() override;

  // A unit plugged before or while the panel runs; its blocks are kept for Change.
  ctest::Machine::Unit PlugMain(uint32_t serial = 7);
  ctest::Machine::Unit PlugKr6(uint32_t serial);
  void Unplug(ctest::Machine::Unit unit);
  // Starts the panel and runs until its sheet exists and its first poll has run. The fixture ends
  // it at the end of the test, as a person does: shown, then its close box with Shift held.
  Process& StartPanel(const std::string& arguments = "");
  void EndPanel(Process& panel);
  // Where the sheet's close box is, in its client coordinates.
  input::Point CloseBox();
  // Changes a unit's blocks as its driver does: the change counter moves.
  void Change(ctest::Machine::Unit unit, const std::function<void(ctest::UnitBlocks&)>& edit);
  // Runs one poll period and a little more.
  void Tick();
  // Clicks the tab of page `index`.
  void ShowPage(size_t index);
  SheetState Sheet() { return spy_->Sheet(); }
  ControlState Control(size_t page, int id) { return spy_->Control(kPages[page], id); }
  std::vector<uint32_t> RequestNumbers(ctest::Machine::Unit unit);

  ctest::Machine m_;
  std::unique_ptr<Spy> spy_;
  std::vector<std::unique_ptr<Process>> panels_;
  std::vector<std::pair<ctest::Machine::Unit, ctest::UnitBlocks>> units_;
};

}  // namespace ptest
