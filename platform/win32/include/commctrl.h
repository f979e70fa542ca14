// The common controls (comctl32): up-down, trackbar, tooltip and tab controls, the notification
// header they share, and property sheets.
#pragma once

#include <cstddef>

#include "winuser.h"

// Class names of the controls
inline constexpr char UPDOWN_CLASSA[] = "msctls_updown32";
inline constexpr char TRACKBAR_CLASSA[] = "msctls_trackbar32";
inline constexpr char TOOLTIPS_CLASSA[] = "tooltips_class32";
inline constexpr char WC_TABCONTROLA[] = "SysTabControl32";
inline constexpr char WC_BUTTONA[] = "Button";
inline constexpr char WC_STATICA[] = "Static";
inline constexpr char WC_EDITA[] = "Edit";
inline constexpr char WC_LISTBOXA[] = "ListBox";
inline constexpr char WC_COMBOBOXA[] = "ComboBox";
inline constexpr char WC_SCROLLBARA[] = "ScrollBar";
inline constexpr const char* UPDOWN_CLASS = UPDOWN_CLASSA;
inline constexpr const char* TRACKBAR_CLASS = TRACKBAR_CLASSA;
inline constexpr const char* TOOLTIPS_CLASS = TOOLTIPS_CLASSA;
inline constexpr const char* WC_TABCONTROL = WC_TABCONTROLA;

struct INITCOMMONCONTROLSEX {
  DWORD dwSize;
  DWORD dwICC;
};
using LPINITCOMMONCONTROLSEX = INITCOMMONCONTROLSEX*;
static_assert(sizeof(INITCOMMONCONTROLSEX) == 8);
constexpr DWORD ICC_LISTVIEW_CLASSES = 0x00000001;
constexpr DWORD ICC_TREEVIEW_CLASSES = 0x00000002;
constexpr DWORD ICC_BAR_CLASSES = 0x00000004;  // toolbar, status bar, trackbar, tooltips
constexpr DWORD ICC_TAB_CLASSES = 0x00000008;  // tab control, tooltips
constexpr DWORD ICC_UPDOWN_CLASS = 0x00000010;
constexpr DWORD ICC_PROGRESS_CLASS = 0x00000020;
constexpr DWORD ICC_HOTKEY_CLASS = 0x00000040;
constexpr DWORD ICC_ANIMATE_CLASS = 0x00000080;
constexpr DWORD ICC_WIN95_CLASSES = 0x000000FF;
constexpr DWORD ICC_DATE_CLASSES = 0x00000100;
constexpr DWORD ICC_USEREX_CLASSES = 0x00000200;
constexpr DWORD ICC_COOL_CLASSES = 0x00000400;
constexpr DWORD ICC_STANDARD_CLASSES = 0x00004000;
void InitCommonControls();
BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX* picce);

// WM_NOTIFY: every notification starts with this header.
struct NMHDR {
  HWND hwndFrom;
  UINT_PTR idFrom;
  UINT code;
};
using LPNMHDR = NMHDR*;
static_assert(sizeof(NMHDR) == 3 * sizeof(void*) && offsetof(NMHDR, idFrom) == sizeof(void*) &&
              offsetof(NMHDR, code) == 2 * sizeof(void*));

// Notification codes, each control kind in its own range below zero
constexpr UINT NM_FIRST = 0U - 0U;
constexpr UINT NM_OUTOFMEMORY = NM_FIRST - 1;
constexpr UINT NM_CLICK = NM_FIRST - 2;
constexpr UINT NM_DBLCLK = NM_FIRST - 3;
constexpr UINT NM_RETURN = NM_FIRST - 4;
constexpr UINT NM_RCLICK = NM_FIRST - 5;
constexpr UINT NM_RDBLCLK = NM_FIRST - 6;
constexpr UINT NM_SETFOCUS = NM_FIRST - 7;
constexpr UINT NM_KILLFOCUS = NM_FIRST - 8;
constexpr UINT NM_CUSTOMDRAW = NM_FIRST - 12;
constexpr UINT NM_HOVER = NM_FIRST - 13;
constexpr UINT PSN_FIRST = 0U - 200U;
constexpr UINT PSN_LAST = 0U - 299U;
constexpr UINT TTN_FIRST = 0U - 520U;
constexpr UINT TTN_LAST = 0U - 549U;
constexpr UINT TCN_FIRST = 0U - 550U;
constexpr UINT TCN_LAST = 0U - 580U;
constexpr UINT UDN_FIRST = 0U - 721U;
constexpr UINT UDN_LAST = 0U - 729U;

// Up-down control
constexpr DWORD UDS_WRAP = 0x0001;
constexpr DWORD UDS_SETBUDDYINT = 0x0002;
constexpr DWORD UDS_ALIGNRIGHT = 0x0004;
constexpr DWORD UDS_ALIGNLEFT = 0x0008;
constexpr DWORD UDS_AUTOBUDDY = 0x0010;
constexpr DWORD UDS_ARROWKEYS = 0x0020;
constexpr DWORD UDS_HORZ = 0x0040;
constexpr DWORD UDS_NOTHOUSANDS = 0x0080;
constexpr DWORD UDS_HOTTRACK = 0x0100;
constexpr int UD_MAXVAL = 0x7FFF;
constexpr int UD_MINVAL = -UD_MAXVAL;
constexpr UINT UDM_SETRANGE = WM_USER + 101;
constexpr UINT UDM_GETRANGE = WM_USER + 102;
constexpr UINT UDM_SETPOS = WM_USER + 103;
constexpr UINT UDM_GETPOS = WM_USER + 104;
constexpr UINT UDM_SETBUDDY = WM_USER + 105;
constexpr UINT UDM_GETBUDDY = WM_USER + 106;
constexpr UINT UDM_SETACCEL = WM_USER + 107;
constexpr UINT UDM_GETACCEL = WM_USER + 108;
constexpr UINT UDM_SETBASE = WM_USER + 109;
constexpr UINT UDM_GETBASE = WM_USER + 110;
constexpr UINT UDM_SETRANGE32 = WM_USER + 111;
constexpr UINT UDM_GETRANGE32 = WM_USER + 112;
constexpr UINT UDM_SETPOS32 = WM_USER + 113;
constexpr UINT UDM_GETPOS32 = WM_USER + 114;
// Sent before a step: a nonzero answer vetoes it.
constexpr UINT UDN_DELTAPOS = UDN_FIRST - 1;
struct UDACCEL {
  UINT nSec;
  UINT nInc;
};
using LPUDACCEL = UDACCEL*;
static_assert(sizeof(UDACCEL) == 8);
struct NMUPDOWN {
  NMHDR hdr;
  int iPos;
  int iDelta;
};
using LPNMUPDOWN = NMUPDOWN*;
using NM_UPDOWN = NMUPDOWN;
static_assert(sizeof(NMUPDOWN) == sizeof(NMHDR) + 8 && offsetof(NMUPDOWN, iPos) == sizeof(NMHDR) &&
              offsetof(NMUPDOWN, iDelta) == sizeof(NMHDR) + 4);
static_assert(sizeof(NMUPDOWN) == (sizeof(void*) == 8 ? 32 : 20));

// Trackbar
constexpr DWORD TBS_AUTOTICKS = 0x0001;
constexpr DWORD TBS_VERT = 0x0002;
constexpr DWORD TBS_HORZ = 0x0000;
constexpr DWORD TBS_TOP = 0x0004;
constexpr DWORD TBS_BOTTOM = 0x0000;
constexpr DWORD TBS_LEFT = 0x0004;
constexpr DWORD TBS_RIGHT = 0x0000;
constexpr DWORD TBS_BOTH = 0x0008;
constexpr DWORD TBS_NOTICKS = 0x0010;
constexpr DWORD TBS_ENABLESELRANGE = 0x0020;
constexpr DWORD TBS_FIXEDLENGTH = 0x0040;
constexpr DWORD TBS_NOTHUMB = 0x0080;
constexpr DWORD TBS_TOOLTIPS = 0x0100;
constexpr DWORD TBS_REVERSED = 0x0200;
constexpr DWORD TBS_DOWNISLEFT = 0x0400;
constexpr UINT TBM_GETPOS = WM_USER;
constexpr UINT TBM_GETRANGEMIN = WM_USER + 1;
constexpr UINT TBM_GETRANGEMAX = WM_USER + 2;
constexpr UINT TBM_GETTIC = WM_USER + 3;
constexpr UINT TBM_SETTIC = WM_USER + 4;
constexpr UINT TBM_SETPOS = WM_USER + 5;
constexpr UINT TBM_SETRANGE = WM_USER + 6;
constexpr UINT TBM_SETRANGEMIN = WM_USER + 7;
constexpr UINT TBM_SETRANGEMAX = WM_USER + 8;
constexpr UINT TBM_CLEARTICS = WM_USER + 9;
constexpr UINT TBM_SETSEL = WM_USER + 10;
constexpr UINT TBM_SETSELSTART = WM_USER + 11;
constexpr UINT TBM_SETSELEND = WM_USER + 12;
constexpr UINT TBM_GETPTICS = WM_USER + 14;
constexpr UINT TBM_GETTICPOS = WM_USER + 15;
constexpr UINT TBM_GETNUMTICS = WM_USER + 16;
constexpr UINT TBM_GETSELSTART = WM_USER + 17;
constexpr UINT TBM_GETSELEND = WM_USER + 18;
constexpr UINT TBM_CLEARSEL = WM_USER + 19;
constexpr UINT TBM_SETTICFREQ = WM_USER + 20;
constexpr UINT TBM_SETPAGESIZE = WM_USER + 21;
constexpr UINT TBM_GETPAGESIZE = WM_USER + 22;
constexpr UINT TBM_SETLINESIZE = WM_USER + 23;
constexpr UINT TBM_GETLINESIZE = WM_USER + 24;
constexpr UINT TBM_GETTHUMBRECT = WM_USER + 25;
constexpr UINT TBM_GETCHANNELRECT = WM_USER + 26;
constexpr UINT TBM_SETTHUMBLENGTH = WM_USER + 27;
constexpr UINT TBM_GETTHUMBLENGTH = WM_USER + 28;
constexpr UINT TBM_SETTOOLTIPS = WM_USER + 29;
constexpr UINT TBM_GETTOOLTIPS = WM_USER + 30;
constexpr UINT TBM_SETTIPSIDE = WM_USER + 31;
constexpr UINT TBM_SETBUDDY = WM_USER + 32;
constexpr UINT TBM_GETBUDDY = WM_USER + 33;
// The scroll codes a trackbar sends in WM_HSCROLL and WM_VSCROLL
constexpr WORD TB_LINEUP = 0;
constexpr WORD TB_LINEDOWN = 1;
constexpr WORD TB_PAGEUP = 2;
constexpr WORD TB_PAGEDOWN = 3;
constexpr WORD TB_THUMBPOSITION = 4;
constexpr WORD TB_THUMBTRACK = 5;
constexpr WORD TB_TOP = 6;
constexpr WORD TB_BOTTOM = 7;
constexpr WORD TB_ENDTRACK = 8;

// Tooltip
constexpr DWORD TTS_ALWAYSTIP = 0x01;
constexpr DWORD TTS_NOPREFIX = 0x02;
constexpr DWORD TTS_NOANIMATE = 0x10;
constexpr DWORD TTS_NOFADE = 0x20;
constexpr DWORD TTS_BALLOON = 0x40;
constexpr DWORD TTS_CLOSE = 0x80;
constexpr UINT TTF_IDISHWND = 0x0001;
constexpr UINT TTF_CENTERTIP = 0x0002;
constexpr UINT TTF_RTLREADING = 0x0004;
constexpr UINT TTF_SUBCLASS = 0x0010;
constexpr UINT TTF_TRACK = 0x0020;
constexpr UINT TTF_ABSOLUTE = 0x0080;
constexpr UINT TTF_TRANSPARENT = 0x0100;
constexpr UINT TTF_PARSELINKS = 0x1000;
constexpr UINT TTF_DI_SETITEM = 0x8000;
constexpr WPARAM TTDT_AUTOMATIC = 0;
constexpr WPARAM TTDT_RESHOW = 1;
constexpr WPARAM TTDT_AUTOPOP = 2;
constexpr WPARAM TTDT_INITIAL = 3;
constexpr UINT TTM_ACTIVATE = WM_USER + 1;
constexpr UINT TTM_SETDELAYTIME = WM_USER + 3;
constexpr UINT TTM_ADDTOOLA = WM_USER + 4;
constexpr UINT TTM_DELTOOLA = WM_USER + 5;
constexpr UINT TTM_NEWTOOLRECTA = WM_USER + 6;
constexpr UINT TTM_RELAYEVENT = WM_USER + 7;
constexpr UINT TTM_GETTOOLINFOA = WM_USER + 8;
constexpr UINT TTM_SETTOOLINFOA = WM_USER + 9;
constexpr UINT TTM_HITTESTA = WM_USER + 10;
constexpr UINT TTM_GETTEXTA = WM_USER + 11;
constexpr UINT TTM_UPDATETIPTEXTA = WM_USER + 12;
constexpr UINT TTM_GETTOOLCOUNT = WM_USER + 13;
constexpr UINT TTM_ENUMTOOLSA = WM_USER + 14;
constexpr UINT TTM_GETCURRENTTOOLA = WM_USER + 15;
constexpr UINT TTM_WINDOWFROMPOINT = WM_USER + 16;
constexpr UINT TTM_TRACKACTIVATE = WM_USER + 17;
constexpr UINT TTM_TRACKPOSITION = WM_USER + 18;
constexpr UINT TTM_SETTIPBKCOLOR = WM_USER + 19;
constexpr UINT TTM_SETTIPTEXTCOLOR = WM_USER + 20;
constexpr UINT TTM_GETDELAYTIME = WM_USER + 21;
constexpr UINT TTM_GETTIPBKCOLOR = WM_USER + 22;
constexpr UINT TTM_GETTIPTEXTCOLOR = WM_USER + 23;
constexpr UINT TTM_SETMAXTIPWIDTH = WM_USER + 24;
constexpr UINT TTM_GETMAXTIPWIDTH = WM_USER + 25;
constexpr UINT TTM_SETMARGIN = WM_USER + 26;
constexpr UINT TTM_GETMARGIN = WM_USER + 27;
constexpr UINT TTM_POP = WM_USER + 28;
constexpr UINT TTM_UPDATE = WM_USER + 29;
constexpr UINT TTM_ADDTOOL = TTM_ADDTOOLA;
constexpr UINT TTM_DELTOOL = TTM_DELTOOLA;
constexpr UINT TTM_NEWTOOLRECT = TTM_NEWTOOLRECTA;
constexpr UINT TTM_GETTOOLINFO = TTM_GETTOOLINFOA;
constexpr UINT TTM_SETTOOLINFO = TTM_SETTOOLINFOA;
constexpr UINT TTM_HITTEST = TTM_HITTESTA;
constexpr UINT TTM_GETTEXT = TTM_GETTEXTA;
constexpr UINT TTM_UPDATETIPTEXT = TTM_UPDATETIPTEXTA;
constexpr UINT TTN_GETDISPINFOA = TTN_FIRST - 0;
constexpr UINT TTN_SHOW = TTN_FIRST - 1;
constexpr UINT TTN_POP = TTN_FIRST - 2;
constexpr UINT TTN_NEEDTEXTA = TTN_GETDISPINFOA;
constexpr UINT TTN_GETDISPINFO = TTN_GETDISPINFOA;
constexpr UINT TTN_NEEDTEXT = TTN_NEEDTEXTA;
// A tool's text given as this asks its window for the text when shown.
#define LPSTR_TEXTCALLBACKA (reinterpret_cast<LPSTR>(static_cast<LONG_PTR>(-1)))

struct TTTOOLINFOA {
  UINT cbSize;
  UINT uFlags;
  HWND hwnd;
  UINT_PTR uId;
  RECT rect;
  HINSTANCE hinst;
  LPSTR lpszText;
  LPARAM lParam;
  void* lpReserved;
};
using PTOOLINFOA = TTTOOLINFOA*;
using LPTTTOOLINFOA = TTTOOLINFOA*;
using TOOLINFOA = TTTOOLINFOA;
using LPTOOLINFOA = TTTOOLINFOA*;
using TOOLINFO = TTTOOLINFOA;
using LPTOOLINFO = TTTOOLINFOA*;
// The sizes of the record's earlier versions, which a tooltip also accepts in cbSize.
constexpr UINT TTTOOLINFOA_V1_SIZE = offsetof(TTTOOLINFOA, lParam);
constexpr UINT TTTOOLINFOA_V2_SIZE = offsetof(TTTOOLINFOA, lpReserved);
constexpr UINT TTTOOLINFOA_V3_SIZE = sizeof(TTTOOLINFOA);
static_assert(sizeof(TTTOOLINFOA) == (sizeof(void*) == 8 ? 72 : 48));
static_assert(offsetof(TTTOOLINFOA, hwnd) == 8 && offsetof(TTTOOLINFOA, rect) == (sizeof(void*) == 8 ? 24 : 16) &&
              offsetof(TTTOOLINFOA, lpszText) == (sizeof(void*) == 8 ? 48 : 36));
static_assert(TTTOOLINFOA_V1_SIZE == (sizeof(void*) == 8 ? 56 : 40) &&
              TTTOOLINFOA_V2_SIZE == (sizeof(void*) == 8 ? 64 : 44));

// Tab control
constexpr DWORD TCS_SCROLLOPPOSITE = 0x0001;
constexpr DWORD TCS_BOTTOM = 0x0002;
constexpr DWORD TCS_RIGHT = 0x0002;
constexpr DWORD TCS_MULTISELECT = 0x0004;
constexpr DWORD TCS_FLATBUTTONS = 0x0008;
constexpr DWORD TCS_FORCEICONLEFT = 0x0010;
constexpr DWORD TCS_FORCELABELLEFT = 0x0020;
constexpr DWORD TCS_HOTTRACK = 0x0040;
constexpr DWORD TCS_VERTICAL = 0x0080;
constexpr DWORD TCS_TABS = 0x0000;
constexpr DWORD TCS_BUTTONS = 0x0100;
constexpr DWORD TCS_SINGLELINE = 0x0000;
constexpr DWORD TCS_MULTILINE = 0x0200;
constexpr DWORD TCS_RIGHTJUSTIFY = 0x0000;
constexpr DWORD TCS_FIXEDWIDTH = 0x0400;
constexpr DWORD TCS_RAGGEDRIGHT = 0x0800;
constexpr DWORD TCS_FOCUSONBUTTONDOWN = 0x1000;
constexpr DWORD TCS_OWNERDRAWFIXED = 0x2000;
constexpr DWORD TCS_TOOLTIPS = 0x4000;
constexpr DWORD TCS_FOCUSNEVER = 0x8000;
constexpr UINT TCM_FIRST = 0x1300;
constexpr UINT TCM_GETIMAGELIST = TCM_FIRST + 2;
constexpr UINT TCM_SETIMAGELIST = TCM_FIRST + 3;
constexpr UINT TCM_GETITEMCOUNT = TCM_FIRST + 4;
constexpr UINT TCM_GETITEMA = TCM_FIRST + 5;
constexpr UINT TCM_SETITEMA = TCM_FIRST + 6;
constexpr UINT TCM_INSERTITEMA = TCM_FIRST + 7;
constexpr UINT TCM_DELETEITEM = TCM_FIRST + 8;
constexpr UINT TCM_DELETEALLITEMS = TCM_FIRST + 9;
constexpr UINT TCM_GETITEMRECT = TCM_FIRST + 10;
constexpr UINT TCM_GETCURSEL = TCM_FIRST + 11;
constexpr UINT TCM_SETCURSEL = TCM_FIRST + 12;
constexpr UINT TCM_HITTEST = TCM_FIRST + 13;
constexpr UINT TCM_SETITEMEXTRA = TCM_FIRST + 14;
constexpr UINT TCM_ADJUSTRECT = TCM_FIRST + 40;
constexpr UINT TCM_SETITEMSIZE = TCM_FIRST + 41;
constexpr UINT TCM_REMOVEIMAGE = TCM_FIRST + 42;
constexpr UINT TCM_SETPADDING = TCM_FIRST + 43;
constexpr UINT TCM_GETROWCOUNT = TCM_FIRST + 44;
constexpr UINT TCM_GETTOOLTIPS = TCM_FIRST + 45;
constexpr UINT TCM_SETTOOLTIPS = TCM_FIRST + 46;
constexpr UINT TCM_GETCURFOCUS = TCM_FIRST + 47;
constexpr UINT TCM_SETCURFOCUS = TCM_FIRST + 48;
constexpr UINT TCM_SETMINTABWIDTH = TCM_FIRST + 49;
constexpr UINT TCM_DESELECTALL = TCM_FIRST + 50;
constexpr UINT TCM_HIGHLIGHTITEM = TCM_FIRST + 51;
constexpr UINT TCM_GETITEM = TCM_GETITEMA;
constexpr UINT TCM_SETITEM = TCM_SETITEMA;
constexpr UINT TCM_INSERTITEM = TCM_INSERTITEMA;
constexpr UINT TCN_KEYDOWN = TCN_FIRST - 0;
constexpr UINT TCN_SELCHANGE = TCN_FIRST - 1;
constexpr UINT TCN_SELCHANGING = TCN_FIRST - 2;
constexpr UINT TCN_FOCUSCHANGE = TCN_FIRST - 4;
constexpr UINT TCIF_TEXT = 0x0001;
constexpr UINT TCIF_IMAGE = 0x0002;
constexpr UINT TCIF_RTLREADING = 0x0004;
constexpr UINT TCIF_PARAM = 0x0008;
constexpr UINT TCIF_STATE = 0x0010;
struct TCITEMA {
  UINT mask;
  DWORD dwState;
  DWORD dwStateMask;
  LPSTR pszText;
  int cchTextMax;
  int iImage;
  LPARAM lParam;
};
using LPTCITEMA = TCITEMA*;
using TCITEM = TCITEMA;
using LPTCITEM = TCITEMA*;
static_assert(sizeof(TCITEMA) == (sizeof(void*) == 8 ? 40 : 28));
static_assert(offsetof(TCITEMA, pszText) == (sizeof(void*) == 8 ? 16 : 12) &&
              offsetof(TCITEMA, cchTextMax) == (sizeof(void*) == 8 ? 24 : 16) &&
              offsetof(TCITEMA, lParam) == (sizeof(void*) == 8 ? 32 : 24));

// Property sheets
struct HPROPSHEETPAGE__;
using HPROPSHEETPAGE = HPROPSHEETPAGE__*;
struct PROPSHEETPAGEA;
using LPFNPSPCALLBACKA = UINT(CALLBACK*)(HWND hwnd, UINT uMsg, PROPSHEETPAGEA* ppsp);
using PFNPROPSHEETCALLBACK = int(CALLBACK*)(HWND hwndDlg, UINT uMsg, LPARAM lParam);
using PROPSHEETPAGE_RESOURCE = LPCDLGTEMPLATEA;

constexpr DWORD PSP_DEFAULT = 0x00000000;
constexpr DWORD PSP_DLGINDIRECT = 0x00000001;
constexpr DWORD PSP_USEHICON = 0x00000002;
constexpr DWORD PSP_USEICONID = 0x00000004;
constexpr DWORD PSP_USETITLE = 0x00000008;
constexpr DWORD PSP_RTLREADING = 0x00000010;
constexpr DWORD PSP_HASHELP = 0x00000020;
constexpr DWORD PSP_USEREFPARENT = 0x00000040;
constexpr DWORD PSP_USECALLBACK = 0x00000080;
constexpr DWORD PSP_PREMATURE = 0x00000400;
constexpr DWORD PSP_HIDEHEADER = 0x00000800;
constexpr DWORD PSP_USEHEADERTITLE = 0x00001000;
constexpr DWORD PSP_USEHEADERSUBTITLE = 0x00002000;
constexpr UINT PSPCB_ADDREF = 0;
constexpr UINT PSPCB_RELEASE = 1;
constexpr UINT PSPCB_CREATE = 2;

struct PROPSHEETPAGEA {
  DWORD dwSize;
  DWORD dwFlags;
  HINSTANCE hInstance;
  union {
    LPCSTR pszTemplate;
    PROPSHEETPAGE_RESOURCE pResource;
  };
  union {
    HICON hIcon;
    LPCSTR pszIcon;
  };
  LPCSTR pszTitle;
  DLGPROC pfnDlgProc;
  LPARAM lParam;
  LPFNPSPCALLBACKA pfnCallback;
  UINT* pcRefParent;
  LPCSTR pszHeaderTitle;
  LPCSTR pszHeaderSubTitle;
  HANDLE hActCtx;
  union {
    HBITMAP hbmHeader;
    LPCSTR pszbmHeader;
  };
};
using LPPROPSHEETPAGEA = PROPSHEETPAGEA*;
using LPCPROPSHEETPAGEA = const PROPSHEETPAGEA*;
using PROPSHEETPAGE = PROPSHEETPAGEA;
using LPPROPSHEETPAGE = PROPSHEETPAGEA*;
using LPCPROPSHEETPAGE = const PROPSHEETPAGEA*;
// The sizes of the record's earlier versions, which a sheet also accepts in dwSize.
constexpr DWORD PROPSHEETPAGEA_V1_SIZE = offsetof(PROPSHEETPAGEA, pszHeaderTitle);
constexpr DWORD PROPSHEETPAGEA_V2_SIZE = offsetof(PROPSHEETPAGEA, hActCtx);
constexpr DWORD PROPSHEETPAGEA_V3_SIZE = offsetof(PROPSHEETPAGEA, hbmHeader);
constexpr DWORD PROPSHEETPAGEA_V4_SIZE = sizeof(PROPSHEETPAGEA);
static_assert(sizeof(PROPSHEETPAGEA) == (sizeof(void*) == 8 ? 104 : 56));
static_assert(offsetof(PROPSHEETPAGEA, hInstance) == 8 &&
              offsetof(PROPSHEETPAGEA, pszTemplate) == (sizeof(void*) == 8 ? 16 : 12) &&
              offsetof(PROPSHEETPAGEA, pfnDlgProc) == (sizeof(void*) == 8 ? 40 : 24) &&
              offsetof(PROPSHEETPAGEA, lParam) == (sizeof(void*) == 8 ? 48 : 28) &&
              offsetof(PROPSHEETPAGEA, pfnCallback) == (sizeof(void*) == 8 ? 56 : 32));
static_assert(PROPSHEETPAGEA_V1_SIZE == (sizeof(void*) == 8 ? 72 : 40) &&
              PROPSHEETPAGEA_V2_SIZE == (sizeof(void*) == 8 ? 88 : 48) &&
              PROPSHEETPAGEA_V3_SIZE == (sizeof(void*) == 8 ? 96 : 52));

constexpr DWORD PSH_DEFAULT = 0x00000000;
constexpr DWORD PSH_PROPTITLE = 0x00000001;
constexpr DWORD PSH_USEHICON = 0x00000002;
constexpr DWORD PSH_USEICONID = 0x00000004;
constexpr DWORD PSH_PROPSHEETPAGE = 0x00000008;
constexpr DWORD PSH_WIZARDHASFINISH = 0x00000010;
constexpr DWORD PSH_WIZARD = 0x00000020;
constexpr DWORD PSH_USEPSTARTPAGE = 0x00000040;
constexpr DWORD PSH_NOAPPLYNOW = 0x00000080;
constexpr DWORD PSH_USECALLBACK = 0x00000100;
constexpr DWORD PSH_HASHELP = 0x00000200;
constexpr DWORD PSH_MODELESS = 0x00000400;
constexpr DWORD PSH_RTLREADING = 0x00000800;
constexpr DWORD PSH_WIZARDCONTEXTHELP = 0x00001000;
constexpr DWORD PSH_WATERMARK = 0x00008000;
constexpr DWORD PSH_USEHBMWATERMARK = 0x00010000;
constexpr DWORD PSH_USEHPLWATERMARK = 0x00020000;
constexpr DWORD PSH_STRETCHWATERMARK = 0x00040000;
constexpr DWORD PSH_HEADER = 0x00080000;
constexpr DWORD PSH_USEHBMHEADER = 0x00100000;
constexpr DWORD PSH_USEPAGELANG = 0x00200000;
constexpr DWORD PSH_WIZARD97 = 0x01000000;
constexpr DWORD PSH_NOCONTEXTHELP = 0x02000000;
// The sheet's creation callback (PSH_USECALLBACK)
constexpr UINT PSCB_INITIALIZED = 1;
constexpr UINT PSCB_PRECREATE = 2;
constexpr UINT PSCB_BUTTONPRESSED = 3;

struct PROPSHEETHEADERA {
  DWORD dwSize;
  DWORD dwFlags;
  HWND hwndParent;
  HINSTANCE hInstance;
  union {
    HICON hIcon;
    LPCSTR pszIcon;
  };
  LPCSTR pszCaption;
  UINT nPages;
  union {
    UINT nStartPage;
    LPCSTR pStartPage;
  };
  union {
    LPCPROPSHEETPAGEA ppsp;
    HPROPSHEETPAGE* phpage;
  };
  PFNPROPSHEETCALLBACK pfnCallback;
  union {
    HBITMAP hbmWatermark;
    LPCSTR pszbmWatermark;
  };
  HPALETTE hplWatermark;
  union {
    HBITMAP hbmHeader;
    LPCSTR pszbmHeader;
  };
};
using LPPROPSHEETHEADERA = PROPSHEETHEADERA*;
using LPCPROPSHEETHEADERA = const PROPSHEETHEADERA*;
using PROPSHEETHEADER = PROPSHEETHEADERA;
using LPPROPSHEETHEADER = PROPSHEETHEADERA*;
using LPCPROPSHEETHEADER = const PROPSHEETHEADERA*;
constexpr DWORD PROPSHEETHEADERA_V1_SIZE = offsetof(PROPSHEETHEADERA, hbmWatermark);
constexpr DWORD PROPSHEETHEADERA_V2_SIZE = sizeof(PROPSHEETHEADERA);
static_assert(sizeof(PROPSHEETHEADERA) == (sizeof(void*) == 8 ? 96 : 52));
static_assert(offsetof(PROPSHEETHEADERA, hwndParent) == 8 &&
              offsetof(PROPSHEETHEADERA, pszCaption) == (sizeof(void*) == 8 ? 32 : 20) &&
              offsetof(PROPSHEETHEADERA, nPages) == (sizeof(void*) == 8 ? 40 : 24) &&
              offsetof(PROPSHEETHEADERA, nStartPage) == (sizeof(void*) == 8 ? 48 : 28) &&
              offsetof(PROPSHEETHEADERA, ppsp) == (sizeof(void*) == 8 ? 56 : 32) &&
              offsetof(PROPSHEETHEADERA, pfnCallback) == (sizeof(void*) == 8 ? 64 : 36));
static_assert(PROPSHEETHEADERA_V1_SIZE == (sizeof(void*) == 8 ? 72 : 40));

// Property-sheet notifications (WM_NOTIFY to a page) and their answers
constexpr UINT PSN_SETACTIVE = PSN_FIRST - 0;
constexpr UINT PSN_KILLACTIVE = PSN_FIRST - 1;
constexpr UINT PSN_APPLY = PSN_FIRST - 2;
constexpr UINT PSN_RESET = PSN_FIRST - 3;
constexpr UINT PSN_HELP = PSN_FIRST - 5;
constexpr UINT PSN_WIZBACK = PSN_FIRST - 6;
constexpr UINT PSN_WIZNEXT = PSN_FIRST - 7;
constexpr UINT PSN_WIZFINISH = PSN_FIRST - 8;
constexpr UINT PSN_QUERYCANCEL = PSN_FIRST - 9;
constexpr UINT PSN_GETOBJECT = PSN_FIRST - 10;
constexpr UINT PSN_TRANSLATEACCELERATOR = PSN_FIRST - 12;
constexpr UINT PSN_QUERYINITIALFOCUS = PSN_FIRST - 13;
constexpr LRESULT PSNRET_NOERROR = 0;
constexpr LRESULT PSNRET_INVALID = 1;
constexpr LRESULT PSNRET_INVALID_NOCHANGEPAGE = 2;
constexpr LRESULT PSNRET_MESSAGEHANDLED = 3;
struct PSHNOTIFY {
  NMHDR hdr;
  LPARAM lParam;
};
using LPPSHNOTIFY = PSHNOTIFY*;
static_assert(sizeof(PSHNOTIFY) == 4 * sizeof(void*) && offsetof(PSHNOTIFY, lParam) == sizeof(NMHDR));

// Property-sheet messages (to the sheet)
constexpr UINT PSM_SETCURSEL = WM_USER + 101;
constexpr UINT PSM_REMOVEPAGE = WM_USER + 102;
constexpr UINT PSM_ADDPAGE = WM_USER + 103;
constexpr UINT PSM_CHANGED = WM_USER + 104;
constexpr UINT PSM_RESTARTWINDOWS = WM_USER + 105;
constexpr UINT PSM_REBOOTSYSTEM = WM_USER + 106;
constexpr UINT PSM_CANCELTOCLOSE = WM_USER + 107;
constexpr UINT PSM_QUERYSIBLINGS = WM_USER + 108;
constexpr UINT PSM_UNCHANGED = WM_USER + 109;
constexpr UINT PSM_APPLY = WM_USER + 110;
constexpr UINT PSM_SETTITLEA = WM_USER + 111;
constexpr UINT PSM_SETWIZBUTTONS = WM_USER + 112;
constexpr UINT PSM_PRESSBUTTON = WM_USER + 113;
constexpr UINT PSM_SETCURSELID = WM_USER + 114;
constexpr UINT PSM_SETFINISHTEXTA = WM_USER + 115;
constexpr UINT PSM_GETTABCONTROL = WM_USER + 116;
constexpr UINT PSM_ISDIALOGMESSAGE = WM_USER + 117;
constexpr UINT PSM_GETCURRENTPAGEHWND = WM_USER + 118;
constexpr UINT PSM_INSERTPAGE = WM_USER + 119;
constexpr UINT PSM_SETTITLE = PSM_SETTITLEA;
constexpr UINT PSM_SETFINISHTEXT = PSM_SETFINISHTEXTA;
// PSM_PRESSBUTTON's buttons
constexpr WPARAM PSBTN_BACK = 0;
constexpr WPARAM PSBTN_NEXT = 1;
constexpr WPARAM PSBTN_FINISH = 2;
constexpr WPARAM PSBTN_OK = 3;
constexpr WPARAM PSBTN_APPLYNOW = 4;
constexpr WPARAM PSBTN_CANCEL = 5;
constexpr WPARAM PSBTN_HELP = 6;
// PSM_SETWIZBUTTONS's buttons
constexpr LPARAM PSWIZB_BACK = 0x00000001;
constexpr LPARAM PSWIZB_NEXT = 0x00000002;
constexpr LPARAM PSWIZB_FINISH = 0x00000004;
constexpr LPARAM PSWIZB_DISABLEDFINISH = 0x00000008;
// The answers of a modal sheet that asks for a restart
constexpr INT_PTR ID_PSRESTARTWINDOWS = 0x2;
constexpr INT_PTR ID_PSREBOOTSYSTEM = ID_PSRESTARTWINDOWS | 0x1;

HPROPSHEETPAGE CreatePropertySheetPageA(LPCPROPSHEETPAGEA constPropSheetPagePointer);
BOOL DestroyPropertySheetPage(HPROPSHEETPAGE hPage);
INT_PTR PropertySheetA(LPCPROPSHEETHEADERA lppsph);
inline HPROPSHEETPAGE CreatePropertySheetPage(LPCPROPSHEETPAGEA constPropSheetPagePointer) {
  return CreatePropertySheetPageA(constPropSheetPagePointer);
}
inline INT_PTR PropertySheet(LPCPROPSHEETHEADERA lppsph) { return PropertySheetA(lppsph); }
