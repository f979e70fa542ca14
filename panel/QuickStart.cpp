#include "panel/QuickStart.h"

#include "panel/resource.h"

QuickStart::QuickStart() : CMyPropertyPage(IDD_QUICK_START) {}

void QuickStart::DoDataExchange(CDataExchange* pDX) {
  CMyPropertyPage::DoDataExchange(pDX);
  for (int i = 0; i < 2 * kPairs; ++i) DDX_Check(pDX, IDC_INPUT_PAIR_FIRST + i, m_pairChecks[i]);
}

BOOL QuickStart::OnInitDialog() {
  CMyPropertyPage::OnInitDialog();
  m_bInitialized = true;
  SetDevicePresent(m_bDevicePresent);
  return TRUE;
}

void QuickStart::SetDevicePresent(bool present) {
  m_bDevicePresent = present;
  if (!m_bInitialized) return;
  for (int id = IDC_INPUT_PAIR_FIRST; id <= IDC_OUTPUT_PAIR_LAST; ++id) GetDlgItem(id)->EnableWindow(present);
}
