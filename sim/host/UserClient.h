// What a user-mode client of the unit driver does, in plain C++ so that tests written against the
// kernel's headers, and the main job, can run it inside a simulated process: find the units by
// their device interface class, open one and send it device I/O controls.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace host {

struct Control {
  uint32_t code;
  std::vector<uint8_t> input;
  uint32_t outputLength;
};

struct Reply {
  bool ok;
  uint32_t error;  // GetLastError when the control failed
  uint32_t bytes;  // bytes returned
  std::vector<uint8_t> output;

  uint32_t Word(size_t index) const;
};

// The present interfaces of the units' class, as SetupAPI lists them (in the calling process).
std::vector<std::string> FindUnitInterfaces();
// Opens the interface, sends the controls in order and closes it; empty when it cannot be opened.
std::vector<Reply> SendControls(const std::string& path, const std::vector<Control>& controls);
// The same with one control.
Reply SendControl(const std::string& path, const Control& control);

std::vector<uint8_t> Words(std::initializer_list<uint32_t> words);

}  // namespace host
