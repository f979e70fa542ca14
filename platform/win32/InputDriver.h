// The scripted input driver: a person's moves, clicks, double clicks, drags, keys and text,
// entered as hardware input into the queue of the target window's thread, so that they take the
// whole message path (hit test, cursor, focus, translation). From the host an action runs the
// machine until the target thread is idle again; from a simulated thread (a scenario step) it
// only queues. Also the dump of the window tree that tests compare.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace plat::win32::input {

// A window as a person finds it: a top-level window by its caption or class name, then, inside it,
// a dialog by its caption, then control ids one level after another. A message box is its caption
// and the button's id.
struct Target {
  Target(std::string window, std::string dialog = {}, std::vector<int> ids = {})
      : window(std::move(window)), dialog(std::move(dialog)), ids(std::move(ids)) {}
  std::string window;
  std::string dialog;
  std::vector<int> ids;
};

enum class Button { Left, Right };

struct Point {
  int32_t x;
  int32_t y;
};

// Each gives false when the target cannot be found. A point is in the target's client
// coordinates; none means its client area's centre.
bool Move(const Target& target, std::optional<Point> at = {});
// With `shift`, Shift is held down around the click.
bool Click(const Target& target, std::optional<Point> at = {}, Button button = Button::Left, bool shift = false);
bool DoubleClick(const Target& target, std::optional<Point> at = {});
bool Drag(const Target& target, Point from, Point to);
// Keys go to the thread of the target's top-level window, where its focus window takes them.
// Modifiers: Shift and Ctrl held around the key.
bool Key(const Target& target, uint16_t vk, bool shift = false, bool control = false);
// Text as typed on a US keyboard (Shift where a character needs it).
bool Type(const Target& target, const std::string& text);
// The machine's clipboard as a person copying text in another program fills it, and its text.
void SetClipboardText(const std::string& text);
std::string ClipboardText();

// Every window of the desktop, top-level windows in z-order, children indented beneath their
// parent: class, id, text, rectangle (screen), visibility, enabling, focus and style bits; no
// handle values.
std::string DumpWindows();

// How many times a thread's GetMessage wait was woken, and whether it is idle.
uint64_t Wakes(uint32_t threadId);
bool Idle(uint32_t threadId);
// The thread of the target's window; 0 when it is not found.
uint32_t ThreadOf(const Target& target);

}  // namespace plat::win32::input
