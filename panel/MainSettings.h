// The Settings page: protocol, clocking, latency and audio options of every unit. A user action
// sends one parameter; the controls follow the values the sheet's poll brings back.
#pragma once

#include <afxcmn.h>
#include <afxdlgs.h>

#include "panel/CMyPropertyPage.h"

class MainSettings : public CMyPropertyPage {
 public:
  MainSettings();

  void SetDevicePresent(bool present) override;

  CBitmap m_logo;
  CBitmap m_logoMask;
  bool m_bInitialized = false;
  bool m_bDevicePresent = false;
  CButton m_converterDelayCheck;
  CSpinButtonCtrl m_ovrSpin;
  CEdit m_ovrEdit;
  CButton m_masterFaderCheck;
  CComboBox m_monitoringCombo;
  CComboBox m_sampleRateCombo;
  CComboBox m_clockSourceCombo;
  CComboBox m_protocolCombo;
  CSliderCtrl m_latencySlider;
  int m_monitoringIndex = 0;
  int m_masterFaderGain = 0;
  CString m_registerText = "Register: ";
  CString m_hardwareText = "Hardware: ";
  CString m_fpgaText = "FPGA: ";
  int m_clockSourceIndex = 0;
  int m_protocolIndex = 0;
  CString m_armText = "ARM: ";
  int m_sampleRateIndex = 0;
  CString m_syncText;
  int m_converterDelay = 0;

 protected:
  void DoDataExchange(CDataExchange* pDX) override;
  BOOL OnInitDialog() override;

  void OnSampleRateChange();
  void OnClockSourceChange();
  void OnControlProtocolChange();
  void OnMonitoringChange();
  void OnMasterFaderGainClick();
  void OnConverterDelayClick();
  LRESULT OnLatencyScroll(WPARAM wParam, LPARAM lParam);
  void OnOvrThresholdSpin(NMHDR* pNMHDR, LRESULT* pResult);
  void OnPaint();
  DECLARE_MESSAGE_MAP()

 private:
  // The logo's mask: 1 where the logo is white; the logo's white turned black for SRCPAINT.
  void BuildLogoMask();
};
