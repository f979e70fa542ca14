// Pictures of top-level windows and the drawing dump, for tests and the main job. A window is
// named as the input driver finds it; a picture is of its top-level window, frame included.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/win32/InputDriver.h"
#include "platform/win32/RasterSurface.h"

namespace plat::win32::picture {

// From the host: invalidates the window's whole tree with erasing and its frames, runs the machine
// until the window's thread is idle, and answers a copy of its surface. Null when the window is not
// found, hidden or minimised (it has no picture), and from a simulated thread, which cannot run the
// machine.
std::shared_ptr<const RasterSurface> Snapshot(const input::Target& window);
// The snapshot as PNG bytes, the same bytes for the same pixels; empty when there is no picture.
std::vector<uint8_t> Png(const input::Target& window);
// False when there is no picture or the file cannot be written.
bool WritePng(const input::Target& window, const std::string& path);

// The window tree as input::DumpWindows gives it, each window followed by what it last drew: its
// frame, then its last paint (with what GetDC drew since), one operation a line. No handle values.
std::string DumpDrawing();

}  // namespace plat::win32::picture
