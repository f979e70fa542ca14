#include "panel/CMyPropertySheet.h"

#include <afxpriv.h>
#include <dbt.h>
#include <setupapi.h>

#include <cstdio>

#include "panel/SettingLists.h"
#include "panel/resource.h"

namespace {

using SettingLists::IndexOf;

bool ShiftHeld() { return (::GetKeyState(VK_SHIFT) & 0x8000) != 0; }

void DebugLine(const char* text) {
  ::OutputDebugStringA(text);
  ::OutputDebugStringA("\n");
}

constexpr int kMidiProgPage = 2;
constexpr int kButtonGap = 6;
constexpr int kButtonShift = 3;
constexpr UINT kSysCommandMask = 0xFFF0;
constexpr DWORD kButtonKindMask = 0x0F;

}  // namespace

BEGIN_MESSAGE_MAP(CMyPropertySheet, CPropertySheet)
ON_WM_TIMER()
ON_WM_DESTROY()
ON_WM_WINDOWPOSCHANGING()
ON_WM_SYSCOMMAND()
ON_COMMAND(ID_APPLY_NOW, OnApplyNow)
ON_WM_DEVICECHANGE()
ON_REGISTERED_MESSAGE(UWM_ARE_YOU_ME, OnAreYouMe)
ON_MESSAGE(WM_KICKIDLE, OnKickIdle)
END_MESSAGE_MAP()

CMyPropertySheet::CMyPropertySheet(CWnd* pParentWnd) : CPropertySheet(IDS_PANEL_CAPTION, pParentWnd, 0) {
  AddPage(&m_settingsPage);
  AddPage(&m_routingPage);
  AddPage(&m_midiProgPage);
  if (m_bQuickStart) AddPage(&m_quickStartPage);
  AddPage(&m_kr6Page);
  needUpdate = 1;
  devicePresent = 0;
}

CMyPropertySheet::~CMyPropertySheet() {
  DebugLine("Shutting service down");
  if (m_hDevNotify != nullptr) {
    ::UnregisterDeviceNotification(m_hDevNotify);
    m_hDevNotify = nullptr;
  }
}

BOOL CMyPropertySheet::OnInitDialog() {
  const BOOL result = CPropertySheet::OnInitDialog();
  SendMessage(WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(AfxGetApp()->LoadIcon(IDI_PANEL)));
  if (CWnd* cancel = GetDlgItem(IDCANCEL)) cancel->ShowWindow(SW_HIDE);
  // OK takes the place Help would have, at the right, since Cancel is gone.
  for (int id : {IDOK, ID_APPLY_NOW, IDHELP}) {
    CWnd* button = GetDlgItem(id);
    if (button == nullptr) continue;
    CRect rect;
    button->GetWindowRect(&rect);
    ScreenToClient(&rect);
    rect.OffsetRect(kButtonShift * (rect.Width() + kButtonGap), 0);
    button->MoveWindow(&rect);
  }
  m_pollTimer = SetTimer(kPollTimerId, kPollPeriodMs, nullptr);

  DEV_BROADCAST_DEVICEINTERFACE_A filter{};
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = kQX531InterfaceClass;
  m_hDevNotify = ::RegisterDeviceNotificationA(m_hWnd, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);

  OpenDevices(1);
  return result;
}

BOOL CMyPropertySheet::OnCommand(WPARAM wParam, LPARAM lParam) {
  const UINT id = LOWORD(wParam);
  // Esc reaches the sheet as IDCANCEL: a resident panel hides on it, as on its close box, and
  // ends only with Shift held.
  if (id == IDCANCEL && !ShiftHeld()) {
    ShowPanel(FALSE);
    return TRUE;
  }
  if (CWnd::OnCommand(wParam, lParam)) return TRUE;
  const auto control = reinterpret_cast<HWND>(lParam);
  if (control == nullptr || HIWORD(wParam) != BN_CLICKED || id != IDOK || ShiftHeld()) return FALSE;
  if ((::SendMessageA(control, WM_GETDLGCODE, 0, 0) & (DLGC_BUTTON | DLGC_DEFPUSHBUTTON)) == 0) return FALSE;
  switch (static_cast<DWORD>(::GetWindowLongA(control, GWL_STYLE)) & kButtonKindMask) {
    case BS_PUSHBUTTON:
    case BS_DEFPUSHBUTTON:
    case BS_USERBUTTON:
    case BS_OWNERDRAW:
      ShowPanel(FALSE);
      return static_cast<BOOL>(id);
    default:
      return FALSE;
  }
}

void CMyPropertySheet::OnTimer(UINT_PTR nIDEvent) {
  if (devicePresent) Poll();
  if (needUpdate) UpdatePresence();
  CPropertySheet::OnTimer(nIDEvent);
}

// Which units are open, on every page, and the main unit's versions on the Settings page; labels
// without numbers unless the main unit itself is open.
void CMyPropertySheet::UpdatePresence() {
  needUpdate = 0;
  const int32_t mains = IsOpen();
  const uint32_t expansions = CountExpansionUnits();
  char line[96];
  std::snprintf(line, sizeof line, "+++ needUpdate: qx5310s = %d, kr6s = %d\n", static_cast<int>(mains),
                static_cast<int>(expansions));
  ::OutputDebugStringA(line);
  m_settingsPage.SetDevicePresent(mains > 0);
  m_routingPage.SetDevicePresent(mains > 0);
  m_midiProgPage.SetDevicePresent(mains > 0);
  if (m_bQuickStart) m_quickStartPage.SetDevicePresent(mains > 0);
  m_kr6Page.SetDevicePresent(expansions > 0);
  if (devicePresent && mains > 0) {
    const SharedStateBlock& state = mLastSharedState;
    m_settingsPage.m_registerText.Format("Register: %d", static_cast<int>(state.mRegisterVersion & 0xFFFF));
    m_settingsPage.m_hardwareText.Format("Hardware: %d", static_cast<int>((state.mHardwareVersion >> 16) & 0xFF));
    m_settingsPage.m_armText.Format("ARM: %d", static_cast<int>(state.mArmVersion & 0xFF));
    m_settingsPage.m_fpgaText.Format("FPGA: %d", static_cast<int>(state.mFpgaVersion & 0xFF));
  } else {
    m_settingsPage.m_registerText = "Register:";
    m_settingsPage.m_hardwareText = "Hardware:";
    m_settingsPage.m_armText = "ARM:";
    m_settingsPage.m_fpgaText = "FPGA:";
  }
  if (m_settingsPage.GetSafeHwnd() != nullptr) m_settingsPage.UpdateData(FALSE);
}

void CMyPropertySheet::OnDestroy() {
  CPropertySheet::OnDestroy();
  KillTimer(m_pollTimer);
}

void CMyPropertySheet::OnWindowPosChanging(WINDOWPOS* lpwndpos) {
  if (!m_bVisible) lpwndpos->flags &= ~SWP_SHOWWINDOW;
  Default();
}

void CMyPropertySheet::OnSysCommand(UINT nID, LPARAM) {
  if ((nID & kSysCommandMask) == SC_CLOSE && !ShiftHeld()) {
    ShowPanel(FALSE);
    return;
  }
  Default();
}

void CMyPropertySheet::OnApplyNow() {
  if (CPropertyPage* page = GetActivePage()) page->UpdateData(TRUE);
}

BOOL CMyPropertySheet::OnDeviceChange(UINT nEventType, DWORD_PTR dwData) {
  const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(dwData);
  if (header == nullptr || header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE) return TRUE;
  const char* path = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(dwData)->dbcc_name;
  ::OutputDebugStringA("*** devname = ");
  DebugLine(path);

  if (nEventType == DBT_DEVICEREMOVECOMPLETE) {
    DebugLine("Before remove");
    DumpHandleMap();
    const size_t held = mHandleMap.size();
    RemoveDevicePath(path);
    // A path the map never held still counts as a change of the open units.
    if (mHandleMap.size() == held) ++mHandleEvents;
    DebugLine("After remove");
    DumpHandleMap();
    needUpdate = 1;
    devicePresent = mHandleMap.empty() ? 0 : 1;
  } else if (nEventType == DBT_DEVICEARRIVAL) {
    HDEVINFO set = ::SetupDiCreateDeviceInfoList(nullptr, nullptr);
    if (set == INVALID_HANDLE_VALUE) return TRUE;
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    if (::SetupDiOpenDeviceInterfaceA(set, path, 0, &data)) {
      DWORD required = 0;
      if (::SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr) ||
          ::GetLastError() == ERROR_INSUFFICIENT_BUFFER)
        OpenDevicePath(path);
    }
    ::SetupDiDestroyDeviceInfoList(set);
  }
  return TRUE;
}

LRESULT CMyPropertySheet::OnAreYouMe(WPARAM, LPARAM) {
  if (!m_bVisible) ShowPanel(TRUE);
  return UWM_ARE_YOU_ME;
}

// The pages enable their buttons from their command-update handlers on every idle pass.
LRESULT CMyPropertySheet::OnKickIdle(WPARAM, LPARAM) {
  SendMessageToDescendants(WM_KICKIDLE, 0, 0, FALSE);
  return 0;
}

void CMyPropertySheet::ShowPanel(BOOL show) {
  m_bVisible = show ? 1 : 0;
  ShowWindow(show ? SW_SHOW : SW_HIDE);
}

void CMyPropertySheet::BringPanelToFront() {
  if (GetStyle() & WS_MINIMIZE) {
    ShowWindow(SW_RESTORE);
    UpdateWindow();
  }
  const DWORD foreground = ::GetWindowThreadProcessId(::GetForegroundWindow(), nullptr);
  const DWORD mine = ::GetCurrentThreadId();
  if (foreground != mine) {
    ::AttachThreadInput(mine, foreground, TRUE);
    SetForegroundWindow();
    ::AttachThreadInput(mine, foreground, FALSE);
  } else {
    SetForegroundWindow();
  }
  Invalidate(TRUE);
}

int32_t CMyPropertySheet::SetDeviceParameter(uint32_t parameterId, uint32_t value) {
  // Expansion units alone still take settings: the driver applies them to every unit.
  if (CurrentHandle() == kNoDevice) return 0;
  return SetParameter(parameterId, value);
}

int32_t CMyPropertySheet::OpenDevices(int32_t mode) {
  mAttachOnOpen = mode;
  EnumerateDevices(kQX531InterfaceClass);
  return 0;
}

void CMyPropertySheet::Refresh(CMyPropertyPage& page) {
  if (!page.m_bActive) return;
  page.UpdateData(FALSE);
  page.Invalidate(TRUE);
}

void CMyPropertySheet::OnClockSourceChanged(uint32_t value) {
  m_settingsPage.m_clockSourceIndex = IndexOf(SettingLists::kClockSources, value, 0);
  Refresh(m_settingsPage);
}

void CMyPropertySheet::OnSampleRateChanged(uint32_t value) {
  m_settingsPage.m_sampleRateIndex =
      IndexOf(SettingLists::kSampleRates, value, m_settingsPage.m_sampleRateIndex);
  Refresh(m_settingsPage);
}

void CMyPropertySheet::OnControlProtocolChanged(uint32_t value) {
  m_settingsPage.m_protocolIndex = IndexOf(SettingLists::kControlProtocols, value, 0);
  Refresh(m_settingsPage);
}

void CMyPropertySheet::OnMonitorModeChanged(uint32_t value) {
  m_settingsPage.m_monitoringIndex = IndexOf(SettingLists::kMonitorModes, value, 0);
  Refresh(m_settingsPage);
}

void CMyPropertySheet::OnBufferSizeIndexChanged(uint32_t value) {
  // Buffer-size indexes 1-7 are the positions 0-6; any other shows the longest.
  const int position = value >= 1 && value <= 7 ? static_cast<int>(value) - 1 : 6;
  if (CWnd* slider = m_settingsPage.GetSafeHwnd() != nullptr ? m_settingsPage.GetDlgItem(IDC_LATENCY) : nullptr)
    slider->SendMessage(TBM_SETPOS, TRUE, position);
  Refresh(m_settingsPage);
}

void CMyPropertySheet::OnMasterFaderChanged(uint32_t value) {
  m_settingsPage.m_masterFaderGain = value == 2 ? 1 : 0;
  Refresh(m_settingsPage);
}

void CMyPropertySheet::OnOvrThresholdChanged(uint32_t value) {
  if (m_settingsPage.GetSafeHwnd() != nullptr) {
    char text[32];
    // Negated from minus zero, so a threshold of 0 reads "-0.0".
    std::snprintf(text, sizeof text, "%1.1f", (-0.0 - static_cast<double>(value)) / 10);
    m_settingsPage.GetDlgItem(IDC_OVR_EDIT)->SetWindowText(text);
    m_settingsPage.GetDlgItem(IDC_OVR_SPIN)->SendMessage(UDM_SETPOS, 0, static_cast<LPARAM>(value / 5));
  }
  Refresh(m_settingsPage);
}

void CMyPropertySheet::OnConverterDelayChanged(uint32_t value) {
  m_settingsPage.m_converterDelay = value != 0 ? 1 : 0;
  Refresh(m_settingsPage);
}

void CMyPropertySheet::OnInputLockedChanged(uint32_t value) {
  m_settingsPage.m_syncText = value != 0 ? "In Sync" : "";
  Refresh(m_settingsPage);
}

void CMyPropertySheet::OnSpdifInSourceChanged(uint32_t value) {
  m_routingPage.m_spdifInIndex = value == 1 ? 0 : 1;
  Refresh(m_routingPage);
}

void CMyPropertySheet::OnCoaxOutSourceChanged(uint32_t value) {
  m_routingPage.m_coaxOutIndex = value == 1 ? 0 : 1;
  Refresh(m_routingPage);
}

void CMyPropertySheet::OnOpticalOutSourceChanged(uint32_t value) {
  m_routingPage.m_opticalOutIndex = IndexOf(SettingLists::kOpticalOutSources, value, 0);
  Refresh(m_routingPage);
}

void CMyPropertySheet::OnOpticalOutCodeChanged(uint32_t value) {
  m_routingPage.m_opticalOutCode = static_cast<int>(value);
  Refresh(m_routingPage);
}

void CMyPropertySheet::OnSpdifInCodeAChanged(uint32_t value) {
  m_routingPage.m_spdifInCodeA = static_cast<int>(value);
  Refresh(m_routingPage);
}

void CMyPropertySheet::OnCoaxOutCodeChanged(uint32_t value) {
  m_routingPage.m_coaxOutCode = static_cast<int>(value);
  Refresh(m_routingPage);
}

void CMyPropertySheet::OnSpdifInCodeBChanged(uint32_t value) {
  m_routingPage.m_spdifInCodeB = static_cast<int>(value);
  Refresh(m_routingPage);
}

void CMyPropertySheet::OnContinuousInputsChanged(uint32_t value) {
  if (!m_bQuickStart) return;
  m_quickStartPage.m_inputPairs = value;
  for (int i = 0; i < QuickStart::kPairs; ++i) m_quickStartPage.m_pairChecks[i] = (value >> (2 * i) & 3) != 0 ? 1 : 0;
  Refresh(m_quickStartPage);
}

void CMyPropertySheet::OnContinuousOutputsChanged(uint32_t value) {
  if (!m_bQuickStart) return;
  m_quickStartPage.m_outputPairs = value;
  for (int i = 0; i < QuickStart::kPairs; ++i)
    m_quickStartPage.m_pairChecks[QuickStart::kPairs + i] = (value >> (2 * i) & 3) != 0 ? 1 : 0;
  Refresh(m_quickStartPage);
}

void CMyPropertySheet::OnProgrammingWordChanged(uint32_t value) {
  ShowPanel(TRUE);
  if (!m_midiProgPage.m_bActive) SendMessage(PSM_SETCURSEL, kMidiProgPage, 0);
  m_midiProgPage.UpdateProgrammingWord(value);
}

void CMyPropertySheet::OnUnitRecords(const UnitNameRecord* records) { m_kr6Page.ShowUnitRecords(records); }

void CMyPropertySheet::OnPanelToggleRequest() {
  if (IsWindowVisible()) {
    if (::GetForegroundWindow() == m_hWnd) {
      ShowPanel(FALSE);
      return;
    }
    BringPanelToFront();
    return;
  }
  BringPanelToFront();
  ShowPanel(TRUE);
}

void CMyPropertySheet::OnStreamMaskChanged(uint32_t) {}

// Values whose change means the units or their versions may have changed: the next tick refreshes
// presence and the version labels.
void CMyPropertySheet::OnUnitRateChanged(uint32_t) { needUpdate = 1; }
void CMyPropertySheet::OnRegisterVersionChanged(uint32_t) { needUpdate = 1; }
void CMyPropertySheet::OnFpgaVersionChanged(uint32_t) { needUpdate = 1; }
void CMyPropertySheet::OnArmVersionChanged(uint32_t) { needUpdate = 1; }
void CMyPropertySheet::OnHardwareVersionChanged(uint32_t) { needUpdate = 1; }
void CMyPropertySheet::OnSharedWord8Changed(uint32_t) { needUpdate = 1; }
void CMyPropertySheet::OnUnitCountChanged(uint32_t) { needUpdate = 1; }
void CMyPropertySheet::OnUnitIndexChanged(uint32_t) { needUpdate = 1; }
void CMyPropertySheet::OnAliveChanged(uint32_t) { needUpdate = 1; }
void CMyPropertySheet::OnPluggedInChanged(uint32_t) { needUpdate = 1; }
void CMyPropertySheet::OnStreamingChanged(uint32_t) { needUpdate = 1; }
void CMyPropertySheet::OnMidiRunningChanged(uint32_t) { needUpdate = 1; }
void CMyPropertySheet::OnUnitClockSourceChanged(uint32_t) { needUpdate = 1; }
