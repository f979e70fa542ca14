#include "panel/MainSettings.h"

#include "panel/CMyPropertySheet.h"
#include "panel/resource.h"

MainSettings::MainSettings() : CMyPropertyPage(IDD_MAIN_SETTINGS) {}

void MainSettings::DoDataExchange(CDataExchange* pDX) {
  CMyPropertyPage::DoDataExchange(pDX);
  DDX_Control(pDX, IDC_CONVERTER_DELAY, m_converterDelayCheck);
  DDX_Control(pDX, IDC_OVR_SPIN, m_ovrSpin);
  DDX_Control(pDX, IDC_OVR_EDIT, m_ovrEdit);
  DDX_Control(pDX, IDC_MASTER_FADER_GAIN, m_masterFaderCheck);
  DDX_Control(pDX, IDC_MONITORING, m_monitoringCombo);
  DDX_Control(pDX, IDC_SAMPLE_RATE, m_sampleRateCombo);
  DDX_Control(pDX, IDC_CLOCK_SOURCE, m_clockSourceCombo);
  DDX_Control(pDX, IDC_PROTOCOL, m_protocolCombo);
  DDX_Control(pDX, IDC_LATENCY, m_latencySlider);
  DDX_CBIndex(pDX, IDC_MONITORING, m_monitoringIndex);
  DDX_Check(pDX, IDC_MASTER_FADER_GAIN, m_masterFaderGain);
  DDX_Text(pDX, IDC_REGISTER_VERSION, m_registerText);
  DDX_Text(pDX, IDC_HARDWARE_VERSION, m_hardwareText);
  DDX_Text(pDX, IDC_FPGA_VERSION, m_fpgaText);
  DDX_CBIndex(pDX, IDC_CLOCK_SOURCE, m_clockSourceIndex);
  DDX_CBIndex(pDX, IDC_PROTOCOL, m_protocolIndex);
  DDX_Text(pDX, IDC_ARM_VERSION, m_armText);
  DDX_CBIndex(pDX, IDC_SAMPLE_RATE, m_sampleRateIndex);
  DDX_Text(pDX, IDC_SYNC_STATUS, m_syncText);
  DDX_Check(pDX, IDC_CONVERTER_DELAY, m_converterDelay);
}

BOOL MainSettings::OnInitDialog() {
  CMyPropertyPage::OnInitDialog();
  m_protocolCombo.InsertString(1, "Cubase LE");
  m_protocolCombo.InsertString(2, "Cubase SX / Nuendo");
  m_latencySlider.SetRange(0, 6, FALSE);
  m_latencySlider.SetTicFreq(1);
  m_bInitialized = true;
  for (int id : {IDC_VERSION_GROUP, IDC_REGISTER_VERSION, IDC_ARM_VERSION, IDC_HARDWARE_VERSION, IDC_FPGA_VERSION})
    GetDlgItem(id)->ShowWindow(SW_SHOW);
  SetDevicePresent(m_bDevicePresent);
  return TRUE;
}

void MainSettings::SetDevicePresent(bool present) {
  m_bDevicePresent = present;
  if (!m_bInitialized) return;
  CMyPropertySheet& sheet = Sheet();
  const bool main = sheet.IsOpen() > 0;
  m_protocolCombo.EnableWindow(main || sheet.CountExpansionUnits() > 0);
  for (CWnd* control : std::initializer_list<CWnd*>{&m_clockSourceCombo, &m_sampleRateCombo, &m_monitoringCombo,
                                                    &m_latencySlider, &m_ovrEdit, &m_converterDelayCheck,
                                                    &m_masterFaderCheck})
    control->EnableWindow(main);
}
