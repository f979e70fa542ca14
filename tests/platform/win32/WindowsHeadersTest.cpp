// The window manager, GDI, common-control and device-broadcast headers carry Windows' values and
// record layouts, and keep the unsuffixed names free for a class library's members.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "platform/win32/include/commctrl.h"
#include "platform/win32/include/dbt.h"
#include "platform/win32/include/shellapi.h"
#include "platform/win32/include/windows.h"
#include "platform/win32/include/windowsx.h"

namespace {

constexpr bool k64 = sizeof(void*) == 8;

struct Value {
  const char* name;
  uint64_t actual;
  uint64_t expected;
};
// Each value as the 32 bits Windows gives it, so negative codes compare as their unsigned form.
template <typename T>
constexpr uint64_t WindowsBits(T value) {
  return static_cast<uint32_t>(value);
}
#define QX_VALUE(name, expected) \
  Value { #name, WindowsBits(name), (expected) }

TEST(WindowsHeaders, KeyConstantsHaveWindowsValues) {
  const Value values[] = {
      // messages
      QX_VALUE(WM_CREATE, 0x0001),
      QX_VALUE(WM_DESTROY, 0x0002),
      QX_VALUE(WM_SETFOCUS, 0x0007),
      QX_VALUE(WM_KILLFOCUS, 0x0008),
      QX_VALUE(WM_SETTEXT, 0x000C),
      QX_VALUE(WM_GETTEXT, 0x000D),
      QX_VALUE(WM_PAINT, 0x000F),
      QX_VALUE(WM_CLOSE, 0x0010),
      QX_VALUE(WM_QUIT, 0x0012),
      QX_VALUE(WM_ERASEBKGND, 0x0014),
      QX_VALUE(WM_SHOWWINDOW, 0x0018),
      QX_VALUE(WM_SETCURSOR, 0x0020),
      QX_VALUE(WM_NEXTDLGCTL, 0x0028),
      QX_VALUE(WM_SETFONT, 0x0030),
      QX_VALUE(WM_GETFONT, 0x0031),
      QX_VALUE(WM_WINDOWPOSCHANGING, 0x0046),
      QX_VALUE(WM_WINDOWPOSCHANGED, 0x0047),
      QX_VALUE(WM_NOTIFY, 0x004E),
      QX_VALUE(WM_SETICON, 0x0080),
      QX_VALUE(WM_NCHITTEST, 0x0084),
      QX_VALUE(WM_GETDLGCODE, 0x0087),
      QX_VALUE(WM_KEYDOWN, 0x0100),
      QX_VALUE(WM_KEYUP, 0x0101),
      QX_VALUE(WM_CHAR, 0x0102),
      QX_VALUE(WM_INITDIALOG, 0x0110),
      QX_VALUE(WM_COMMAND, 0x0111),
      QX_VALUE(WM_SYSCOMMAND, 0x0112),
      QX_VALUE(WM_TIMER, 0x0113),
      QX_VALUE(WM_HSCROLL, 0x0114),
      QX_VALUE(WM_VSCROLL, 0x0115),
      QX_VALUE(WM_CTLCOLOREDIT, 0x0133),
      QX_VALUE(WM_CTLCOLORBTN, 0x0135),
      QX_VALUE(WM_CTLCOLORDLG, 0x0136),
      QX_VALUE(WM_CTLCOLORSTATIC, 0x0138),
      QX_VALUE(WM_MOUSEMOVE, 0x0200),
      QX_VALUE(WM_LBUTTONDOWN, 0x0201),
      QX_VALUE(WM_LBUTTONUP, 0x0202),
      QX_VALUE(WM_LBUTTONDBLCLK, 0x0203),
      QX_VALUE(WM_DEVICECHANGE, 0x0219),
      QX_VALUE(WM_PASTE, 0x0302),
      QX_VALUE(WM_USER, 0x0400),
      QX_VALUE(WM_APP, 0x8000),
      // show commands, hit tests, system commands, window positions
      QX_VALUE(SW_HIDE, 0),
      QX_VALUE(SW_SHOWNORMAL, 1),
      QX_VALUE(SW_SHOWMAXIMIZED, 3),
      QX_VALUE(SW_SHOW, 5),
      QX_VALUE(SW_RESTORE, 9),
      QX_VALUE(HTTRANSPARENT, 0xFFFFFFFF),
      QX_VALUE(HTCLIENT, 1),
      QX_VALUE(HTCAPTION, 2),
      QX_VALUE(SC_CLOSE, 0xF060),
      QX_VALUE(SC_MINIMIZE, 0xF020),
      QX_VALUE(SC_RESTORE, 0xF120),
      QX_VALUE(SWP_NOSIZE, 0x0001),
      QX_VALUE(SWP_NOMOVE, 0x0002),
      QX_VALUE(SWP_NOZORDER, 0x0004),
      QX_VALUE(SWP_SHOWWINDOW, 0x0040),
      QX_VALUE(SWP_HIDEWINDOW, 0x0080),
      // styles
      QX_VALUE(WS_POPUP, 0x80000000),
      QX_VALUE(WS_CHILD, 0x40000000),
      QX_VALUE(WS_MINIMIZE, 0x20000000),
      QX_VALUE(WS_VISIBLE, 0x10000000),
      QX_VALUE(WS_DISABLED, 0x08000000),
      QX_VALUE(WS_CLIPSIBLINGS, 0x04000000),
      QX_VALUE(WS_CLIPCHILDREN, 0x02000000),
      QX_VALUE(WS_CAPTION, 0x00C00000),
      QX_VALUE(WS_SYSMENU, 0x00080000),
      QX_VALUE(WS_GROUP, 0x00020000),
      QX_VALUE(WS_TABSTOP, 0x00010000),
      QX_VALUE(WS_OVERLAPPEDWINDOW, 0x00CF0000),
      QX_VALUE(WS_EX_DLGMODALFRAME, 0x00000001),
      QX_VALUE(WS_EX_CLIENTEDGE, 0x00000200),
      QX_VALUE(WS_EX_CONTROLPARENT, 0x00010000),
      QX_VALUE(DS_MODALFRAME, 0x0080),
      QX_VALUE(DS_SETFONT, 0x0040),
      QX_VALUE(DS_CONTROL, 0x0400),
      QX_VALUE(BS_PUSHBUTTON, 0),
      QX_VALUE(BS_DEFPUSHBUTTON, 1),
      QX_VALUE(BS_AUTOCHECKBOX, 3),
      QX_VALUE(BS_GROUPBOX, 7),
      QX_VALUE(BS_USERBUTTON, 8),
      QX_VALUE(BS_AUTORADIOBUTTON, 9),
      QX_VALUE(BS_OWNERDRAW, 0x0B),
      QX_VALUE(SS_CENTER, 1),
      QX_VALUE(SS_RIGHT, 2),
      QX_VALUE(SS_BITMAP, 0x0E),
      QX_VALUE(SS_NOTIFY, 0x0100),
      QX_VALUE(SS_CENTERIMAGE, 0x0200),
      QX_VALUE(SS_REALSIZEIMAGE, 0x0800),
      QX_VALUE(ES_AUTOHSCROLL, 0x0080),
      QX_VALUE(ES_READONLY, 0x0800),
      QX_VALUE(ES_NUMBER, 0x2000),
      QX_VALUE(CBS_DROPDOWNLIST, 3),
      QX_VALUE(CBS_SORT, 0x0100),
      // control messages and notifications
      QX_VALUE(BN_CLICKED, 0),
      QX_VALUE(BM_GETCHECK, 0x00F0),
      QX_VALUE(BM_SETCHECK, 0x00F1),
      QX_VALUE(BST_CHECKED, 1),
      QX_VALUE(STN_CLICKED, 0),
      QX_VALUE(STM_SETIMAGE, 0x0172),
      QX_VALUE(EM_GETSEL, 0x00B0),
      QX_VALUE(EM_SETSEL, 0x00B1),
      QX_VALUE(EM_SCROLLCARET, 0x00B7),
      QX_VALUE(EM_REPLACESEL, 0x00C2),
      QX_VALUE(EM_LIMITTEXT, 0x00C5),
      QX_VALUE(EN_SETFOCUS, 0x0100),
      QX_VALUE(EN_KILLFOCUS, 0x0200),
      QX_VALUE(EN_CHANGE, 0x0300),
      QX_VALUE(CB_ADDSTRING, 0x0143),
      QX_VALUE(CB_GETCURSEL, 0x0147),
      QX_VALUE(CB_GETLBTEXT, 0x0148),
      QX_VALUE(CB_INSERTSTRING, 0x014A),
      QX_VALUE(CB_RESETCONTENT, 0x014B),
      QX_VALUE(CB_SETCURSEL, 0x014E),
      QX_VALUE(CB_ERR, 0xFFFFFFFF),
      QX_VALUE(CBN_SELCHANGE, 1),
      QX_VALUE(DM_GETDEFID, 0x0400),
      QX_VALUE(DM_SETDEFID, 0x0401),
      // dialog codes, ids and message boxes
      QX_VALUE(DLGC_WANTARROWS, 0x0001),
      QX_VALUE(DLGC_WANTTAB, 0x0002),
      QX_VALUE(DLGC_WANTALLKEYS, 0x0004),
      QX_VALUE(DLGC_DEFPUSHBUTTON, 0x0010),
      QX_VALUE(DLGC_UNDEFPUSHBUTTON, 0x0020),
      QX_VALUE(DLGC_RADIOBUTTON, 0x0040),
      QX_VALUE(DLGC_WANTCHARS, 0x0080),
      QX_VALUE(DLGC_STATIC, 0x0100),
      QX_VALUE(DLGC_BUTTON, 0x2000),
      QX_VALUE(IDOK, 1),
      QX_VALUE(IDCANCEL, 2),
      QX_VALUE(IDYES, 6),
      QX_VALUE(IDNO, 7),
      QX_VALUE(IDHELP, 9),
      QX_VALUE(MB_OK, 0),
      QX_VALUE(MB_OKCANCEL, 1),
      QX_VALUE(MB_YESNO, 4),
      QX_VALUE(MB_ICONHAND, 0x10),
      QX_VALUE(MB_ICONQUESTION, 0x20),
      QX_VALUE(MB_ICONEXCLAMATION, 0x30),
      QX_VALUE(MB_ICONASTERISK, 0x40),
      // keys, queues, sends
      QX_VALUE(VK_BACK, 0x08),
      QX_VALUE(VK_TAB, 0x09),
      QX_VALUE(VK_RETURN, 0x0D),
      QX_VALUE(VK_SHIFT, 0x10),
      QX_VALUE(VK_CONTROL, 0x11),
      QX_VALUE(VK_MENU, 0x12),
      QX_VALUE(VK_ESCAPE, 0x1B),
      QX_VALUE(VK_SPACE, 0x20),
      QX_VALUE(VK_LEFT, 0x25),
      QX_VALUE(VK_UP, 0x26),
      QX_VALUE(VK_RIGHT, 0x27),
      QX_VALUE(VK_DOWN, 0x28),
      QX_VALUE(VK_INSERT, 0x2D),
      QX_VALUE(VK_DELETE, 0x2E),
      QX_VALUE(VK_F1, 0x70),
      QX_VALUE(PM_REMOVE, 1),
      QX_VALUE(SMTO_BLOCK, 1),
      QX_VALUE(SMTO_ABORTIFHUNG, 2),
      QX_VALUE(MK_LBUTTON, 1),
      QX_VALUE(MK_SHIFT, 4),
      QX_VALUE(GWL_STYLE, 0xFFFFFFF0),
      QX_VALUE(GWL_EXSTYLE, 0xFFFFFFEC),
      QX_VALUE(GWLP_WNDPROC, 0xFFFFFFFC),
      QX_VALUE(GWLP_USERDATA, 0xFFFFFFEB),
      QX_VALUE(GWLP_ID, 0xFFFFFFF4),
      QX_VALUE(DWLP_MSGRESULT, 0),
      QX_VALUE(DWLP_USER, k64 ? 16 : 8),
      QX_VALUE(CW_USEDEFAULT, 0x80000000),
      QX_VALUE(CF_TEXT, 1),
      QX_VALUE(GMEM_MOVEABLE, 0x0002),
      QX_VALUE(GMEM_ZEROINIT, 0x0040),
      QX_VALUE(GHND, 0x0042),
      QX_VALUE(GPTR, 0x0040),
      QX_VALUE(ERROR_NOT_LOCKED, 158),
      QX_VALUE(ERROR_CLIPBOARD_NOT_OPEN, 1418),
      QX_VALUE(ICON_BIG, 1),
      QX_VALUE(ICON_SMALL, 0),
      // system colours and metrics
      QX_VALUE(COLOR_WINDOW, 5),
      QX_VALUE(COLOR_WINDOWTEXT, 8),
      QX_VALUE(COLOR_HIGHLIGHT, 13),
      QX_VALUE(COLOR_HIGHLIGHTTEXT, 14),
      QX_VALUE(COLOR_BTNFACE, 15),
      QX_VALUE(COLOR_BTNSHADOW, 16),
      QX_VALUE(COLOR_GRAYTEXT, 17),
      QX_VALUE(COLOR_BTNTEXT, 18),
      QX_VALUE(COLOR_BTNHIGHLIGHT, 20),
      QX_VALUE(COLOR_3DDKSHADOW, 21),
      QX_VALUE(COLOR_INFOBK, 24),
      QX_VALUE(COLOR_HOTLIGHT, 26),
      QX_VALUE(SM_CXSCREEN, 0),
      QX_VALUE(SM_CYSCREEN, 1),
      QX_VALUE(SM_CYCAPTION, 4),
      QX_VALUE(SM_CXICON, 11),
      QX_VALUE(SM_CXSMICON, 49),
      QX_VALUE(DT_CENTER, 1),
      QX_VALUE(DT_VCENTER, 4),
      QX_VALUE(DT_SINGLELINE, 0x20),
      QX_VALUE(DT_CALCRECT, 0x0400),
      QX_VALUE(DT_NOPREFIX, 0x0800),
      // resources
      QX_VALUE(IMAGE_BITMAP, 0),
      QX_VALUE(IMAGE_ICON, 1),
      QX_VALUE(IMAGE_CURSOR, 2),
      QX_VALUE(LR_DEFAULTSIZE, 0x40),
      QX_VALUE(LR_CREATEDIBSECTION, 0x2000),
      QX_VALUE(LR_SHARED, 0x8000),
      // GDI
      QX_VALUE(SRCCOPY, 0x00CC0020),
      QX_VALUE(SRCPAINT, 0x00EE0086),
      QX_VALUE(SRCAND, 0x008800C6),
      QX_VALUE(SRCINVERT, 0x00660046),
      QX_VALUE(PATCOPY, 0x00F00021),
      QX_VALUE(BLACKNESS, 0x00000042),
      QX_VALUE(WHITENESS, 0x00FF0062),
      QX_VALUE(DSTINVERT, 0x00550009),
      QX_VALUE(R2_COPYPEN, 13),
      QX_VALUE(TRANSPARENT, 1),
      QX_VALUE(OPAQUE, 2),
      QX_VALUE(WHITE_BRUSH, 0),
      QX_VALUE(BLACK_BRUSH, 4),
      QX_VALUE(NULL_BRUSH, 5),
      QX_VALUE(WHITE_PEN, 6),
      QX_VALUE(BLACK_PEN, 7),
      QX_VALUE(NULL_PEN, 8),
      QX_VALUE(ANSI_VAR_FONT, 12),
      QX_VALUE(SYSTEM_FONT, 13),
      QX_VALUE(DEFAULT_GUI_FONT, 17),
      QX_VALUE(PS_SOLID, 0),
      QX_VALUE(PS_NULL, 5),
      QX_VALUE(PS_ENDCAP_SQUARE, 0x0100),
      QX_VALUE(PS_ENDCAP_FLAT, 0x0200),
      QX_VALUE(PS_GEOMETRIC, 0x00010000),
      QX_VALUE(BS_SOLID, 0),
      QX_VALUE(BS_NULL, 1),
      QX_VALUE(FW_NORMAL, 400),
      QX_VALUE(FW_SEMIBOLD, 600),
      QX_VALUE(FW_BOLD, 700),
      QX_VALUE(ETO_OPAQUE, 2),
      QX_VALUE(ETO_CLIPPED, 4),
      QX_VALUE(OBJ_PEN, 1),
      QX_VALUE(OBJ_BRUSH, 2),
      QX_VALUE(OBJ_FONT, 6),
      QX_VALUE(OBJ_BITMAP, 7),
      QX_VALUE(OBJ_EXTPEN, 11),
      QX_VALUE(BI_RGB, 0),
      QX_VALUE(LOGPIXELSY, 90),
      // common controls
      QX_VALUE(UDM_SETRANGE, 0x0465),
      QX_VALUE(UDM_SETPOS, 0x0467),
      QX_VALUE(UDM_GETPOS, 0x0468),
      QX_VALUE(UDM_SETBUDDY, 0x0469),
      QX_VALUE(UDS_SETBUDDYINT, 0x02),
      QX_VALUE(UDS_ALIGNRIGHT, 0x04),
      QX_VALUE(UDS_AUTOBUDDY, 0x10),
      QX_VALUE(UDS_ARROWKEYS, 0x20),
      QX_VALUE(UDN_DELTAPOS, 0xFFFFFD2E),
      QX_VALUE(TBM_GETPOS, 0x0400),
      QX_VALUE(TBM_SETPOS, 0x0405),
      QX_VALUE(TBM_SETRANGE, 0x0406),
      QX_VALUE(TBM_SETTICFREQ, 0x0414),
      QX_VALUE(TBS_AUTOTICKS, 1),
      QX_VALUE(TB_THUMBTRACK, 5),
      QX_VALUE(TB_ENDTRACK, 8),
      QX_VALUE(TTM_ADDTOOLA, 0x0404),
      QX_VALUE(TTM_RELAYEVENT, 0x0407),
      QX_VALUE(TTM_UPDATETIPTEXTA, 0x040C),
      QX_VALUE(TTF_IDISHWND, 1),
      QX_VALUE(TTF_SUBCLASS, 0x10),
      QX_VALUE(TTS_ALWAYSTIP, 1),
      QX_VALUE(TCM_FIRST, 0x1300),
      QX_VALUE(TCM_INSERTITEMA, 0x1307),
      QX_VALUE(TCM_GETCURSEL, 0x130B),
      QX_VALUE(TCM_SETCURSEL, 0x130C),
      QX_VALUE(TCM_ADJUSTRECT, 0x1328),
      QX_VALUE(TCN_SELCHANGE, 0xFFFFFDD9),
      QX_VALUE(TCN_SELCHANGING, 0xFFFFFDD8),
      QX_VALUE(NM_CLICK, 0xFFFFFFFE),
      // property sheets
      QX_VALUE(PSM_SETCURSEL, 0x0465),
      QX_VALUE(PSM_CHANGED, 0x0468),
      QX_VALUE(PSM_CANCELTOCLOSE, 0x046B),
      QX_VALUE(PSM_APPLY, 0x046E),
      QX_VALUE(PSM_PRESSBUTTON, 0x0471),
      QX_VALUE(PSM_GETTABCONTROL, 0x0474),
      QX_VALUE(PSM_GETCURRENTPAGEHWND, 0x0476),
      QX_VALUE(PSN_SETACTIVE, 0xFFFFFF38),
      QX_VALUE(PSN_KILLACTIVE, 0xFFFFFF37),
      QX_VALUE(PSN_APPLY, 0xFFFFFF36),
      QX_VALUE(PSN_RESET, 0xFFFFFF35),
      QX_VALUE(PSN_QUERYCANCEL, 0xFFFFFF2F),
      QX_VALUE(PSP_USETITLE, 0x08),
      QX_VALUE(PSP_USECALLBACK, 0x80),
      QX_VALUE(PSH_PROPSHEETPAGE, 0x08),
      QX_VALUE(PSH_NOAPPLYNOW, 0x80),
      QX_VALUE(PSH_USECALLBACK, 0x100),
      QX_VALUE(PSH_HASHELP, 0x200),
      QX_VALUE(PSH_MODELESS, 0x400),
      QX_VALUE(PSCB_INITIALIZED, 1),
      QX_VALUE(PSCB_PRECREATE, 2),
      QX_VALUE(PSNRET_INVALID_NOCHANGEPAGE, 2),
      // device broadcasts
      QX_VALUE(DBT_DEVICEARRIVAL, 0x8000),
      QX_VALUE(DBT_DEVICEREMOVECOMPLETE, 0x8004),
      QX_VALUE(DBT_DEVTYP_DEVICEINTERFACE, 5),
      QX_VALUE(DEVICE_NOTIFY_WINDOW_HANDLE, 0),
  };
  for (const Value& v : values) {
    EXPECT_EQ(v.actual, v.expected) << v.name;
  }
}

TEST(WindowsHeaders, RecordsHaveWindowsLayouts) {
  struct Layout {
    const char* what;
    size_t actual;
    size_t expected64;
    size_t expected32;
  } layouts[] = {
      {"POINT", sizeof(POINT), 8, 8},
      {"RECT", sizeof(RECT), 16, 16},
      {"SIZE", sizeof(SIZE), 8, 8},
      {"MSG", sizeof(MSG), 48, 28},
      {"MSG.pt", offsetof(MSG, pt), 36, 20},
      {"WNDCLASSA", sizeof(WNDCLASSA), 72, 40},
      {"WNDCLASSEXA", sizeof(WNDCLASSEXA), 80, 48},
      {"CREATESTRUCTA", sizeof(CREATESTRUCTA), 80, 48},
      {"WINDOWPOS", sizeof(WINDOWPOS), 40, 28},
      {"WINDOWPOS.flags", offsetof(WINDOWPOS, flags), 32, 24},
      {"PAINTSTRUCT", sizeof(PAINTSTRUCT), 72, 64},
      {"PAINTSTRUCT.rcPaint", offsetof(PAINTSTRUCT, rcPaint), 12, 8},
      {"DRAWITEMSTRUCT", sizeof(DRAWITEMSTRUCT), 64, 48},
      {"DLGTEMPLATE", sizeof(DLGTEMPLATE), 18, 18},
      {"DLGITEMTEMPLATE", sizeof(DLGITEMTEMPLATE), 18, 18},
      {"LOGFONTA", sizeof(LOGFONTA), 60, 60},
      {"LOGFONTA.lfFaceName", offsetof(LOGFONTA, lfFaceName), 28, 28},
      {"LOGBRUSH", sizeof(LOGBRUSH), 16, 12},
      {"LOGPEN", sizeof(LOGPEN), 16, 16},
      {"EXTLOGPEN", sizeof(EXTLOGPEN), 32, 28},
      {"BITMAP", sizeof(BITMAP), 32, 24},
      {"BITMAPINFOHEADER", sizeof(BITMAPINFOHEADER), 40, 40},
      {"BITMAPFILEHEADER", sizeof(BITMAPFILEHEADER), 14, 14},
      {"TEXTMETRICA", sizeof(TEXTMETRICA), 56, 56},
      {"NMHDR", sizeof(NMHDR), 24, 12},
      {"NMHDR.code", offsetof(NMHDR, code), 16, 8},
      {"NMUPDOWN", sizeof(NMUPDOWN), 32, 20},
      {"NMUPDOWN.iDelta", offsetof(NMUPDOWN, iDelta), 28, 16},
      {"TOOLINFOA", sizeof(TOOLINFOA), 72, 48},
      {"TCITEMA", sizeof(TCITEMA), 40, 28},
      {"PROPSHEETPAGEA", sizeof(PROPSHEETPAGEA), 104, 56},
      {"PROPSHEETPAGEA.lParam", offsetof(PROPSHEETPAGEA, lParam), 48, 28},
      {"PROPSHEETHEADERA", sizeof(PROPSHEETHEADERA), 96, 52},
      {"PROPSHEETHEADERA.ppsp", offsetof(PROPSHEETHEADERA, ppsp), 56, 32},
      {"PSHNOTIFY", sizeof(PSHNOTIFY), 32, 16},
      {"DEV_BROADCAST_HDR", sizeof(DEV_BROADCAST_HDR), 12, 12},
      {"DEV_BROADCAST_DEVICEINTERFACE_A", sizeof(DEV_BROADCAST_DEVICEINTERFACE_A), 32, 32},
      {"DEV_BROADCAST_DEVICEINTERFACE_A.dbcc_name", offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name), 28, 28},
  };
  for (const Layout& l : layouts) {
    EXPECT_EQ(l.actual, k64 ? l.expected64 : l.expected32) << l.what;
  }
}

TEST(WindowsHeaders, HandlesOfDifferentKindsDoNotConvertButEachIsAGdiObject) {
  static_assert(!std::is_convertible_v<HBRUSH, HPEN> && !std::is_convertible_v<HPEN, HFONT>);
  static_assert(!std::is_convertible_v<HBITMAP, HDC> && !std::is_convertible_v<HWND, HDC>);
  static_assert(!std::is_convertible_v<HICON, HBITMAP> && !std::is_convertible_v<HRGN, HBRUSH>);
  static_assert(std::is_convertible_v<HBRUSH, HGDIOBJ> && std::is_convertible_v<HPEN, HGDIOBJ> &&
                std::is_convertible_v<HFONT, HGDIOBJ> && std::is_convertible_v<HBITMAP, HGDIOBJ>);
  static_assert(std::is_same_v<HCURSOR, HICON> && std::is_same_v<HMODULE, HINSTANCE>);
  static_assert(sizeof(WPARAM) == sizeof(void*) && sizeof(LPARAM) == sizeof(void*) && sizeof(LRESULT) == sizeof(void*));
  static_assert(std::is_unsigned_v<WPARAM> && std::is_signed_v<LPARAM> && std::is_signed_v<LRESULT>);
}

TEST(WindowsHeaders, AnIntegerResourceNameTravelsInThePointersLowWord) {
  EXPECT_EQ(reinterpret_cast<ULONG_PTR>(MAKEINTRESOURCEA(170)), 170u);
  EXPECT_TRUE(IS_INTRESOURCE(MAKEINTRESOURCEA(0xFFFF)));
  EXPECT_TRUE(IS_INTRESOURCE(nullptr));
  const char named[] = "LOGO";
  EXPECT_FALSE(IS_INTRESOURCE(named));
  const struct {
    const char* what;
    LPCSTR name;
    ULONG_PTR id;
  } kinds[] = {{"RT_CURSOR", RT_CURSOR, 1},
               {"RT_BITMAP", RT_BITMAP, 2},
               {"RT_ICON", RT_ICON, 3},
               {"RT_MENU", RT_MENU, 4},
               {"RT_DIALOG", RT_DIALOG, 5},
               {"RT_STRING", RT_STRING, 6},
               {"RT_RCDATA", RT_RCDATA, 10},
               {"RT_GROUP_CURSOR", RT_GROUP_CURSOR, 12},
               {"RT_GROUP_ICON", RT_GROUP_ICON, 14},
               {"RT_VERSION", RT_VERSION, 16},
               {"IDC_ARROW", IDC_ARROW, 32512},
               {"IDC_IBEAM", IDC_IBEAM, 32513},
               {"IDC_WAIT", IDC_WAIT, 32514},
               {"IDC_HAND", IDC_HAND, 32649},
               {"IDI_APPLICATION", IDI_APPLICATION, 32512}};
  for (const auto& k : kinds) {
    EXPECT_TRUE(IS_INTRESOURCE(k.name)) << k.what;
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(k.name), k.id) << k.what;
  }
}

TEST(WindowsHeaders, PackedParametersSplitAsWindowsSplitsThem) {
  EXPECT_EQ(LOWORD(0x12345678u), 0x5678);
  EXPECT_EQ(HIWORD(0x12345678u), 0x1234);
  EXPECT_EQ(MAKELONG(0x5678, 0x1234), 0x12345678);
  EXPECT_EQ(MAKEWPARAM(IDOK, BN_CLICKED), WPARAM{IDOK});
  EXPECT_EQ(HIWORD(MAKEWPARAM(1017, CBN_SELCHANGE)), CBN_SELCHANGE);
  EXPECT_EQ(MAKELPARAM(0, 10), LPARAM{0x000A0000});
  // Mouse coordinates are signed: a point left of or above a window comes back negative.
  const LPARAM point = MAKELPARAM(static_cast<WORD>(-3), 7);
  EXPECT_EQ(GET_X_LPARAM(point), -3);
  EXPECT_EQ(GET_Y_LPARAM(point), 7);
  EXPECT_EQ(MAKEPOINTS(point).x, -3);
  EXPECT_EQ(MAKEPOINTS(point).y, 7);
  EXPECT_EQ(RGB(255, 0, 0), 0x0000FFu);
  EXPECT_EQ(RGB(0, 0, 238), 0xEE0000u);
  EXPECT_EQ(RGB(85, 26, 139), 0x8B1A55u);
  EXPECT_EQ(GetRValue(0x8B1A55), 85);
  EXPECT_EQ(GetGValue(0x8B1A55), 26);
  EXPECT_EQ(GetBValue(0x8B1A55), 139);
}

// A class library names members after Win32 calls; a macro of the same name would rename them.
struct MemberNames {
  int MessageBox(LPCSTR, LPCSTR, UINT) { return 1; }
  LRESULT SendMessage(UINT, WPARAM, LPARAM) { return 2; }
  BOOL PostMessage(UINT, WPARAM, LPARAM) { return 3; }
  int GetWindowText(LPSTR, int) { return 4; }
  void SetWindowText(LPCSTR) {}
  BOOL LoadString(UINT) { return 5; }
  HICON LoadIcon(UINT) { return nullptr; }
  BOOL LoadBitmap(UINT) { return 6; }
  int GetObject(int, LPVOID) { return 7; }
  BOOL CreateFontIndirect(const LOGFONTA*) { return 8; }
  BOOL TextOut(int, int, LPCSTR, int) { return 9; }
  int DrawText(LPCSTR, int, LPRECT, UINT) { return 10; }
  HANDLE CreateEvent() { return nullptr; }
};

TEST(WindowsHeaders, UnsuffixedNamesAreFunctionsThatLeaveMembersTheirNames) {
  MemberNames m;
  EXPECT_EQ(m.MessageBox("", "", MB_OK), 1);
  EXPECT_EQ(m.SendMessage(WM_NULL, 0, 0), 2);
  EXPECT_EQ(m.PostMessage(WM_NULL, 0, 0), 3);
  EXPECT_EQ(m.GetWindowText(nullptr, 0), 4);
  EXPECT_EQ(m.LoadString(1), 5);
  EXPECT_EQ(m.LoadBitmap(1), 6);
  EXPECT_EQ(m.GetObject(0, nullptr), 7);
  EXPECT_EQ(m.CreateFontIndirect(nullptr), 8);
  EXPECT_EQ(m.TextOut(0, 0, "", 0), 9);
  EXPECT_EQ(m.DrawText("", 0, nullptr, 0), 10);
  static_assert(std::is_same_v<decltype(&::MessageBox), int (*)(HWND, LPCSTR, LPCSTR, UINT)>);
  static_assert(std::is_same_v<decltype(&::SendMessage), LRESULT (*)(HWND, UINT, WPARAM, LPARAM)>);
  static_assert(std::is_same_v<decltype(&::LoadString), int (*)(HINSTANCE, UINT, LPSTR, int)>);
  static_assert(std::is_same_v<decltype(&::GetObject), int (*)(HANDLE, int, LPVOID)>);
  static_assert(std::is_same_v<decltype(&::CreateEvent), HANDLE (*)(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCSTR)>);
  static_assert(std::is_same_v<decltype(&::PropertySheet), INT_PTR (*)(LPCPROPSHEETHEADERA)>);
}

}  // namespace
