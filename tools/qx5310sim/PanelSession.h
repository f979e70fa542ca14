// The control panel in the main job: QX5310Panel.exe in a process of its own, started at log-on
// before the units arrive, and worked by a person through the scripted input driver. Each step
// says what it saw; the report's "Control panel" section lists every step, and a step that did not
// happen is lost.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/qx5310sim/HostProcess.h"
#include "tools/qx5310sim/WriterThread.h"

class Machine;
class Report;

namespace sim {
class MainUnit;
class Unit;
}  // namespace sim

class PanelSession {
 public:
  // Under faults the panel only stays up and idle while the streams run; without KR-6 units it
  // names and pulls none. Its pictures are encoded and written on `writer`, which outlives it.
  PanelSession(std::string outDir, bool faulted, bool withKr6, WriterThread& writer);
  ~PanelSession();
  PanelSession(const PanelSession&) = delete;
  PanelSession& operator=(const PanelSession&) = delete;

  // At boot, before any unit is plugged in: "QX5310Panel.exe H", as a log-on start runs it.
  void StartAtLogOn();
  // After plug-in: the units the panel found through WM_DEVICECHANGE, then a second start, which
  // shows the first copy and ends with 0.
  void FindUnits(int expansionUnits);
  void StartSecondCopy();
  // On the Settings page: the control protocol, the sample rate and the latency, each checked in
  // the settings the driver stored for every unit.
  void ChooseSettings(uint32_t protocol, uint32_t sampleRate, uint32_t bufferFrames);
  // While the streams run: a routing choice on the Routing page, then the route codes the units
  // report; a KR-6 name through Apply, the name-update box answered, then its record.
  void ChooseRouting();
  void RenameKr6();
  // The surface's panel button, pressed three times on the main unit: hidden, shown in front,
  // hidden.
  void PressPanelButton(sim::MainUnit& unit);
  // At the end: shown, each tab activated and pictured ("panel-1-settings.png" ...), the drawing
  // dump ("panel.txt"); a KR-6 pulled while it runs; closed with Shift held. The pictures are
  // written while the machine runs on; the report waits for them.
  void PictureEveryPage();
  void PullKr6(Machine& machine, sim::Unit& kr6);
  void CloseWithShift();

  // After the fault plan's pulls: the panel's thread takes its messages, never blocked.
  void CheckResponsive();
  // The OVR threshold another client (the fault plan) set last, shown on the Settings page.
  void CheckOvrShown(std::optional<uint32_t> threshold);
  void WriteReport(Report& report);

 private:
  struct Step {
    std::string name;
    bool done = false;
    std::string outcome;
  };
  // A page pictured; `written` is the writer thread's until it has caught up.
  struct Picture {
    const char* name;
    bool written = false;
  };
  void Done(const std::string& name, bool ok, const std::string& outcome);
  bool ShowPage(int index);
  bool Responsive();
  void PicturesWritten();

  std::string outDir_;
  WriterThread& writer_;
  HostProgram panel_;
  uint32_t processId_ = 0;
  std::vector<Step> steps_;
  bool picturing_ = false;  // pictures are on their way to the writer
  std::vector<Picture> pictures_;
  bool dumped_ = false;
};
