#include "panel/MainSettings.h"

#include <iterator>

#include "panel/CMyPropertySheet.h"
#include "panel/SettingLists.h"
#include "panel/resource.h"

namespace {

// The logo is drawn at the top-left of this rectangle, in dialog units.
constexpr RECT kLogoPlace = {9, 164, 157, 186};
constexpr int kLogoWidth = 223;
constexpr int kLogoHeight = 38;

// An index past a list sends its setting's fallback, and none for the sample rate, which is never
// guessed.
using namespace SettingLists;
constexpr int kLatencySteps = 7;
constexpr int kOvrThresholdSteps = 10;

}  // namespace

BEGIN_MESSAGE_MAP(MainSettings, CMyPropertyPage)
  ON_CBN_SELCHANGE(IDC_SAMPLE_RATE, OnSampleRateChange)
  ON_CBN_SELCHANGE(IDC_CLOCK_SOURCE, OnClockSourceChange)
  ON_CBN_SELCHANGE(IDC_PROTOCOL, OnControlProtocolChange)
  ON_CBN_SELCHANGE(IDC_MONITORING, OnMonitoringChange)
  ON_BN_CLICKED(IDC_MASTER_FADER_GAIN, OnMasterFaderGainClick)
  ON_BN_CLICKED(IDC_CONVERTER_DELAY, OnConverterDelayClick)
  ON_MESSAGE(WM_HSCROLL, OnLatencyScroll)
  ON_NOTIFY(UDN_DELTAPOS, IDC_OVR_SPIN, OnOvrThresholdSpin)
  ON_WM_PAINT()
END_MESSAGE_MAP()

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

  // The template lists the three protocols every unit had; the two host layouts go after Native.
  m_protocolCombo.InsertString(1, "Cubase LE");
  m_protocolCombo.InsertString(2, "Cubase SX / Nuendo");

  // Lower end above the upper, so the up arrow lowers the threshold's step.
  m_ovrSpin.SetRange(kOvrThresholdSteps, 0);
  m_ovrSpin.SetPos(5);
  m_ovrEdit.SetWindowText("-2.5");

  CancelToClose();

  m_latencySlider.SetRange(0, kLatencySteps - 1, FALSE);
  m_latencySlider.SetTicFreq(1);

  m_bInitialized = true;
  for (int id : {IDC_VERSION_GROUP, IDC_REGISTER_VERSION, IDC_ARM_VERSION, IDC_HARDWARE_VERSION, IDC_FPGA_VERSION})
    GetDlgItem(id)->ShowWindow(SW_SHOW);
  SetDevicePresent(m_bDevicePresent);

  if (m_logo.LoadBitmap(IDB_LOGO)) BuildLogoMask();
  return TRUE;
}

void MainSettings::BuildLogoMask() {
  BITMAP bm{};
  m_logo.GetBitmap(&bm);
  m_logoMask.CreateBitmap(bm.bmWidth, bm.bmHeight, 1, 1, nullptr);

  CDC imageDC;
  CDC maskDC;
  imageDC.CreateCompatibleDC(nullptr);
  maskDC.CreateCompatibleDC(nullptr);
  CBitmap* oldImage = imageDC.SelectObject(&m_logo);
  CBitmap* oldMask = maskDC.SelectObject(&m_logoMask);

  imageDC.SetBkColor(RGB(255, 255, 255));
  maskDC.BitBlt(0, 0, bm.bmWidth, bm.bmHeight, &imageDC, 0, 0, SRCCOPY);
  imageDC.SetTextColor(RGB(255, 255, 255));
  imageDC.SetBkColor(RGB(0, 0, 0));
  imageDC.BitBlt(0, 0, bm.bmWidth, bm.bmHeight, &maskDC, 0, 0, SRCAND);

  maskDC.SelectObject(oldMask);
  imageDC.SelectObject(oldImage);
}

void MainSettings::SetDevicePresent(bool present) {
  m_bDevicePresent = present;
  if (!m_bInitialized) return;
  CMyPropertySheet& sheet = Sheet();
  const bool mainOpen = sheet.IsOpen() > 0;
  // The driver applies the protocol to every unit, so an expansion unit alone can take it.
  m_protocolCombo.EnableWindow(mainOpen || sheet.CountExpansionUnits() > 0);
  m_clockSourceCombo.EnableWindow(mainOpen);
  m_sampleRateCombo.EnableWindow(mainOpen);
  m_monitoringCombo.EnableWindow(mainOpen);
  m_latencySlider.EnableWindow(mainOpen);
  m_ovrEdit.EnableWindow(mainOpen);
  m_converterDelayCheck.EnableWindow(mainOpen);
  m_masterFaderCheck.EnableWindow(mainOpen);
}

void MainSettings::OnSampleRateChange() {
  UpdateData(TRUE);
  if (m_sampleRateIndex >= 0 && static_cast<size_t>(m_sampleRateIndex) < std::size(kSampleRates))
    SendDeviceParameter(PreferencesBlock::kParamSampleRate, kSampleRates[m_sampleRateIndex]);
}

void MainSettings::OnClockSourceChange() {
  UpdateData(TRUE);
  SendDeviceParameter(PreferencesBlock::kParamClockSource, ValueAt(kClockSources, m_clockSourceIndex, 1));
}

void MainSettings::OnControlProtocolChange() {
  UpdateData(TRUE);
  SendDeviceParameter(PreferencesBlock::kParamControlProtocol, ValueAt(kControlProtocols, m_protocolIndex, 1));
}

void MainSettings::OnMonitoringChange() {
  UpdateData(TRUE);
  SendDeviceParameter(PreferencesBlock::kParamMonitorMode, ValueAt(kMonitorModes, m_monitoringIndex, 1));
}

void MainSettings::OnMasterFaderGainClick() {
  UpdateData(TRUE);
  SendDeviceParameter(PreferencesBlock::kParamMasterFader, m_masterFaderGain != 0 ? 2 : 1);
}

void MainSettings::OnConverterDelayClick() {
  UpdateData(TRUE);
  if (m_converterDelay != 0)
    MessageBox("If you're using SONAR, you must set the number of buffers\n to 3 or greater when this switch is enabled.",
               "Caution!", MB_OK);
  SendDeviceParameter(PreferencesBlock::kParamConverterDelay, m_converterDelay != 0 ? 1 : 0);
}

LRESULT MainSettings::OnLatencyScroll(WPARAM, LPARAM) {
  UpdateData(TRUE);
  const int position = m_latencySlider.GetPos();
  SendDeviceParameter(PreferencesBlock::kParamBufferSizeIndex,
                      position >= 0 && position < kLatencySteps ? position + 1 : kLatencySteps);
  return Default();
}

void MainSettings::OnOvrThresholdSpin(NMHDR* pNMHDR, LRESULT* pResult) {
  const auto* change = reinterpret_cast<NMUPDOWN*>(pNMHDR);
  int step = change->iPos + change->iDelta;
  if (step > kOvrThresholdSteps) step = 0;
  if (step < 0) step = kOvrThresholdSteps;

  // Half a dB a step below full scale; step 0 reads as minus zero.
  const float decibels = -0.0f - static_cast<float>(step);
  CString text;
  text.Format("%1.1f", static_cast<double>(decibels) * 0.5);

  m_ovrSpin.SetPos(step);
  m_ovrEdit.SetWindowText(text);
  SendDeviceParameter(PreferencesBlock::kParamOvrThreshold, static_cast<ULONG>(5 * step));
  // The step is applied here, wrap included; the control must not apply it again.
  *pResult = 1;
}

void MainSettings::OnPaint() {
  CPaintDC dc(this);
  if (m_logoMask.GetSafeHandle() == nullptr) return;
  CRect place(kLogoPlace);
  MapDialogRect(&place);

  CDC memoryDC;
  memoryDC.CreateCompatibleDC(&dc);
  CBitmap* old = memoryDC.SelectObject(&m_logoMask);
  dc.BitBlt(place.left, place.top, kLogoWidth, kLogoHeight, &memoryDC, 0, 0, SRCAND);
  memoryDC.SelectObject(&m_logo);
  dc.BitBlt(place.left, place.top, kLogoWidth, kLogoHeight, &memoryDC, 0, 0, SRCPAINT);
  memoryDC.SelectObject(old);
}
