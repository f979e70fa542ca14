#include "panel/CHyperLink.h"

#include <shellapi.h>

#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>

namespace {

constexpr UINT kLinkCursorId = 106;
constexpr UINT_PTR kToolId = 1;
constexpr int kTrailRepaint = 10;  // the underline may reach below the client rectangle
constexpr DWORD kValueBytes = MAX_PATH;
constexpr char kHtmClass[] = ".htm";
constexpr char kOpenCommand[] = "\\shell\\open\\command";
constexpr char kHelpProgram[] = "\\winhlp32.exe";
// Results up to these are errors: ShellExecute's, and WinExec's, which starts a program from 32.
constexpr INT_PTR kLastShellError = 32;
constexpr UINT kLastWinExecError = 31;

// The default value of a key as text, cut to the buffer: a value stored without its terminator
// still ends inside it. An empty text when the value cannot be read.
LONG ReadKeyDefaultValue(HKEY root, LPCSTR subKey, char (&out)[kValueBytes]) {
  HKEY key = nullptr;
  const LONG opened = ::RegOpenKeyExA(root, subKey, 0, KEY_QUERY_VALUE, &key);
  if (opened != ERROR_SUCCESS) return opened;
  char value[kValueBytes];
  DWORD size = sizeof value - 1;
  if (::RegQueryValueExA(key, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size) != ERROR_SUCCESS)
    size = 0;
  value[size] = '\0';
  std::memcpy(out, value, sizeof value);
  ::RegCloseKey(key);
  return ERROR_SUCCESS;
}

struct LinkError {
  INT_PTR code;
  const char* text;
};

constexpr LinkError kLinkErrors[] = {
    {0, "The operating system is out\nof memory or resources."},
    {SE_ERR_FNF, "The specified file was not found."},
    {SE_ERR_PNF, "The specified path was not found."},
    {SE_ERR_ACCESSDENIED, "The operating system denied\naccess to the specified file."},
    {SE_ERR_OOM, "There was not enough memory to complete the operation."},
    {ERROR_BAD_FORMAT, "The .EXE file is invalid\n(non-Win32 .EXE or error in .EXE image)."},
    {SE_ERR_SHARE, "A sharing violation occurred. "},
    {SE_ERR_ASSOCINCOMPLETE, "The filename association is\nincomplete or invalid."},
    {SE_ERR_DDETIMEOUT, "The DDE transaction could not\nbe completed because the request timed out."},
    {SE_ERR_DDEFAIL, "The DDE transaction failed."},
    {SE_ERR_DDEBUSY,
     "The DDE transaction could not\nbe completed because other DDE transactions\nwere being processed."},
    {SE_ERR_NOASSOC, "There is no application associated\nwith the given filename extension."},
    {SE_ERR_DLLNOTFOUND, "The specified dynamic-link library was not found."},
};

constexpr bool ErrorsAscendOnce() {
  for (size_t i = 1; i < std::size(kLinkErrors); ++i)
    if (kLinkErrors[i].code <= kLinkErrors[i - 1].code) return false;
  return true;
}
static_assert(ErrorsAscendOnce(), "one text per error code");

}  // namespace

BEGIN_MESSAGE_MAP(CHyperLink, CStatic)
ON_WM_CTLCOLOR_REFLECT()
ON_WM_SETCURSOR()
ON_WM_MOUSEMOVE()
ON_WM_TIMER()
ON_WM_ERASEBKGND()
ON_CONTROL_REFLECT(STN_CLICKED, OnClicked)
END_MESSAGE_MAP()

CHyperLink::~CHyperLink() {
  m_underlineFont.DeleteObject();
  m_plainFont.DeleteObject();
}

void CHyperLink::SetLinkAddress(LPCSTR address) {
  m_address = address;
  if (GetSafeHwnd() == nullptr) return;
  FitWindowToText();
  m_toolTip.UpdateTipText(m_address, this, kToolId);
}

void CHyperLink::SetLinkColors(COLORREF link, COLORREF visited, COLORREF hover) {
  m_linkColor = link;
  m_visitedColor = visited;
  m_hoverColor = hover == static_cast<COLORREF>(-1) ? ::GetSysColor(COLOR_HIGHLIGHT) : hover;
  if (GetSafeHwnd() != nullptr) Repaint();
}

void CHyperLink::SetLinkVisited(bool visited) {
  m_bVisited = visited;
  if (GetSafeHwnd() != nullptr) Repaint();
}

void CHyperLink::SetLinkUnderline(int mode) {
  if (mode == m_underline) return;
  if (GetSafeHwnd() != nullptr) {
    SetFont(mode == kUnderlineAlways ? &m_underlineFont : &m_plainFont, TRUE);
    Repaint();
  }
  m_underline = mode;
}

void CHyperLink::SetFitToText(bool fit) {
  m_bFitToText = fit;
  if (GetSafeHwnd() != nullptr) FitWindowToText();
}

void CHyperLink::SetHoverCursor(HCURSOR cursor) {
  m_hLinkCursor = cursor;
  if (m_hLinkCursor == nullptr) LoadLinkCursor();
}

void CHyperLink::Repaint() { Invalidate(TRUE); }

void CHyperLink::PreSubclassWindow() {
  ModifyStyle(0, SS_NOTIFY);
  if (m_address.IsEmpty()) GetWindowText(m_address);
  CString text;
  GetWindowText(text);
  if (text.IsEmpty()) SetWindowText(m_address);

  auto font = reinterpret_cast<HFONT>(SendMessage(WM_GETFONT));
  if (font == nullptr) font = static_cast<HFONT>(::GetStockObject(DEFAULT_GUI_FONT));
  if (font == nullptr) font = static_cast<HFONT>(::GetStockObject(ANSI_VAR_FONT));
  LOGFONTA description{};
  ::GetObjectA(font, sizeof description, &description);
  m_plainFont.CreateFontIndirect(&description);
  description.lfUnderline = TRUE;
  m_underlineFont.CreateFontIndirect(&description);

  FitWindowToText();
  LoadLinkCursor();
  SetLinkUnderline(kUnderlineHover);

  m_toolTip.Create(this);
  CRect rect;
  GetClientRect(&rect);
  m_toolTip.AddTool(this, m_address, &rect, kToolId);
  CStatic::PreSubclassWindow();
}

void CHyperLink::FitWindowToText() {
  if (GetSafeHwnd() == nullptr || !m_bFitToText) return;
  CRect window;
  GetWindowRect(&window);
  CRect client;
  GetClientRect(&client);
  CWnd* parent = GetParent();
  if (parent != nullptr) {
    parent->ScreenToClient(&window);
    parent->ScreenToClient(&client);
  }
  CString text;
  GetWindowText(text);

  CSize extent;
  {
    CClientDC dc(this);
    CFont* previous = dc.SelectObject(&m_underlineFont);
    extent = dc.GetTextExtent(text);
    if (previous != nullptr) dc.SelectObject(previous);
  }

  const DWORD style = GetStyle();
  const int height = extent.cy + (window.Height() - client.Height());
  if (style & SS_CENTERIMAGE) {
    const int grow = (window.Height() - height) / 2;
    window.top += grow;
    window.bottom -= grow;
  } else {
    window.bottom = window.top + height;
  }
  const int width = extent.cx + (window.Width() - client.Width());
  switch (style & SS_TYPEMASK) {
    case SS_CENTER: {
      const int grow = (window.Width() - width) / 2;
      window.left += grow;
      window.right -= grow;
      break;
    }
    case SS_RIGHT:
      window.left = window.right - width;
      break;
    default:
      window.right = window.left + width;
      break;
  }
  SetWindowPos(nullptr, window.left, window.top, window.Width(), window.Height(), SWP_NOZORDER);
}

// The hand of the system's help program, when there is one; a Windows directory too long for the
// path leaves the default cursor.
void CHyperLink::LoadLinkCursor() {
  if (m_hLinkCursor != nullptr) return;
  char path[MAX_PATH];
  const UINT length = ::GetWindowsDirectoryA(path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH || length + sizeof kHelpProgram > sizeof path) return;
  std::memcpy(path + length, kHelpProgram, sizeof kHelpProgram);
  HMODULE module = ::LoadLibraryA(path);
  if (module == nullptr) return;
  if (HCURSOR cursor = ::LoadCursorA(module, MAKEINTRESOURCEA(kLinkCursorId)))
    m_hLinkCursor = reinterpret_cast<HCURSOR>(::CopyIcon(reinterpret_cast<HICON>(cursor)));
  ::FreeLibrary(module);
}

bool CHyperLink::OpenLinkAddress(LPCSTR address, int showCommand, INT_PTR* result) {
  *result = reinterpret_cast<INT_PTR>(::ShellExecuteA(nullptr, "open", address, nullptr, nullptr, showCommand));
  if (*result > kLastShellError) return true;

  char htmClass[kValueBytes];
  if (ReadKeyDefaultValue(HKEY_CLASSES_ROOT, kHtmClass, htmClass) != ERROR_SUCCESS) return false;
  char commandKey[kValueBytes + sizeof kOpenCommand];
  std::snprintf(commandKey, sizeof commandKey, "%s%s", htmClass, kOpenCommand);
  char command[kValueBytes];
  if (ReadKeyDefaultValue(HKEY_CLASSES_ROOT, commandKey, command) != ERROR_SUCCESS) return false;

  // The program alone, without the placeholder for the document and what follows it.
  char* cut = std::strstr(command, "\"%1\"");
  if (cut == nullptr) cut = std::strstr(command, "%1");
  if (cut != nullptr) *cut = '\0';
  const std::string line = std::string(command) + " " + address;
  const UINT started = ::WinExec(line.c_str(), static_cast<UINT>(showCommand));
  *result = static_cast<INT_PTR>(started);
  return started > kLastWinExecError;
}

void CHyperLink::ShowLinkError(int code) {
  const char* known = nullptr;
  for (const LinkError& error : kLinkErrors)
    if (error.code == code) known = error.text;
  char text[160];
  if (known != nullptr)
    std::snprintf(text, sizeof text, "Unable to open hyperlink:\n\n%s", known);
  else
    std::snprintf(text, sizeof text, "Unable to open hyperlink:\n\nUnknown Error (%d) occurred.", code);
  AfxMessageBox(text, MB_ICONEXCLAMATION | MB_OK);
}

HBRUSH CHyperLink::CtlColor(CDC* pDC, UINT) {
  pDC->SetTextColor(m_bHovering ? m_hoverColor : m_bVisited ? m_visitedColor : m_linkColor);
  pDC->SetBkMode(TRANSPARENT);
  return static_cast<HBRUSH>(::GetStockObject(NULL_BRUSH));
}

BOOL CHyperLink::OnSetCursor(CWnd*, UINT, UINT) {
  if (m_hLinkCursor == nullptr) return static_cast<BOOL>(Default());
  ::SetCursor(m_hLinkCursor);
  return TRUE;
}

void CHyperLink::OnMouseMove(UINT, CPoint) {
  if (!m_bHovering) {
    m_bHovering = true;
    if (m_underline == kUnderlineHover) SetFont(&m_underlineFont, TRUE);
    Repaint();
    SetTimer(m_hoverTimer, kHoverCheckMs, nullptr);
  }
  Default();
}

void CHyperLink::OnTimer(UINT_PTR) {
  CPoint point = GetCurrentMessage()->pt;
  ScreenToClient(&point);
  CRect rect;
  GetClientRect(&rect);
  if (!rect.PtInRect(point)) {
    m_bHovering = false;
    KillTimer(m_hoverTimer);
    if (m_underline != kUnderlineAlways) SetFont(&m_plainFont, TRUE);
    rect.bottom += kTrailRepaint;
    InvalidateRect(&rect, TRUE);
  }
  Default();
}

BOOL CHyperLink::OnEraseBkgnd(CDC* pDC) {
  CRect rect;
  GetClientRect(&rect);
  pDC->FillSolidRect(&rect, ::GetSysColor(COLOR_BTNFACE));
  return TRUE;
}

void CHyperLink::OnClicked() {
  m_bHovering = false;
  INT_PTR result = 0;
  m_bVisited = OpenLinkAddress(m_address, SW_SHOW, &result);
  if (m_bVisited) {
    SetLinkVisited(true);
    return;
  }
  ::MessageBeep(MB_ICONEXCLAMATION);
  ShowLinkError(static_cast<int>(result));
}

BOOL CHyperLink::PreTranslateMessage(MSG* pMsg) {
  if (m_toolTip.GetSafeHwnd() != nullptr) m_toolTip.RelayEvent(pMsg);
  return CStatic::PreTranslateMessage(pMsg);
}

BOOL CHyperLink::DestroyWindow() {
  KillTimer(m_hoverTimer);
  return CStatic::DestroyWindow();
}
