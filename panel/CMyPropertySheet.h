// The panel's one window and its driver client at once: a resident property sheet holding the five
// pages, which opens the units when it is created, follows their arrival and removal, polls the
// driver every 500 ms and turns each change the poll reports into the data of a page.
#pragma once

#include <afxdlgs.h>
#include <windows.h>

#include <cstdint>

#include "client/QX531WinDriverInterface.h"
#include "panel/KR6.h"
#include "panel/MainSettings.h"
#include "panel/MidiProg.h"
#include "panel/QuickStart.h"
#include "panel/RoutingPage.h"

// The registered message a second copy of the panel sends every top-level window; the sheet
// answers it with its own number.
extern const UINT UWM_ARE_YOU_ME;

class CMyPropertySheet : public CPropertySheet, public QX531WinDriverInterface {
 public:
  static constexpr UINT_PTR kPollTimerId = 1105;
  static constexpr UINT kPollPeriodMs = 500;

  explicit CMyPropertySheet(CWnd* pParentWnd = nullptr);
  ~CMyPropertySheet() override;

  BOOL OnInitDialog() override;

  // Shows or hides the panel and remembers which, so nothing else shows it while it is hidden.
  void ShowPanel(BOOL show);
  void BringPanelToFront();
  // Sends one setting while a unit is open; 0, and nothing sent, otherwise.
  int32_t SetDeviceParameter(uint32_t parameterId, uint32_t value);
  int32_t OpenDevices(int32_t mode) override;

  // What the last poll brought, for the pages.
  const SharedStateBlock& LastSharedState() const { return mLastSharedState; }
  const UnitNameRecord* LastUnitRecords() const { return mLastUnitRecords; }

  // A hidden start: called before the window exists, it keeps every show from showing it.
  void StartHidden() { m_bVisible = 0; }

 protected:
  BOOL OnCommand(WPARAM wParam, LPARAM lParam) override;

  void OnTimer(UINT_PTR nIDEvent);
  void OnDestroy();
  void OnWindowPosChanging(WINDOWPOS* lpwndpos);
  void OnSysCommand(UINT nID, LPARAM lParam);
  void OnApplyNow();
  BOOL OnDeviceChange(UINT nEventType, DWORD_PTR dwData);
  LRESULT OnAreYouMe(WPARAM wParam, LPARAM lParam);
  LRESULT OnKickIdle(WPARAM wParam, LPARAM lParam);

  // The library's notifications, as page data.
  void OnClockSourceChanged(uint32_t value) override;
  void OnSampleRateChanged(uint32_t value) override;
  void OnControlProtocolChanged(uint32_t value) override;
  void OnMonitorModeChanged(uint32_t value) override;
  void OnBufferSizeIndexChanged(uint32_t value) override;
  void OnMasterFaderChanged(uint32_t value) override;
  void OnOvrThresholdChanged(uint32_t value) override;
  void OnConverterDelayChanged(uint32_t value) override;
  void OnInputLockedChanged(uint32_t value) override;
  void OnSpdifInSourceChanged(uint32_t value) override;
  void OnCoaxOutSourceChanged(uint32_t value) override;
  void OnOpticalOutSourceChanged(uint32_t value) override;
  void OnOpticalOutCodeChanged(uint32_t value) override;
  void OnSpdifInCodeAChanged(uint32_t value) override;
  void OnCoaxOutCodeChanged(uint32_t value) override;
  void OnSpdifInCodeBChanged(uint32_t value) override;
  void OnContinuousInputsChanged(uint32_t value) override;
  void OnContinuousOutputsChanged(uint32_t value) override;
  void OnProgrammingWordChanged(uint32_t value) override;
  void OnUnitRecords(const UnitNameRecord* records) override;
  void OnPanelToggleRequest() override;
  void OnStreamMaskChanged(uint32_t value) override;
  void OnUnitRateChanged(uint32_t value) override;
  void OnRegisterVersionChanged(uint32_t value) override;
  void OnFpgaVersionChanged(uint32_t value) override;
  void OnArmVersionChanged(uint32_t value) override;
  void OnHardwareVersionChanged(uint32_t value) override;
  void OnSharedWord8Changed(uint32_t value) override;
  void OnUnitCountChanged(uint32_t value) override;
  void OnUnitIndexChanged(uint32_t value) override;
  void OnAliveChanged(uint32_t value) override;
  void OnPluggedInChanged(uint32_t value) override;
  void OnStreamingChanged(uint32_t value) override;
  void OnMidiRunningChanged(uint32_t value) override;
  void OnUnitClockSourceChanged(uint32_t value) override;

  DECLARE_MESSAGE_MAP()

 private:
  // Reloads a page's controls from its members and repaints it, when it is the current page.
  static void Refresh(CMyPropertyPage& page);
  void UpdatePresence();

  MainSettings m_settingsPage;
  RoutingPage m_routingPage;
  MidiProg m_midiProgPage;
  QuickStart m_quickStartPage;
  KR6 m_kr6Page;
  uint8_t m_bQuickStart = 1;
  UINT_PTR m_pollTimer = 0;
  HDEVNOTIFY m_hDevNotify = nullptr;
  uint8_t m_bVisible = 1;
};
