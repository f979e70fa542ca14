#include "panel/CMyPropertyPage.h"

#include "panel/CMyPropertySheet.h"

IMPLEMENT_DYNAMIC(CMyPropertyPage, CPropertyPage)

CMyPropertyPage::CMyPropertyPage(UINT nIDTemplate) : CPropertyPage(nIDTemplate, 0, sizeof(PROPSHEETPAGEA)) {}

BOOL CMyPropertyPage::OnSetActive() {
  m_bActive = true;
  return CPropertyPage::OnSetActive();
}

BOOL CMyPropertyPage::OnKillActive() {
  m_bActive = false;
  return CPropertyPage::OnKillActive();
}

CMyPropertySheet& CMyPropertyPage::Sheet() const { return *static_cast<CMyPropertySheet*>(GetParent()); }

int32_t CMyPropertyPage::SendDeviceParameter(uint32_t parameterId, uint32_t value) const {
  return Sheet().SetDeviceParameter(parameterId, value);
}

void CMyPropertyPage::PollDevice() const { Sheet().Poll(); }
