// The property sheet: a modal dialog holding a row of tabs, the page area and, at the bottom right,
// OK, Cancel, Apply (disabled until a page says it changed) and Help, of one width and 6 pixels
// apart. Pages are child dialogs made when first shown (the start page with the sheet), and hear
// PSN_SETACTIVE, PSN_KILLACTIVE, PSN_APPLY, PSN_RESET and PSN_QUERYCANCEL. A modeless sheet
// (PSH_MODELESS) is left to its caller's loop: once OK or Cancel ends it, it has no current page,
// and the caller destroys it.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/win32/DialogManager.h"
#include "platform/win32/include/commctrl.h"

namespace w = plat::win32;

struct HPROPSHEETPAGE__ {
  PROPSHEETPAGEA page;
};

namespace {

constexpr int kApplyId = 0x3021;
constexpr int kTabId = 0x3020;
constexpr int kMargin = 7;
constexpr int kButtonGap = 6;
constexpr int kButtonWidth = 75;
constexpr int kButtonHeight = 23;
constexpr int kTabRow = 20;
constexpr int kTabBorder = 4;

struct Page {
  PROPSHEETPAGEA psp;
  HWND hwnd = nullptr;
  std::string title;
};

struct Sheet {
  PROPSHEETHEADERA header{};
  std::vector<Page> pages;
  int current = -1;
  SIZE pageSize{};
  bool applied = false;
  HWND tab = nullptr;
  bool ended = false;
  bool ownedByWindow = false;  // a modeless sheet's record, freed with its window
};

Sheet* SheetOf(HWND hwnd) { return reinterpret_cast<Sheet*>(GetWindowLongPtrA(hwnd, DWLP_USER)); }

w::TemplateRef RefOf(const PROPSHEETPAGEA& psp) {
  if (psp.dwFlags & PSP_DLGINDIRECT) return {psp.hInstance, nullptr, psp.pResource};
  return {psp.hInstance, psp.pszTemplate, nullptr};
}

// A notification to a page; its answer is the page's DWLP_MSGRESULT.
LRESULT NotifyPage(HWND sheet, const Page& page, UINT code) {
  if (page.hwnd == nullptr) return 0;
  PSHNOTIFY nm{};
  nm.hdr.hwndFrom = sheet;
  nm.hdr.idFrom = 0;
  nm.hdr.code = code;
  return SendMessageA(page.hwnd, WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&nm));
}

RECT PageArea(const Sheet* s) {
  int left = kMargin + kTabBorder, top = kMargin + kTabRow + kTabBorder;
  return RECT{left, top, left + s->pageSize.cx, top + s->pageSize.cy};
}

bool MakePage(HWND sheet, Sheet* s, int index) {
  Page& page = s->pages[static_cast<size_t>(index)];
  if (page.hwnd != nullptr) return true;
  if ((page.psp.dwFlags & PSP_USECALLBACK) && page.psp.pfnCallback != nullptr &&
      page.psp.pfnCallback(nullptr, PSPCB_CREATE, &page.psp) == 0)
    return false;
  HWND hwnd = w::CreateChildDialog(RefOf(page.psp), sheet, page.psp.pfnDlgProc, reinterpret_cast<LPARAM>(&page.psp));
  s = SheetOf(sheet);
  if (hwnd == nullptr || s == nullptr) return false;
  s->pages[static_cast<size_t>(index)].hwnd = hwnd;
  RECT area = PageArea(s);
  SetWindowPos(hwnd, HWND_TOP, area.left, area.top, area.right - area.left, area.bottom - area.top, SWP_NOACTIVATE);
  return true;
}

// Shows page `index`; the page being left may keep itself with a nonzero PSN_KILLACTIVE.
bool Activate(HWND sheet, int index, bool askCurrent) {
  Sheet* s = SheetOf(sheet);
  if (s == nullptr || index < 0 || index >= static_cast<int>(s->pages.size())) return false;
  if (index == s->current) return true;
  if (s->current >= 0 && askCurrent && NotifyPage(sheet, s->pages[static_cast<size_t>(s->current)], PSN_KILLACTIVE))
    return false;
  if (!MakePage(sheet, s, index)) return false;
  s = SheetOf(sheet);
  int old = s->current;
  s->current = index;
  SendMessageA(s->tab, TCM_SETCURSEL, static_cast<WPARAM>(index), 0);
  HWND page = s->pages[static_cast<size_t>(index)].hwnd;
  NotifyPage(sheet, s->pages[static_cast<size_t>(index)], PSN_SETACTIVE);
  ShowWindow(page, SW_SHOW);
  if (old >= 0 && old != index) ShowWindow(SheetOf(sheet)->pages[static_cast<size_t>(old)].hwnd, SW_HIDE);
  HWND first = GetNextDlgTabItem(page, nullptr, FALSE);
  if (first != nullptr && IsWindowVisible(sheet)) SetFocus(first);
  return true;
}

// Applies every page made so far; a page refusing keeps the sheet open on it.
bool Apply(HWND sheet) {
  Sheet* s = SheetOf(sheet);
  if (s->current >= 0 && NotifyPage(sheet, s->pages[static_cast<size_t>(s->current)], PSN_KILLACTIVE)) return false;
  for (size_t i = 0; i < SheetOf(sheet)->pages.size(); ++i) {
    LRESULT r = NotifyPage(sheet, SheetOf(sheet)->pages[i], PSN_APPLY);
    if (r == PSNRET_INVALID || r == PSNRET_INVALID_NOCHANGEPAGE) {
      if (r == PSNRET_INVALID) Activate(sheet, static_cast<int>(i), false);
      return false;
    }
  }
  s = SheetOf(sheet);
  s->applied = true;
  EnableWindow(GetDlgItem(sheet, kApplyId), FALSE);
  return true;
}

void Cancel(HWND sheet) {
  // A Cancel button disabled by PSM_CANCELTOCLOSE does not keep Esc from cancelling.
  Sheet* s = SheetOf(sheet);
  if (s->current >= 0 && NotifyPage(sheet, s->pages[static_cast<size_t>(s->current)], PSN_QUERYCANCEL)) return;
  for (size_t i = 0; i < SheetOf(sheet)->pages.size(); ++i) NotifyPage(sheet, SheetOf(sheet)->pages[i], PSN_RESET);
  SheetOf(sheet)->ended = true;
  EndDialog(sheet, SheetOf(sheet)->applied ? 1 : 0);
}

HWND Button(HWND sheet, int id, const char* text, int x, int y, DWORD style) {
  return CreateWindowExA(0, "Button", text, WS_CHILD | WS_TABSTOP | style, x, y, kButtonWidth, kButtonHeight, sheet,
                         reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), nullptr, nullptr);
}

void Build(HWND sheet, Sheet* s) {
  const PROPSHEETHEADERA* h = &s->header;
  RECT area = PageArea(s);
  RECT tabRect{kMargin, kMargin, area.right + kTabBorder, area.bottom + kTabBorder};
  s->tab = CreateWindowExA(0, WC_TABCONTROLA, "", WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_CLIPSIBLINGS,
                           tabRect.left, tabRect.top, tabRect.right - tabRect.left, tabRect.bottom - tabRect.top, sheet,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(kTabId)), nullptr, nullptr);
  for (size_t i = 0; i < s->pages.size(); ++i) {
    TCITEMA item{};
    item.mask = TCIF_TEXT;
    item.pszText = s->pages[i].title.data();
    SendMessageA(s->tab, TCM_INSERTITEMA, i, reinterpret_cast<LPARAM>(&item));
  }
  // The buttons right to left: Help, Apply, Cancel, OK, each a width and a gap from the next.
  int width = std::max<int>(tabRect.right + kMargin, 4 * kButtonWidth + 3 * kButtonGap + 2 * kMargin);
  int y = tabRect.bottom + kMargin;
  int right = width - kMargin;
  struct Spec {
    int id;
    const char* text;
    DWORD style;
  } specs[] = {
      {IDHELP, "Help", (h->dwFlags & PSH_HASHELP) ? WS_VISIBLE : 0},
      {kApplyId, "&Apply", (h->dwFlags & PSH_NOAPPLYNOW) ? WS_DISABLED : WS_VISIBLE | WS_DISABLED},
      {IDCANCEL, "Cancel", WS_VISIBLE},
      {IDOK, "OK", WS_VISIBLE | BS_DEFPUSHBUTTON},
  };
  std::vector<HWND> made;
  for (const Spec& b : specs) {
    made.push_back(Button(sheet, b.id, b.text, right - kButtonWidth, y, b.style));
    right -= kButtonWidth + kButtonGap;
  }
  // Tab order: OK, Cancel, Apply, Help after the tabs.
  for (auto it = made.rbegin(); it != made.rend(); ++it)
    SetWindowPos(*it, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  SendMessageA(sheet, DM_SETDEFID, IDOK, 0);
  RECT frame{0, 0, width, y + kButtonHeight + kMargin};
  AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongA(sheet, GWL_STYLE)), FALSE,
                     static_cast<DWORD>(GetWindowLongA(sheet, GWL_EXSTYLE)));
  SetWindowPos(sheet, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

INT_PTR CALLBACK SheetProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  Sheet* s = SheetOf(hwnd);
  switch (message) {
    case WM_INITDIALOG: {
      SetWindowLongPtrA(hwnd, DWLP_USER, lParam);
      s = reinterpret_cast<Sheet*>(lParam);
      Build(hwnd, s);
      UINT start = (s->header.dwFlags & PSH_USEPSTARTPAGE) ? 0 : s->header.nStartPage;
      if (start >= s->pages.size()) start = 0;
      Activate(hwnd, static_cast<int>(start), false);
      if ((s->header.dwFlags & PSH_USECALLBACK) && s->header.pfnCallback != nullptr)
        s->header.pfnCallback(hwnd, PSCB_INITIALIZED, 0);
      return FALSE;
    }
    case WM_SHOWWINDOW:
      if (wParam && s != nullptr && s->current >= 0) {
        HWND first = GetNextDlgTabItem(s->pages[static_cast<size_t>(s->current)].hwnd, nullptr, FALSE);
        if (first != nullptr) SetFocus(first);
      }
      return FALSE;
    case WM_COMMAND:
      if (s == nullptr) return FALSE;
      switch (LOWORD(wParam)) {
        case IDOK:
          if (Apply(hwnd)) {
            SheetOf(hwnd)->ended = true;
            EndDialog(hwnd, 1);
          }
          return TRUE;
        case IDCANCEL: Cancel(hwnd); return TRUE;
        case kApplyId: Apply(hwnd); return TRUE;
        case IDHELP:
          if (s->current >= 0) NotifyPage(hwnd, s->pages[static_cast<size_t>(s->current)], PSN_HELP);
          return TRUE;
        default: return FALSE;
      }
    case WM_SYSCOMMAND:
      // The close box cancels the sheet itself, even once PSM_CANCELTOCLOSE disabled Cancel.
      if (s == nullptr || (wParam & 0xFFF0) != SC_CLOSE) return FALSE;
      Cancel(hwnd);
      return TRUE;
    case WM_NOTIFY: {
      auto* nm = reinterpret_cast<NMHDR*>(lParam);
      if (s == nullptr || nm->hwndFrom != s->tab) return FALSE;
      if (nm->code == TCN_SELCHANGING) {
        bool keep = s->current >= 0 && NotifyPage(hwnd, s->pages[static_cast<size_t>(s->current)], PSN_KILLACTIVE);
        SetWindowLongPtrA(hwnd, DWLP_MSGRESULT, keep ? TRUE : FALSE);
        return TRUE;
      }
      if (nm->code == TCN_SELCHANGE) Activate(hwnd, static_cast<int>(SendMessageA(s->tab, TCM_GETCURSEL, 0, 0)), false);
      return TRUE;
    }
    case PSM_SETCURSEL: {
      if (s == nullptr) return FALSE;
      int index = static_cast<int>(wParam);
      if (lParam != 0) {
        auto* page = reinterpret_cast<HPROPSHEETPAGE>(lParam);
        for (size_t i = 0; i < s->pages.size(); ++i)
          if (std::memcmp(&s->pages[i].psp, &page->page, sizeof page->page) == 0) index = static_cast<int>(i);
      }
      SetWindowLongPtrA(hwnd, DWLP_MSGRESULT, Activate(hwnd, index, true) ? TRUE : FALSE);
      return TRUE;
    }
    case PSM_GETCURRENTPAGEHWND:
      SetWindowLongPtrA(hwnd, DWLP_MSGRESULT,
                        reinterpret_cast<LONG_PTR>(s != nullptr && !s->ended && s->current >= 0
                                                       ? s->pages[static_cast<size_t>(s->current)].hwnd
                                                       : nullptr));
      return TRUE;
    case WM_NCDESTROY:
      if (s != nullptr && s->ownedByWindow) {
        SetWindowLongPtrA(hwnd, DWLP_USER, 0);
        delete s;
      }
      return FALSE;
    case PSM_GETTABCONTROL:
      SetWindowLongPtrA(hwnd, DWLP_MSGRESULT, reinterpret_cast<LONG_PTR>(s != nullptr ? s->tab : nullptr));
      return TRUE;
    case PSM_CHANGED: EnableWindow(GetDlgItem(hwnd, kApplyId), TRUE); return TRUE;
    case PSM_UNCHANGED: EnableWindow(GetDlgItem(hwnd, kApplyId), FALSE); return TRUE;
    case PSM_CANCELTOCLOSE:
      SetWindowTextA(GetDlgItem(hwnd, IDOK), "Close");
      EnableWindow(GetDlgItem(hwnd, IDCANCEL), FALSE);
      return TRUE;
    case PSM_PRESSBUTTON: {
      int id = wParam == PSBTN_OK ? IDOK : wParam == PSBTN_CANCEL ? IDCANCEL : wParam == PSBTN_APPLYNOW ? kApplyId
                                                                                  : wParam == PSBTN_HELP ? IDHELP : 0;
      if (id != 0) PostMessageA(hwnd, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(hwnd, id)));
      return TRUE;
    }
    default: return FALSE;
  }
}

// The sheet's own template: a captioned modal dialog with no controls, sized when built.
std::vector<DWORD> SheetTemplate(const std::string& caption) {
  std::vector<WORD> words;
  DLGTEMPLATE t{WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_CENTER | WS_VISIBLE, WS_EX_CONTROLPARENT, 0, 0,
                0, 0, 0};
  const auto* p = reinterpret_cast<const WORD*>(&t);
  words.insert(words.end(), p, p + sizeof t / sizeof(WORD));
  words.push_back(0);
  words.push_back(0);
  for (char c : caption) words.push_back(static_cast<unsigned char>(c));
  words.push_back(0);
  if (words.size() % 2 != 0) words.push_back(0);
  std::vector<DWORD> out(words.size() / 2);
  std::memcpy(out.data(), words.data(), words.size() * sizeof(WORD));
  return out;
}

bool Acceptable(const PROPSHEETPAGEA& psp) {
  return psp.dwSize == PROPSHEETPAGEA_V1_SIZE || psp.dwSize == PROPSHEETPAGEA_V2_SIZE ||
         psp.dwSize == PROPSHEETPAGEA_V3_SIZE || psp.dwSize == PROPSHEETPAGEA_V4_SIZE;
}

}  // namespace

HPROPSHEETPAGE CreatePropertySheetPageA(LPCPROPSHEETPAGEA constPropSheetPagePointer) {
  if (constPropSheetPagePointer == nullptr || !Acceptable(*constPropSheetPagePointer)) return nullptr;
  auto* page = new HPROPSHEETPAGE__{};
  std::memcpy(&page->page, constPropSheetPagePointer, constPropSheetPagePointer->dwSize);
  if ((page->page.dwFlags & PSP_USECALLBACK) && page->page.pfnCallback != nullptr)
    page->page.pfnCallback(nullptr, PSPCB_ADDREF, &page->page);
  return page;
}

BOOL DestroyPropertySheetPage(HPROPSHEETPAGE hPage) {
  if (hPage == nullptr) return FALSE;
  if ((hPage->page.dwFlags & PSP_USECALLBACK) && hPage->page.pfnCallback != nullptr)
    hPage->page.pfnCallback(nullptr, PSPCB_RELEASE, &hPage->page);
  delete hPage;
  return TRUE;
}

INT_PTR PropertySheetA(LPCPROPSHEETHEADERA lppsph) {
  if (lppsph == nullptr || (lppsph->dwSize != PROPSHEETHEADERA_V1_SIZE && lppsph->dwSize != PROPSHEETHEADERA_V2_SIZE) ||
      lppsph->nPages == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  auto made = std::make_unique<Sheet>();
  Sheet& sheet = *made;
  std::memcpy(&sheet.header, lppsph, lppsph->dwSize);
  const auto* records = reinterpret_cast<const BYTE*>(lppsph->ppsp);
  for (UINT i = 0; i < lppsph->nPages; ++i) {
    Page page{};
    if (lppsph->dwFlags & PSH_PROPSHEETPAGE) {
      const auto* psp = reinterpret_cast<const PROPSHEETPAGEA*>(records);
      if (!Acceptable(*psp)) return -1;
      std::memcpy(&page.psp, psp, psp->dwSize);
      records += psp->dwSize;
    } else {
      page.psp = lppsph->phpage[i]->page;
    }
    SIZE size{};
    std::string caption;
    if (!w::TemplateInfo(RefOf(page.psp), &size, &caption)) return -1;
    sheet.pageSize.cx = std::max(sheet.pageSize.cx, size.cx);
    sheet.pageSize.cy = std::max(sheet.pageSize.cy, size.cy);
    page.title = (page.psp.dwFlags & PSP_USETITLE) && page.psp.pszTitle != nullptr && !IS_INTRESOURCE(page.psp.pszTitle)
                     ? page.psp.pszTitle
                     : caption;
    sheet.pages.push_back(std::move(page));
  }
  std::string caption = lppsph->pszCaption != nullptr && !IS_INTRESOURCE(lppsph->pszCaption) ? lppsph->pszCaption : "";
  if (lppsph->dwFlags & PSH_PROPTITLE) caption = "Properties for " + caption;
  std::vector<DWORD> tmpl = SheetTemplate(caption);
  if ((lppsph->dwFlags & PSH_USECALLBACK) && lppsph->pfnCallback != nullptr)
    lppsph->pfnCallback(nullptr, PSCB_PRECREATE, reinterpret_cast<LPARAM>(tmpl.data()));
  const auto* t = reinterpret_cast<const DLGTEMPLATE*>(tmpl.data());
  if (lppsph->dwFlags & PSH_MODELESS) {
    HWND hwnd = CreateDialogIndirectParamA(lppsph->hInstance, t, lppsph->hwndParent, SheetProc,
                                           reinterpret_cast<LPARAM>(made.get()));
    if (hwnd != nullptr) made.release()->ownedByWindow = true;
    return reinterpret_cast<INT_PTR>(hwnd);
  }
  return DialogBoxIndirectParamA(lppsph->hInstance, t, lppsph->hwndParent, SheetProc, reinterpret_cast<LPARAM>(&sheet));
}
