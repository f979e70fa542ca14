// The message box: a modal dialog owned by its caller's window, with its caption, the system icon
// its type asks for, its text and the buttons its type asks for; its loop is the dialog manager's, so the thread's timers keep firing.
// It beeps for its icon as it appears; its answer is the id of the button pressed.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/win32/include/windows.h"

namespace {

// Sizes, in dialog units.
constexpr short kButtonWidth = 50;
constexpr short kButtonHeight = 14;
constexpr short kGap = 6;
constexpr short kCharWidth = 4;
constexpr short kLineHeight = 8;
constexpr WORD kTextId = 0xFFFF;
constexpr WORD kIconId = 20;
// A 32-pixel icon in dialog units, and the system icon of each MB_ICON kind (IDI_HAND onwards).
constexpr short kIconWidth = 22;
constexpr short kIconHeight = 20;
constexpr WORD kFirstIcon = 32513;

struct Buttons {
  UINT type;
  std::vector<int> ids;
};

const Buttons kButtons[] = {
    {MB_OK, {IDOK}},
    {MB_OKCANCEL, {IDOK, IDCANCEL}},
    {MB_ABORTRETRYIGNORE, {IDABORT, IDRETRY, IDIGNORE}},
    {MB_YESNOCANCEL, {IDYES, IDNO, IDCANCEL}},
    {MB_YESNO, {IDYES, IDNO}},
    {MB_RETRYCANCEL, {IDRETRY, IDCANCEL}},
};

const char* Label(int id) {
  switch (id) {
    case IDOK: return "OK";
    case IDCANCEL: return "Cancel";
    case IDABORT: return "&Abort";
    case IDRETRY: return "&Retry";
    case IDIGNORE: return "&Ignore";
    case IDYES: return "&Yes";
    case IDNO: return "&No";
    default: return "Help";
  }
}

struct Box {
  std::vector<int> ids;
  int defaultIndex;
};

void PutText(std::vector<WORD>* words, const std::string& s) {
  for (char c : s) words->push_back(static_cast<unsigned char>(c));
  words->push_back(0);
}

void Align(std::vector<WORD>* words) {
  if (words->size() % 2 != 0) words->push_back(0);
}

void PutHeader(std::vector<WORD>* words, DWORD style, short x, short y, short cx, short cy, WORD id, WORD atom) {
  Align(words);
  DLGITEMTEMPLATE item{style | WS_CHILD | WS_VISIBLE, 0, x, y, cx, cy, id};
  const auto* w = reinterpret_cast<const WORD*>(&item);
  words->insert(words->end(), w, w + sizeof item / sizeof(WORD));
  words->push_back(0xFFFF);
  words->push_back(atom);
}

void PutItem(std::vector<WORD>* words, DWORD style, short x, short y, short cx, short cy, WORD id, WORD atom,
             const std::string& text) {
  PutHeader(words, style, x, y, cx, cy, id, atom);
  PutText(words, text);
  words->push_back(0);
}

// A static showing the system icon `icon`, named by its number as the item's text.
void PutIcon(std::vector<WORD>* words, short x, short y, WORD icon) {
  PutHeader(words, SS_ICON, x, y, kIconWidth, kIconHeight, kIconId, 0x82);
  words->push_back(0xFFFF);
  words->push_back(icon);
  words->push_back(0);
}

INT_PTR CALLBACK BoxProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* box = reinterpret_cast<Box*>(GetWindowLongPtrA(hwnd, DWLP_USER));
  switch (message) {
    case WM_INITDIALOG: {
      SetWindowLongPtrA(hwnd, DWLP_USER, lParam);
      box = reinterpret_cast<Box*>(lParam);
      int id = box->ids[static_cast<size_t>(box->defaultIndex)];
      SendMessageA(hwnd, DM_SETDEFID, static_cast<WPARAM>(id), 0);
      SetFocus(GetDlgItem(hwnd, id));
      return FALSE;
    }
    case WM_COMMAND: {
      if (box == nullptr) return FALSE;
      int id = LOWORD(wParam);
      bool has = std::find(box->ids.begin(), box->ids.end(), id) != box->ids.end();
      // Esc and the close box answer Cancel when there is one, and OK when OK is all there is.
      if (id == IDCANCEL && !has && box->ids.size() == 1 && box->ids[0] == IDOK) id = IDOK, has = true;
      if (has) EndDialog(hwnd, id);
      return TRUE;
    }
    default: return FALSE;
  }
}

}  // namespace

int MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
  const Buttons* kind = std::find_if(std::begin(kButtons), std::end(kButtons),
                                     [&](const Buttons& b) { return b.type == (uType & MB_TYPEMASK); });
  if (kind == std::end(kButtons)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  Box box{kind->ids, 0};
  if (uType & MB_HELP) box.ids.push_back(IDHELP);
  box.defaultIndex = std::min<int>(static_cast<int>((uType & MB_DEFMASK) >> 8), static_cast<int>(box.ids.size()) - 1);
  std::string text = lpText != nullptr ? lpText : "";
  std::string caption = lpCaption != nullptr ? lpCaption : "Error";

  // The icon, if any, sits at the left; the text's longest line and its lines set the size; the
  // buttons sit centred beneath.
  const UINT iconKind = (uType & MB_ICONMASK) >> 4;
  const bool icon = iconKind >= 1 && iconKind <= 4;
  const short textX = icon ? static_cast<short>(kGap + kIconWidth + kGap) : kGap;
  size_t longest = 0, lines = 1, run = 0;
  for (char c : text) {
    if (c == '\n') {
      ++lines;
      run = 0;
    } else {
      longest = std::max(longest, ++run);
    }
  }
  auto count = static_cast<short>(box.ids.size());
  short buttonsWidth = static_cast<short>(count * kButtonWidth + (count - 1) * kGap);
  short textWidth = static_cast<short>(std::min<size_t>(longest * kCharWidth, 400));
  short cx = static_cast<short>(std::max<int>(buttonsWidth + 2 * kGap, textX + textWidth + kGap));
  short textHeight = static_cast<short>(lines * kLineHeight);
  short top = icon ? std::max(textHeight, kIconHeight) : textHeight;
  short cy = static_cast<short>(kGap + top + kGap + kButtonHeight + kGap);

  std::vector<WORD> words;
  DLGTEMPLATE t{WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_CENTER | WS_VISIBLE, 0,
                static_cast<WORD>(count + (icon ? 2 : 1)), 0, 0, cx, cy};
  const auto* w = reinterpret_cast<const WORD*>(&t);
  words.insert(words.end(), w, w + sizeof t / sizeof(WORD));
  words.push_back(0);
  words.push_back(0);
  PutText(&words, caption);
  if (icon) PutIcon(&words, kGap, kGap, static_cast<WORD>(kFirstIcon + iconKind - 1));
  PutItem(&words, SS_LEFT | SS_NOPREFIX, textX, kGap, textWidth, textHeight, kTextId, 0x82, text);
  short x = static_cast<short>((cx - buttonsWidth) / 2), y = static_cast<short>(kGap + top + kGap);
  for (size_t i = 0; i < box.ids.size(); ++i) {
    DWORD style = WS_TABSTOP | (static_cast<int>(i) == box.defaultIndex ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON);
    if (i == 0) style |= WS_GROUP;
    PutItem(&words, style, x, y, kButtonWidth, kButtonHeight, static_cast<WORD>(box.ids[i]), 0x80, Label(box.ids[i]));
    x = static_cast<short>(x + kButtonWidth + kGap);
  }
  Align(&words);
  std::vector<DWORD> aligned(words.size() / 2);
  std::memcpy(aligned.data(), words.data(), words.size() * sizeof(WORD));

  MessageBeep(uType & MB_ICONMASK);
  return static_cast<int>(DialogBoxIndirectParamA(nullptr, reinterpret_cast<const DLGTEMPLATE*>(aligned.data()),
                                                  hWnd, BoxProc, reinterpret_cast<LPARAM>(&box)));
}
