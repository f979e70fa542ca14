// The Settings page: control protocol, sample rate, clock source, latency, monitoring, the master
// fader's gain, the OVR threshold and converter-delay compensation, and the main unit's versions.
// The page never changes a setting itself: it sends one parameter, and the sheet writes the value
// the unit then holds into its members.
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
};
