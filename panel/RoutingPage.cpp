#include "panel/RoutingPage.h"

#include "panel/resource.h"

RoutingPage::RoutingPage() : CMyPropertyPage(IDD_ROUTING) {}

void RoutingPage::DoDataExchange(CDataExchange* pDX) {
  CMyPropertyPage::DoDataExchange(pDX);
  DDX_Control(pDX, IDC_SPDIF_IN_ROUTING, m_spdifInCombo);
  DDX_Control(pDX, IDC_COAX_OUT_SOURCE, m_coaxOutCombo);
  DDX_Control(pDX, IDC_OPTICAL_OUT_SOURCE, m_opticalOutCombo);
  DDX_CBIndex(pDX, IDC_SPDIF_IN_ROUTING, m_spdifInIndex);
  DDX_CBIndex(pDX, IDC_OPTICAL_OUT_SOURCE, m_opticalOutIndex);
  DDX_CBIndex(pDX, IDC_COAX_OUT_SOURCE, m_coaxOutIndex);
}

BOOL RoutingPage::OnInitDialog() {
  CMyPropertyPage::OnInitDialog();
  m_bInitialized = true;
  SetDevicePresent(m_bDevicePresent);
  return TRUE;
}

void RoutingPage::SetDevicePresent(bool present) {
  m_bDevicePresent = present;
  if (!m_bInitialized) return;
  m_spdifInCombo.EnableWindow(present);
  m_coaxOutCombo.EnableWindow(present);
  m_opticalOutCombo.EnableWindow(present);
}
