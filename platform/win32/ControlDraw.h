// How the controls paint, apart from how they behave: each draws its whole client area from its
// state in a plain Windows look, in the font it was given (WM_SETFONT), with what its parent answers
// to the control-colour query, disabled ones in grey. One source per control kind.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/win32/include/windows.h"

namespace plat::win32 {

// WM_SETFONT, WM_GETFONT and WM_ENABLE as every control answers them: the font kept in `font`,
// and a repaint when the font changes (if asked) or the control is enabled or disabled.
LRESULT ControlLook(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, HFONT* font);

// One paint of a control: WM_PAINT through BeginPaint, or into the DC that WM_PAINT or WM_PRINTCLIENT
// hands in. The DC's state is saved with the control's font selected, and put back at the end.
class ControlPaint {
 public:
  ControlPaint(HWND hwnd, UINT message, WPARAM wParam);
  ~ControlPaint();
  ControlPaint(const ControlPaint&) = delete;
  ControlPaint& operator=(const ControlPaint&) = delete;

  HWND Window() const { return hwnd_; }
  HDC Dc() const { return dc_; }
  const RECT& Client() const { return client_; }
  bool Enabled() const { return enabled_; }

  // Asks the parent for the colours to paint with (WM_CTLCOLORSTATIC, WM_CTLCOLORBTN,
  // WM_CTLCOLOREDIT): its answer sets the DC's text colour, background colour and mode, and the
  // brush it answers is the background; a parent without an answer leaves it to the default.
  HBRUSH AskColours(UINT message) const;
  // Text laid out by DrawText's rules, grey when the control is disabled.
  void Text(const char* text, RECT rect, UINT format) const;
  // A solid triangle pointing up, down, left or right (by `direction`, a VK_ arrow), centred in
  // `rect`, in `colour` (a COLOR_ index).
  void Arrow(const RECT& rect, WPARAM direction, int colour) const;

 private:
  HWND hwnd_;
  PAINTSTRUCT ps_{};
  HDC dc_ = nullptr;
  bool begun_ = false;
  int saved_ = 0;
  RECT client_{};
  bool enabled_ = true;
};

struct ButtonLook {
  WPARAM check;  // BST_UNCHECKED, BST_CHECKED or BST_INDETERMINATE
  bool pushed;
  bool focused;
};

struct EditLook {
  size_t selStart;
  size_t selEnd;
};

struct ComboBoxLook {
  bool dropped;
};

// A dropped combo list: its strings, the first one shown, the selection (-1 none), a row's height.
struct ComboListLook {
  std::vector<std::string> strings;
  int top;
  int selection;
  int rowHeight;
};

// A trackbar's geometry in client pixels, as its behaviour lays it out.
struct TrackbarLook {
  int channelStart;        // where the first position lies along the channel
  int channelEnd;          // and the last
  int thumb;               // where the current position lies
  int thumbHalf;           // half the thumb's width, beside its centre pixel
  std::vector<int> ticks;  // where each tick lies, the two ends included
};

void DrawButton(const ControlPaint& paint, const ButtonLook& look);
// `image` is the bitmap of an SS_BITMAP static (ignored for the other kinds).
void DrawStatic(const ControlPaint& paint, HANDLE image);
void DrawEdit(const ControlPaint& paint, const EditLook& look);
void DrawComboBox(const ControlPaint& paint, const ComboBoxLook& look);
void DrawComboList(const ControlPaint& paint, const ComboListLook& look);
// `held` names the button the mouse holds in: 1 the "up" one, -1 the "down" one, 0 neither.
void DrawUpDown(const ControlPaint& paint, int held);
void DrawTrackbar(const ControlPaint& paint, const TrackbarLook& look);

}  // namespace plat::win32
